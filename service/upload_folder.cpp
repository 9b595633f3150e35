// The upload folder on std::filesystem: write-then-rename so that a file under a job's name is
// always whole, and the clean-up of what a killed process left behind.
#include "service/upload_folder.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace ombrivoice::service {
namespace fs = std::filesystem;

namespace {

constexpr const char* kPartialSuffix = ".part";  // a file still being written

}  // namespace

bool UploadFolder::Has(const std::string& id) const {
  std::error_code ignored;
  return fs::is_regular_file(PathOf(id), ignored);
}

bool UploadFolder::Write(const std::string& id, std::string_view bytes, std::string* error) const {
  const std::string path = PathOf(id);
  const std::string partial = path + kPartialSuffix;
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();  // a failed flush of the last bytes shows only here
  std::error_code renamed;
  if (out) fs::rename(partial, path, renamed);
  if (out && !renamed) return true;
  *error = !out ? "cannot write " + partial : "cannot rename " + partial + ": " + renamed.message();
  std::error_code ignored;
  fs::remove(partial, ignored);
  return false;
}

bool UploadFolder::MoveIn(const std::string& id, const std::string& path, std::string* error) const {
  std::error_code renamed;
  fs::rename(path, PathOf(id), renamed);
  if (!renamed) return true;
  *error = "cannot rename " + path + ": " + renamed.message();
  return false;
}

void UploadFolder::Remove(const std::string& id) const {
  std::error_code ignored;  // a file already gone is what was wanted
  fs::remove(PathOf(id), ignored);
}

void UploadFolder::RemoveAllBut(const std::set<std::string>& keep) const {
  std::error_code failed;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder_, failed)) {
    const fs::path name = entry.path().filename();
    if (name.extension() != ".wav" || keep.count(name.stem().string()) == 0) {
      std::error_code ignored;
      fs::remove(entry.path(), ignored);
    }
  }
}

bool MakePrivateFolder(const std::string& folder, std::string* error) {
  std::error_code failed;
  if (fs::create_directories(folder, failed)) {
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, failed);
  }
  if (failed || !fs::is_directory(folder, failed)) {
    *error = "cannot make the folder " + folder + (failed ? ": " + failed.message() : "");
    return false;
  }
  return true;
}

}  // namespace ombrivoice::service
