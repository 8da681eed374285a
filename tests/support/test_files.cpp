#include "support/test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/path_text.h"

namespace velkaro::testing {

namespace fs = std::filesystem;
using platform::PathFromUtf8;
using platform::Utf8FromPath;

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path folder = fs::temp_directory_path() / ("velkaro-test-" + std::to_string(stamp) +
                                                       "-" + std::to_string(counter++));
  fs::create_directories(folder);
  path_ = Utf8FromPath(folder);
  path_ += fs::path::preferred_separator;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(PathFromUtf8(path_), ignored);
}

std::string ScratchFolder::SharedPath(const std::string& name) {
  static ScratchFolder* shared = new ScratchFolder;  // left for the system to clean up
  return shared->path() + name;
}

std::string ScratchFolder::Write(const std::string& name, const std::string& contents) const {
  const fs::path file = PathFromUtf8(path_ + name);
  fs::create_directories(file.parent_path());
  WriteWholeFile(Utf8FromPath(file), contents);
  return Utf8FromPath(file);
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(PathFromUtf8(path), std::ios::binary);
  out << contents;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) {
  return fs::exists(PathFromUtf8(path));
}

}  // namespace velkaro::testing
