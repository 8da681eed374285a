#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

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
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes > 0) {
      text.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text.data(), bytes, nullptr,
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

bool IsNotFoundError(int code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::string ResultCodeText(std::int32_t result) {
  return SystemErrorText(static_cast<int>(result));
}

namespace {
// An address inside whichever module this file is linked into.
const char kModuleAnchor = 0;

// UTF-16 as UTF-8.
std::string WideToUtf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes,
                      nullptr, nullptr);
  return text;
}
}  // namespace

std::string OwnModulePath() {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module) == 0) {
    return std::string();
  }
  // Paths may be longer than MAX_PATH; the largest the system allows is 32767 characters.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() > 32768) return std::string();
    path.resize(2 * path.size());
  }
  return WideToUtf8(path);
}

std::string FolderOf(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? std::string()
                                             : std::string(path.substr(0, separator + 1));
}

std::string PathFrom(std::string_view folder, std::string_view path) {
  // "\\server\share", "\\top" and "/top" from the root, "C:\..." (and "C:file", relative to the
  // drive's own folder) from a drive: none of them is taken from the folder.
  const bool from_root = !path.empty() && (path.front() == '\\' || path.front() == '/');
  const bool from_drive = path.size() >= 2 && path[1] == ':';
  if (from_root || from_drive) return std::string(path);
  return std::string(folder) + std::string(path);
}

std::string SystemTextToUtf8(std::string_view text) {
  if (text.empty()) return std::string();
  const int chars =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (chars <= 0) return std::string(text);
  std::wstring wide(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string(text);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

std::string Utf8ToSystemText(std::string_view text) {
  if (text.empty()) return std::string();
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (chars <= 0) return std::string(text);
  std::wstring wide(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string(text);
  std::string system(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, system.data(), bytes, nullptr, nullptr);
  return system;
}

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void SetBinaryMode(std::FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}

bool EnableTerminalControl(std::FILE* stream) {
  if (!IsTerminal(stream)) return false;
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
  // ENABLE_VIRTUAL_TERMINAL_PROCESSING, which older SDK headers lack.
  constexpr DWORD kVirtualTerminalProcessing = 0x0004;
  return (mode & kVirtualTerminalProcessing) != 0 ||
         SetConsoleMode(console, mode | kVirtualTerminalProcessing) != 0;
}

void IgnoreBrokenPipe() {}

namespace {
std::atomic<bool>* g_interrupted = nullptr;
const char* g_interrupt_message = "";
std::atomic<void (*)()> g_interrupt_exit_work{nullptr};

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
    if (void (*work)() = g_interrupt_exit_work.load()) work();
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

void SetInterruptExitWork(void (*restore)()) {
  g_interrupt_exit_work.store(restore);
}

bool LocalTime(std::time_t when, std::tm* out) {
  return localtime_s(out, &when) == 0;
}

namespace {
// A UTF-8 path as the UTF-16 the file functions (the ...W calls) take, which name every file
// whatever the system's code page. A path of ordinary length is converted on the stack, so that
// the log's appends allocate nothing; a longer one takes memory from the heap, without throwing.
// Text that is not UTF-8 names no file: get() is null, with ERROR_NO_UNICODE_TRANSLATION (or
// ERROR_NOT_ENOUGH_MEMORY) in error().
class WidePath {
 public:
  explicit WidePath(const char* path) noexcept {
    const int length = static_cast<int>(std::strlen(path)) + 1;  // with its NUL
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, stack_,
                                    static_cast<int>(std::size(stack_)));
    if (chars > 0) {
      wide_ = stack_;
      return;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      error_ = ERROR_NO_UNICODE_TRANSLATION;
      return;
    }
    chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, nullptr, 0);
    heap_ = chars > 0 ? new (std::nothrow) wchar_t[static_cast<std::size_t>(chars)] : nullptr;
    if (heap_ == nullptr) {
      error_ = chars > 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NO_UNICODE_TRANSLATION;
      return;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, heap_, chars);
    wide_ = heap_;
  }
  ~WidePath() { delete[] heap_; }
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;

  const wchar_t* get() const { return wide_; }
  DWORD error() const { return error_; }

 private:
  wchar_t stack_[MAX_PATH + 1];
  wchar_t* heap_ = nullptr;
  const wchar_t* wide_ = nullptr;
  DWORD error_ = 0;
};

// Opens `path` for writing (created when missing) and keeps the handle only for a file on disk:
// a pipe opens at once or not at all, and a device ("NUL", "COM1", "CON") or a pipe is closed
// again untouched. FILE_SHARE_DELETE lets the file be renamed while another thread writes it.
HANDLE OpenDiskFileForWriting(const char* path, DWORD access, FileWriteResult* result, int* error) {
  const WidePath wide(path);
  const HANDLE file =
      wide.get() == nullptr
          ? INVALID_HANDLE_VALUE
          : CreateFileW(wide.get(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(wide.get() == nullptr ? wide.error() : GetLastError());
    *result = FileWriteResult::kCannotOpen;
    return INVALID_HANDLE_VALUE;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    *result = FileWriteResult::kNotRegularFile;
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}
}  // namespace

FileWriteResult AppendTextWhole(const char* path, const char* data, std::size_t length,
                                int* system_error) noexcept {
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  // Text mode: every line feed becomes CR LF, as the C library's text streams store it. A log
  // entry fits the stack buffer; only a longer text takes memory from the heap, and without it
  // the text is dropped.
  std::size_t text_length = length;
  for (std::size_t i = 0; i < length; ++i) text_length += data[i] == '\n' ? 1 : 0;
  char stack_text[kAppendTextStackBytes];
  char* const text =
      text_length <= sizeof stack_text ? stack_text : new (std::nothrow) char[text_length];
  if (text == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return FileWriteResult::kWriteFailed;
  }
  std::size_t at = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (data[i] == '\n') text[at++] = '\r';
    text[at++] = data[i];
  }
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every WriteFile lands whole at the end of the file
  // on Windows. Wine's append is not atomic between handles, so the process's own appends are
  // also taken one at a time (a critical section: it cannot fail or throw).
  static SRWLOCK append_lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&append_lock);
  FileWriteResult result = FileWriteResult::kWritten;
  const HANDLE file = OpenDiskFileForWriting(path, FILE_APPEND_DATA, &result, &error);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (WriteFile(file, text, static_cast<DWORD>(text_length), &written, nullptr) == 0) {
      error = static_cast<int>(GetLastError());
      result = FileWriteResult::kWriteFailed;
    } else if (written != text_length) {
      error = ERROR_DISK_FULL;
      result = FileWriteResult::kWriteFailed;
    }
    CloseHandle(file);
  }
  ReleaseSRWLockExclusive(&append_lock);
  if (text != stack_text) delete[] text;
  return result;
}

FileWriteResult EmptyRegularFile(const char* path, int* system_error) noexcept {
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  FileWriteResult result = FileWriteResult::kWritten;
  const HANDLE file = OpenDiskFileForWriting(path, GENERIC_WRITE, &result, &error);
  if (file == INVALID_HANDLE_VALUE) return result;
  // A new file's pointer is at its start already; an old one's is put there and cut.
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      SetEndOfFile(file) == 0) {
    error = static_cast<int>(GetLastError());
    result = FileWriteResult::kWriteFailed;
  }
  CloseHandle(file);
  return result;
}

