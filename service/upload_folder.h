// The folder of uploaded audio beside the jobs' database: one WAV file per queued or running
// job, written under a temporary name and renamed once whole, removed when its job is done.
#ifndef OMBRIVOICE_SERVICE_UPLOAD_FOLDER_H
#define OMBRIVOICE_SERVICE_UPLOAD_FOLDER_H

#include <set>
#include <string>
#include <string_view>

namespace ombrivoice::service {

class UploadFolder {
 public:
  explicit UploadFolder(std::string folder) : folder_(std::move(folder)) {}

  // The file of the job id.
  std::string PathOf(const std::string& id) const { return folder_ + "/" + id + ".wav"; }
  bool Has(const std::string& id) const;
  // Stores bytes as the job's file; false with error (a full disk, mostly), leaving nothing.
  bool Write(const std::string& id, std::string_view bytes, std::string* error) const;
  // Moves the whole upload at path (in this folder, see IncomingPath) in as the job's file;
  // false with error, leaving path as it was.
  bool MoveIn(const std::string& id, const std::string& path, std::string* error) const;
  // A file for an upload still arriving, named by token; never taken for a job's file.
  std::string IncomingPath(const std::string& token) const { return folder_ + "/" + token + ".incoming"; }
  void Remove(const std::string& id) const;
  // Removes every file but those of the jobs in keep: uploads whose job was never committed or
  // is done, and half-written ones, all left by a process that ended.
  void RemoveAllBut(const std::set<std::string>& keep) const;

 private:
  std::string folder_;
};

// Creates folder and its missing parents; the folder itself readable by its owner only, as
// the database in it holds the API keys. False with error.
bool MakePrivateFolder(const std::string& folder, std::string* error);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_UPLOAD_FOLDER_H
