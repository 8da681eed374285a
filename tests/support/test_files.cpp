#include "support/test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velkaro::testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path folder = fs::temp_directory_path() / ("velkaro-test-" + std::to_string(stamp) +
                                                       "-" + std::to_string(counter++));
  fs::create_directories(folder);
  path_ = folder.string();
  path_ += fs::path::preferred_separator;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ScratchFolder::SharedPath(const std::string& name) {
  static ScratchFolder* shared = new ScratchFolder;  // left for the system to clean up
  return shared->path() + name;
}

std::string ScratchFolder::Write(const std::string& name, const std::string& contents) const {
  const fs::path file = fs::path(path_) / name;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << contents;
  return file.string();
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) {
  return fs::exists(path);
}

}  // namespace velkaro::testing
