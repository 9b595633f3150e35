// The jobs' table on SQLite: the schema, the settings that make a committed job survive a crash
// of the process, and one short statement per operation.
#include "service/job_database.h"

#include <sqlite3.h>

#include "service/key_digest.h"
#include "service/sqlite_statement.h"

namespace ombrivoice::service {
namespace {

// Bumped when the table changes shape; a database of another version is refused, not guessed at,
// except version 1, which is converted (see kConvertFromVersion1).
constexpr int kSchemaVersion = 2;

// seq orders the queue: SQLite gives a new row a larger rowid than every row kept. The owner's
// key is kept as its digest (KeyDigest), never in clear. The audio facts are NULL when the
// outcome has none.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS jobs ("
    " seq INTEGER PRIMARY KEY,"
    " id TEXT NOT NULL UNIQUE,"
    " key_digest TEXT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('queued', 'running', 'finished', 'failed')),"
    " created INTEGER NOT NULL,"       // Unix seconds
    " done_at_ms INTEGER,"             // Unix milliseconds, once finished or failed
    " text TEXT, error TEXT,"
    " duration_seconds REAL, sample_rate INTEGER, channels INTEGER, rms_dbfs REAL, peak_dbfs REAL);"
    "CREATE INDEX IF NOT EXISTS jobs_by_state ON jobs (state, seq);"
    "CREATE INDEX IF NOT EXISTS jobs_by_done_at ON jobs (done_at_ms);";

// Version 1 kept each job's key in clear in api_key. In one transaction, so that a crash leaves
// either database whole, the column becomes key_digest and each key its digest (the SQL
// function key_digest, KeyDigestFunction below). The old keys' bytes are left in the
// pages the change replaced; kCompact, which follows, clears them.
constexpr const char* kConvertFromVersion1 =
    "BEGIN;"
    "ALTER TABLE jobs RENAME COLUMN api_key TO key_digest;"
    "UPDATE jobs SET key_digest = key_digest(key_digest);"
    "PRAGMA user_version = 2;"
    "COMMIT;";

// At every start, after any conversion. VACUUM writes the whole database anew into the
// write-ahead log, so that no free page or free space inside a page keeps what an earlier
// process left there (keys in clear from version 1, which deleted without overwriting, and
// deleted jobs); the checkpoint copies those pages over the main file's, cuts off what lies past
// them and empties the log. Done at every start, not only after a conversion, so that a start
// after a crash between the conversion's commit and this finishes the job.
constexpr const char* kCompact = "VACUUM; PRAGMA wal_checkpoint(TRUNCATE);";

// In EXCLUSIVE locking mode the connection keeps its lock from the first write until it closes,
// so a second service on the same folder fails at once instead of running the same jobs. WAL
// with synchronous=NORMAL makes every commit survive a crash or kill of the process (not a
// power cut, which may take the last commits back).
// secure_delete overwrites what a change frees, so that a deleted job leaves no copy in free
// space; temp_store keeps VACUUM's temporary copy in memory, not in a file outside the folder.
constexpr const char* kSettings =
    "PRAGMA secure_delete = ON;"
    "PRAGMA temp_store = MEMORY;"
    "PRAGMA locking_mode = EXCLUSIVE;"
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "BEGIN EXCLUSIVE; COMMIT;";

// After each deletion: the log's pages copied over the main file's, and the log cut to nothing,
// so that no earlier copy of a deleted row's page is left in it.
constexpr const char* kForgetLog = "PRAGMA wal_checkpoint(TRUNCATE);";

constexpr const char* kJobColumns =
    "id, state, created, text, error, duration_seconds, sample_rate, channels, rms_dbfs, peak_dbfs";

JobView ReadJob(const SqliteStatement& row) {
  JobView job;
  job.id = row.Text(0);
  job.state = JobStateFromName(row.Text(1)).value_or(JobState::kFailed);
  job.createdUnixSeconds = row.Int(2);
  job.outcome.ok = job.state == JobState::kFinished;
  job.outcome.text = row.Text(3);
  job.outcome.error = row.Text(4);
  job.outcome.haveFacts = !row.IsNull(5);
  job.outcome.facts.durationSeconds = row.Real(5);
  job.outcome.facts.sampleRate = static_cast<std::uint32_t>(row.Int(6));
  job.outcome.facts.channels = static_cast<std::uint16_t>(row.Int(7));
  job.outcome.facts.rmsDbfs = row.Real(8);
  job.outcome.facts.peakDbfs = row.Real(9);
  return job;
}

// key_digest(text): the KeyDigest of a key, for the conversion from version 1.
void KeyDigestFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  const unsigned char* key = sqlite3_value_text(arguments[0]);
  const int bytes = sqlite3_value_bytes(arguments[0]);
  const std::string digest = KeyDigest(std::string_view(reinterpret_cast<const char*>(key), key != nullptr ? bytes : 0));
  sqlite3_result_text(context, digest.c_str(), static_cast<int>(digest.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::unique_ptr<JobDatabase> JobDatabase::Open(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<JobDatabase> opened(new JobDatabase(db));  // closes db, even a failed one
  if (code != SQLITE_OK) {
    *error = "cannot open the database " + path + ": " + sqlite3_errstr(code);
    return nullptr;
  }
  if (!opened->Execute(kSettings)) {
    const bool taken = sqlite3_errcode(db) == SQLITE_BUSY || sqlite3_errcode(db) == SQLITE_LOCKED;
    *error = taken ? "the database " + path + " is in use by another ombrivoice-service"
                   : "cannot use the database " + path + ": " + opened->LastError();
    return nullptr;
  }
  std::int64_t found = -1;
  {  // finalised before any change: a pending statement would lock the table
    SqliteStatement version(db, "PRAGMA user_version");
    found = version.Step() ? version.Int(0) : -1;
  }
  if (found != 0 && found != 1 && found != kSchemaVersion) {
    *error = "the database " + path + " is of another version (" + std::to_string(found) + ")";
    return nullptr;
  }
  sqlite3_create_function(db, "key_digest", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, KeyDigestFunction,
                          nullptr, nullptr);
  if (found == 1 && !opened->Execute(kConvertFromVersion1)) {
    *error = "cannot convert the database " + path + " to keep key digests: " + opened->LastError();
    opened->Execute("ROLLBACK");
    return nullptr;
  }
  const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  if (!opened->Execute(kSchema) || !opened->Execute(setVersion.c_str())) {
    *error = "cannot set up the database " + path + ": " + opened->LastError();
    return nullptr;
  }
  if (!opened->Execute(kCompact)) {
    *error = "cannot compact the database " + path + " (to clear what its free space keeps): " + opened->LastError();
    return nullptr;
  }
  return opened;
}

JobDatabase::~JobDatabase() { sqlite3_close_v2(db_); }

bool JobDatabase::Execute(const char* sql) {
  char* message = nullptr;
  const int code = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (code != SQLITE_OK) {
    lastError_ = message != nullptr ? message : sqlite3_errstr(code);
  }
  sqlite3_free(message);
  return code == SQLITE_OK;
}

bool JobDatabase::Check(bool succeeded) {
  if (!succeeded) {
    lastError_ = sqlite3_errmsg(db_);
  }
  return succeeded;
}

bool JobDatabase::Insert(const std::string& id, const std::string& keyDigest, std::int64_t createdUnixSeconds) {
  SqliteStatement insert(db_, "INSERT INTO jobs (id, key_digest, state, created) VALUES (?1, ?2, 'queued', ?3)");
  return Check(insert.Bind(1, id).Bind(2, keyDigest).Bind(3, createdUnixSeconds).Run());
}

std::optional<JobView> JobDatabase::Find(const std::string& id, const std::string& keyDigest) {
  const std::string sql = std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?1 AND key_digest = ?2";
  SqliteStatement select(db_, sql.c_str());
  if (!select.Bind(1, id).Bind(2, keyDigest).Step()) {
    Check(select.ok());
    return std::nullopt;
  }
  return ReadJob(select);
}

bool JobDatabase::ClaimNext(std::optional<std::string>* id) {
  id->reset();
  SqliteStatement claim(db_,
                        "UPDATE jobs SET state = 'running' WHERE seq = "
                        "(SELECT seq FROM jobs WHERE state = 'queued' ORDER BY seq LIMIT 1) RETURNING id");
  if (!claim.Step()) {
    return Check(claim.ok());
  }
  std::string claimed = claim.Text(0);
  if (!Check(claim.Run())) return false;
  *id = claimed;
  return true;
}

bool JobDatabase::Finish(const std::string& id, const JobOutcome& outcome, std::int64_t doneUnixMs) {
  SqliteStatement update(db_,
                         "UPDATE jobs SET state = ?2, done_at_ms = ?3, text = ?4, error = ?5, duration_seconds = ?6,"
                         " sample_rate = ?7, channels = ?8, rms_dbfs = ?9, peak_dbfs = ?10"
                         " WHERE id = ?1");
  update.Bind(1, id).Bind(2, JobStateName(outcome.ok ? JobState::kFinished : JobState::kFailed));
  update.Bind(3, doneUnixMs).Bind(4, outcome.text).Bind(5, outcome.error);
  const AudioFacts& facts = outcome.facts;
  if (outcome.haveFacts) {
    update.Bind(6, facts.durationSeconds).Bind(7, std::int64_t{facts.sampleRate});
    update.Bind(8, std::int64_t{facts.channels}).Bind(9, facts.rmsDbfs).Bind(10, facts.peakDbfs);
  } else {
    update.BindNull(6).BindNull(7).BindNull(8).BindNull(9).BindNull(10);
  }
  return Check(update.Run());
}

bool JobDatabase::Requeue(const std::string& id) {
  SqliteStatement update(db_, "UPDATE jobs SET state = 'queued' WHERE id = ?1 AND state = 'running'");
  return Check(update.Bind(1, id).Run());
}

bool JobDatabase::RequeueRunning() { return Execute("UPDATE jobs SET state = 'queued' WHERE state = 'running'"); }

std::vector<std::string> JobDatabase::QueuedIds() {
  std::vector<std::string> ids;
  SqliteStatement select(db_, "SELECT id FROM jobs WHERE state = 'queued' ORDER BY seq");
  while (select.Step()) {
    ids.push_back(select.Text(0));
  }
  Check(select.ok());
  return ids;
}

bool JobDatabase::DeleteDoneBefore(std::int64_t doneUnixMs) {
  SqliteStatement remove(db_, "DELETE FROM jobs WHERE done_at_ms <= ?1");
  if (!Check(remove.Bind(1, doneUnixMs).Run())) return false;
  return sqlite3_changes(db_) == 0 || ForgetDeleted();
}

// secure_delete has zeroed the deleted rows in the pages the deletion wrote, but the log still
// holds the earlier copies of those pages, text and all, until it is checkpointed and cut.
bool JobDatabase::ForgetDeleted() { return Execute(kForgetLog); }

std::optional<std::size_t> JobDatabase::Count() {
  SqliteStatement count(db_, "SELECT COUNT(*) FROM jobs");
  if (!count.Step()) {
    Check(false);
    return std::nullopt;
  }
  return static_cast<std::size_t>(count.Int(0));
}

std::optional<std::size_t> JobDatabase::CountOf(const std::string& keyDigest) {
  SqliteStatement count(db_, "SELECT COUNT(*) FROM jobs WHERE key_digest = ?1");
  if (!count.Bind(1, keyDigest).Step()) {
    Check(false);
    return std::nullopt;
  }
  return static_cast<std::size_t>(count.Int(0));
}

bool JobDatabase::DeleteOldestDoneOf(const std::string& keyDigest) {
  SqliteStatement remove(db_,
                         "DELETE FROM jobs WHERE seq = (SELECT seq FROM jobs WHERE done_at_ms IS NOT NULL"
                         " AND key_digest = ?1 ORDER BY done_at_ms, seq LIMIT 1)");
  return MadeRoom(remove.Bind(1, keyDigest).Run());
}

bool JobDatabase::DeleteDone(const std::string& id) {
  SqliteStatement remove(db_, "DELETE FROM jobs WHERE id = ?1 AND done_at_ms IS NOT NULL");
  return MadeRoom(remove.Bind(1, id).Run());
}

bool JobDatabase::MadeRoom(bool deleted) {
  if (!Check(deleted) || sqlite3_changes(db_) == 0) return false;
  ForgetDeleted();  // room was made even when this fails: the next deletion or start cuts the log
  return true;
}

}  // namespace ombrivoice::service
