// Paths as the add-on and its programs hold them, UTF-8 text, and as std::filesystem holds them.
// On Windows the C++ library takes a narrow path in the system's code page, which cannot name
// every folder (a Cyrillic user name under a Western code page): a path goes to and comes from
// std::filesystem through these, never through its narrow constructor or string().
//
// Thread-safety: pure functions.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velkaro::platform {

inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace velkaro::platform
