// One prepared SQLite statement, finalised when it goes: values bound by position, steps run,
// columns read. A failure in any call is kept, and every later call does nothing.
#ifndef OMBRIVOICE_SERVICE_SQLITE_STATEMENT_H
#define OMBRIVOICE_SERVICE_SQLITE_STATEMENT_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrivoice::service {

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const char* sql) { code_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~SqliteStatement() { sqlite3_finalize(statement_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  // Parameters are numbered from 1, as in SQLite.
  SqliteStatement& Bind(int index, std::string_view text) {
    const int bytes = static_cast<int>(text.size());
    if (ok()) code_ = sqlite3_bind_text(statement_, index, text.data(), bytes, SQLITE_TRANSIENT);
    return *this;
  }
  SqliteStatement& Bind(int index, std::int64_t number) {
    if (ok()) code_ = sqlite3_bind_int64(statement_, index, number);
    return *this;
  }
  SqliteStatement& Bind(int index, double number) {
    if (ok()) code_ = sqlite3_bind_double(statement_, index, number);
    return *this;
  }
  SqliteStatement& BindNull(int index) {
    if (ok()) code_ = sqlite3_bind_null(statement_, index);
    return *this;
  }

  // Runs the statement one step; true when that step yielded a row.
  bool Step() {
    if (!ok()) return false;
    code_ = sqlite3_step(statement_);
    return code_ == SQLITE_ROW;
  }
  // Runs the statement to its end; false when it failed.
  bool Run() {
    while (Step()) {
    }
    return code_ == SQLITE_DONE;
  }
  // False once any call has failed.
  bool ok() const { return code_ == SQLITE_OK || code_ == SQLITE_ROW || code_ == SQLITE_DONE; }
  int code() const { return code_; }

  // Columns of the current row, numbered from 0.
  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  double Real(int column) const { return sqlite3_column_double(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(statement_, column);  // before the size, as SQLite asks
    const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), bytes);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int code_ = SQLITE_OK;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_SQLITE_STATEMENT_H
