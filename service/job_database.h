// The jobs' table in an SQLite database: one row per job with its owner key's digest, state,
// times and outcome, in submission order. Not thread-safe: the job store serialises every call.
#ifndef OMBRIVOICE_SERVICE_JOB_DATABASE_H
#define OMBRIVOICE_SERVICE_JOB_DATABASE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/job_types.h"

struct sqlite3;

namespace ombrivoice::service {

class JobDatabase {
 public:
  // Opens or creates the database at path in WAL mode and takes it for this process alone; a
  // database that kept keys in clear is converted to digests. Then the database is compacted,
  // so that its free space keeps nothing an earlier process left. nullptr with error when it
  // cannot be used, also when another process holds it.
  static std::unique_ptr<JobDatabase> Open(const std::string& path, std::string* error);
  ~JobDatabase();
  JobDatabase(const JobDatabase&) = delete;
  JobDatabase& operator=(const JobDatabase&) = delete;

  // A new queued job, last in the queue, owned by the key whose KeyDigest is keyDigest.
  bool Insert(const std::string& id, const std::string& keyDigest, std::int64_t createdUnixSeconds);
  // The job with id if it was submitted with the key of keyDigest.
  std::optional<JobView> Find(const std::string& id, const std::string& keyDigest);
  // Marks the oldest queued job running and sets *id to it, or to nothing when none is queued;
  // false when the database failed.
  bool ClaimNext(std::optional<std::string>* id);
  // Records the outcome of a job: finished when ok, failed otherwise.
  bool Finish(const std::string& id, const JobOutcome& outcome, std::int64_t doneUnixMs);
  // Puts a running job back in the queue, in its old place.
  bool Requeue(const std::string& id);
  // Every job left running by a process that ended back in the queue.
  bool RequeueRunning();
  // The ids of the queued jobs, oldest first.
  std::vector<std::string> QueuedIds();
  // Drops the finished and failed jobs done at or before doneUnixMs. A deleted job's text and
  // facts are left neither in the database file nor in its write-ahead log.
  bool DeleteDoneBefore(std::int64_t doneUnixMs);
  // How many jobs are kept, in any state; nothing when the count cannot be read.
  std::optional<std::size_t> Count();
  // How many jobs the key of keyDigest has kept, in any state; nothing when it cannot be read.
  std::optional<std::size_t> CountOf(const std::string& keyDigest);
  // Drops the job of the key of keyDigest that was done first, as DeleteDoneBefore does; false
  // when it has none done.
  bool DeleteOldestDoneOf(const std::string& keyDigest);
  // Drops the job id when it is done, as DeleteDoneBefore does; false when it is not (or no
  // longer) kept, or not done.
  bool DeleteDone(const std::string& id);

  // What the last failed call was told by SQLite.
  const std::string& LastError() const { return lastError_; }

 private:
  explicit JobDatabase(sqlite3* db) : db_(db) {}
  bool Execute(const char* sql);
  bool ForgetDeleted();  // clears the log of what the last deletion dropped
  bool MadeRoom(bool deleted);  // a deletion that made room: true when it dropped a job
  bool Check(bool succeeded);  // keeps SQLite's message when !succeeded

  sqlite3* db_;
  std::string lastError_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_JOB_DATABASE_H