namespace {
// Opens an existing file at `path` for reading; INVALID_HANDLE_VALUE with the system's code in
// `*error` when it cannot.
HANDLE OpenForReading(const char* path, int* error) noexcept {
  const WidePath wide(path);
  if (wide.get() == nullptr) {
    *error = static_cast<int>(wide.error());
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file =
      CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) *error = static_cast<int>(GetLastError());
  return file;
}
}  // namespace

bool RenameReplacing(const char* from, const char* to, int* system_error) noexcept {
  const WidePath wide_from(from);
  const WidePath wide_to(to);
  DWORD error = wide_from.get() == nullptr ? wide_from.error() : wide_to.error();
  if (error == 0) {
    if (MoveFileExW(wide_from.get(), wide_to.get(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
    error = GetLastError();
  }
  if (system_error != nullptr) *system_error = static_cast<int>(error);
  return false;
}

FileReadResult ReadFileStart(const char* path, char* buffer, std::size_t capacity,
                             std::size_t* length, int* system_error) noexcept {
  *length = 0;
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  const HANDLE file = OpenForReading(path, &error);
  if (file == INVALID_HANDLE_VALUE) return FileReadResult::kCannotOpen;
  FileReadResult result = FileReadResult::kRead;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    result = FileReadResult::kNotRegularFile;
  } else {
    while (*length < capacity) {
      DWORD n = 0;
      const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(capacity - *length, 1u << 20));
      if (ReadFile(file, buffer + *length, wanted, &n, nullptr) == 0) {
        error = static_cast<int>(GetLastError());
        result = FileReadResult::kReadFailed;
        *length = 0;
        break;
      }
      if (n == 0) break;
      *length += n;
    }
  }
  CloseHandle(file);
  return result;
}

namespace {
// Closes a handle however the reading ends, an exception included.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() { CloseHandle(handle); }
};
}  // namespace

FileReadResult ReadRegularFile(const char* path, std::size_t max_bytes, std::string& contents,
                               int* system_error) {
  contents.clear();
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  const auto failed = [&error](FileReadResult result) {
    error = static_cast<int>(GetLastError());
    return result;
  };
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. A pipe opens at once or not at
  // all (busy), and so does a device.
  const HANDLE file = OpenForReading(path, &error);
  if (file == INVALID_HANDLE_VALUE) return FileReadResult::kCannotOpen;
  const HandleCloser closer{file};
  if (GetFileType(file) != FILE_TYPE_DISK) return FileReadResult::kNotRegularFile;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) {
    return failed(FileReadResult::kReadFailed);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileReadResult::kNotRegularFile;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) == 0) return failed(FileReadResult::kReadFailed);
  if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > max_bytes) {
    return FileReadResult::kTooLarge;
  }

  // One byte more than the bound tells a file that grew past it.
  const std::size_t limit = max_bytes + 1;
  contents.resize(static_cast<std::size_t>(size.QuadPart) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == contents.size()) {
      if (contents.size() == limit) break;
      contents.resize(std::min(limit, std::max<std::size_t>(4096, 2 * contents.size())));
    }
    DWORD n = 0;
    const DWORD wanted =
        static_cast<DWORD>(std::min<std::size_t>(contents.size() - filled, 1u << 30));
    if (ReadFile(file, contents.data() + filled, wanted, &n, nullptr) == 0) {
      failed(FileReadResult::kReadFailed);
      contents.clear();
      return FileReadResult::kReadFailed;
    }
    if (n == 0) break;
    filled += n;
  }
  if (filled > max_bytes) {
    contents.clear();
    return FileReadResult::kTooLarge;
  }
  contents.resize(filled);
  return FileReadResult::kRead;
}

std::FILE* OpenFile(const char* path, const char* mode) {
  const WidePath wide_path(path);
  const WidePath wide_mode(mode);
  if (wide_path.get() == nullptr || wide_mode.get() == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return _wfopen(wide_path.get(), wide_mode.get());
}

}  // namespace velkaro::platform
