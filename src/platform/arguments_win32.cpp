#include <windows.h>
// (after windows.h, which it takes for granted)
#include <shellapi.h>

#include "platform/arguments.h"

namespace velkaro::platform {

namespace {
std::string Utf8Of(const wchar_t* wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
  text.pop_back();  // the NUL
  return text;
}
}  // namespace

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  // The same command line split by the same rules: the counts agree unless something is amiss,
  // and then main()'s own arguments are the safer ones.
  if (wide != nullptr && count == argc) {
    for (int i = 0; i < count; ++i) texts_.push_back(Utf8Of(wide[i]));
  } else {
    texts_.assign(argv, argv + argc);
  }
  if (wide != nullptr) LocalFree(wide);
  Point();
}

void Utf8Arguments::Point() {
  for (std::string& text : texts_) pointers_.push_back(text.data());
  pointers_.push_back(nullptr);
}

}  // namespace velkaro::platform
