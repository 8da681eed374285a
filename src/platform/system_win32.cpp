#include <windows.h>

#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"

namespace velkaro::platform {

bool LocalTime(std::time_t when, std::tm* out) {
  return localtime_s(out, &when) == 0;
}

bool AppendTextWhole(const char* path, const char* data, std::size_t length) {
  // Text mode: every line feed becomes CR LF, as the C library's text streams store it.
  std::string text;
  text.reserve(length + 16);
  for (std::size_t i = 0; i < length; ++i) {
    if (data[i] == '\n') text.push_back('\r');
    text.push_back(data[i]);
  }
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every WriteFile lands whole at the end of the file
  // on Windows. Wine's append is not atomic between handles, so the process's own appends are
  // also taken one at a time.
  static std::mutex append_lock;
  std::lock_guard<std::mutex> guard(append_lock);
  const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok != 0 && written == text.size();
}

}  // namespace velkaro::platform
