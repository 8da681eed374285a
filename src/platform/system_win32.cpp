#include <io.h>
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/system.h"

namespace velkaro::platform {

int LastSystemError() {
  return static_cast<int>(GetLastError());
}

std::string SystemErrorText(int code) {
  // Without IGNORE_INSERTS a message with an insert ("%1 is not a valid Win32 application")
  // would be formatted against arguments that were never passed.
  wchar_t* wide = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
  std::string text;
  if (length != 0 && wide != nullptr) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes > 0) {
      text.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), text.data(), bytes, nullptr,
                          nullptr);
    }
  }
  if (wide != nullptr) LocalFree(wide);
  // The system's texts are sentences ending in a full stop and CR LF.
  const auto trim_blanks = [&text] {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
  };
  trim_blanks();
  if (!text.empty() && text.back() == '.') text.pop_back();
  trim_blanks();
  return text;
}

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void IgnoreBrokenPipe() {}

namespace {
std::atomic<bool>* g_interrupted = nullptr;
const char* g_interrupt_message = "";

// Runs on a thread of its own that the console starts for the event.
BOOL WINAPI OnConsoleInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (g_interrupted->exchange(true)) {
    // Straight to the handle and out: the program's own thread may hold the C library's locks.
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    WriteFile(error, g_interrupt_message, static_cast<DWORD>(std::strlen(g_interrupt_message)),
              &written, nullptr);
    WriteFile(error, "\r\n", 2, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return TRUE;
}
}  // namespace

void InstallInterruptHandler(std::atomic<bool>* interrupted, const char* message) {
  g_interrupted = interrupted;
  g_interrupt_message = message;
  SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE);
}

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
