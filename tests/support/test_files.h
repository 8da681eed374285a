// Test support: scratch folders and files.
#pragma once

#include <string>

namespace velkaro::testing {

// A new empty folder under the system's temporary folder, removed when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder's path with a trailing separator.
  const std::string& path() const { return path_; }
  // A path for `name` in a folder of the test program's own, kept until the program ends.
  static std::string SharedPath(const std::string& name);

  // Writes `contents` to `name` inside the folder (creating subfolders) and returns its path.
  std::string Write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// Paths are UTF-8 text, as the add-on's own.
void WriteWholeFile(const std::string& path, const std::string& contents);
std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace velkaro::testing
