#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/system.h"

namespace velkaro::platform {

int LastSystemError() {
  return errno;
}

std::string SystemErrorText(int code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static text instead of filling the buffer.
  auto result = strerror_r(code, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), char*>) {
    return result != nullptr ? std::string(result) : std::string(buffer);
  } else {
    return std::string(buffer);
  }
}

bool IsNotFoundError(int code) {
  return code == ENOENT || code == ENOTDIR;
}

std::string ResultCodeText(std::int32_t) {
  return "";
}

namespace {
// An address inside whichever module this file is linked into.
const char kModuleAnchor = 0;
}  // namespace

namespace {
// The file mapped at `address`, from the process's map: a full path however the module was
// loaded. Empty when none is found.
std::string MappedFileHolding(const void* address) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::string();
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::string path;
  char line[PATH_MAX + 256];
  while (path.empty() && std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long start = 0, end = 0;
    int name_at = 0;
    // start-end perms offset device inode name
    if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &name_at) < 2) continue;
    if (at < start || at >= end || line[name_at] != '/') continue;
    path = line + name_at;
    while (!path.empty() && path.back() == '\n') path.pop_back();
  }
  std::fclose(maps);
  return path;
}
}  // namespace

std::string OwnModulePath() {
  // The loader knows a module by the name it was loaded by, which is relative when it was given
  // so (the program's own name as typed, a library opened by a relative path): only a full one
  // is taken from it.
  Dl_info info{};
  std::string path;
  if (dladdr(&kModuleAnchor, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] == '/') {
    path = info.dli_fname;
  } else {
    path = MappedFileHolding(&kModuleAnchor);
  }
  char resolved[PATH_MAX];
  if (!path.empty() && realpath(path.c_str(), resolved) != nullptr) path = resolved;
  return path;
}

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string PathFrom(std::string_view folder, std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  return std::string(folder) + std::string(path);
}

std::string SystemTextToUtf8(std::string_view text) {
  return std::string(text);
}

std::string Utf8ToSystemText(std::string_view text) {
  return std::string(text);
}

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

void SetBinaryMode(std::FILE*) {}

bool EnableTerminalControl(std::FILE* stream) {
  return IsTerminal(stream);
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {
std::atomic<bool>* g_interrupted = nullptr;
const char* g_interrupt_message = "";
std::atomic<void (*)()> g_interrupt_exit_work{nullptr};

extern "C" void OnInterruptSignal(int) {
  if (!g_interrupted->exchange(true)) return;
  // Only what is safe inside a signal handler from here on.
  const ssize_t ignored = write(STDERR_FILENO, g_interrupt_message, strlen(g_interrupt_message));
  (void)ignored;
  const ssize_t also_ignored = write(STDERR_FILENO, "\n", 1);
  (void)also_ignored;
  if (void (*work)() = g_interrupt_exit_work.load()) work();
  _exit(1);
}
}  // namespace

void InstallInterruptHandler(std::atomic<bool>* interrupted, const char* message) {
  g_interrupted = interrupted;
  g_interrupt_message = message;
  struct sigaction action {};
  action.sa_handler = OnInterruptSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

void SetInterruptExitWork(void (*restore)()) {
  g_interrupt_exit_work.store(restore);
}

bool LocalTime(std::time_t when, std::tm* out) {
  return localtime_r(&when, out) != nullptr;
}

namespace {
// Opens `path` for writing without waiting: O_NONBLOCK makes opening a FIFO without a reader fail
// at once (ENXIO) instead of waiting for one, and a device not wait for its carrier; O_NOCTTY
// keeps a terminal from becoming the host's controlling terminal. A symbolic link is followed
// (a log path may well be one); what it names is checked like any other file. Nothing is
// truncated here: a file is emptied only once it is known to be a regular one. The descriptor
// is returned only for a regular file, otherwise -1 with `*result` saying why.
int OpenRegularForWriting(const char* path, int flags, FileWriteResult* result, int* error) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags, 0644);
  if (fd < 0) {
    *error = errno;
    *result = FileWriteResult::kCannotOpen;
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    *error = errno;
    *result = FileWriteResult::kCannotOpen;
    close(fd);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    *result = FileWriteResult::kNotRegularFile;
    close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

FileWriteResult AppendTextWhole(const char* path, const char* data, std::size_t length,
                                int* system_error) noexcept {
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  FileWriteResult result = FileWriteResult::kWritten;
  const int fd = OpenRegularForWriting(path, O_APPEND, &result, &error);
  if (fd < 0) return result;
  // With O_APPEND one write() of a regular file lands whole at the end of the file.
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      result = FileWriteResult::kWriteFailed;
      break;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  close(fd);
  return result;
}

FileWriteResult EmptyRegularFile(const char* path, int* system_error) noexcept {
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  FileWriteResult result = FileWriteResult::kWritten;
  const int fd = OpenRegularForWriting(path, 0, &result, &error);
  if (fd < 0) return result;
  if (ftruncate(fd, 0) != 0) {
    error = errno;
    result = FileWriteResult::kWriteFailed;
  }
  close(fd);
  return result;
}

bool RenameReplacing(const char* from, const char* to, int* system_error) noexcept {
  if (rename(from, to) == 0) return true;
  if (system_error != nullptr) *system_error = errno;
  return false;
}

namespace {
// Closes a descriptor however the reading ends, an exception included.
struct DescriptorCloser {
  int fd;
  ~DescriptorCloser() { close(fd); }
};

// Opens `path` for reading only if it is a regular file, without waiting on what it may be
// instead: O_NONBLOCK, so that opening a FIFO does not wait for a writer (nor a device for its
// carrier), and O_NOCTTY, so that a terminal does not become the host's controlling terminal.
// kRead with the descriptor (blocking again) and its size, or why not, with `error` set.
FileReadResult OpenRegularForReading(const char* path, int* fd, off_t* size, int& error) {
  *fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) {
    error = errno;
    return FileReadResult::kCannotOpen;
  }
  struct stat info {};
  FileReadResult result = FileReadResult::kRead;
  if (fstat(*fd, &info) != 0) {
    error = errno;
    result = FileReadResult::kReadFailed;
  } else if (!S_ISREG(info.st_mode)) {
    result = FileReadResult::kNotRegularFile;
  }
  if (result != FileReadResult::kRead) {
    close(*fd);
    *fd = -1;
    return result;
  }
  // A regular file is read the ordinary way.
  const int flags = fcntl(*fd, F_GETFL);
  if (flags >= 0) fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK);
  *size = info.st_size;
  return FileReadResult::kRead;
}
}  // namespace

FileReadResult ReadFileStart(const char* path, char* buffer, std::size_t capacity,
                             std::size_t* length, int* system_error) noexcept {
  *length = 0;
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  int fd = -1;
  off_t size = 0;
  const FileReadResult opened = OpenRegularForReading(path, &fd, &size, error);
  if (opened != FileReadResult::kRead) return opened;
  const DescriptorCloser closer{fd};
  while (*length < capacity) {
    const ssize_t n = read(fd, buffer + *length, capacity - *length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      *length = 0;
      return FileReadResult::kReadFailed;
    }
    if (n == 0) break;
    *length += static_cast<std::size_t>(n);
  }
  return FileReadResult::kRead;
}

FileReadResult ReadRegularFile(const char* path, std::size_t max_bytes, std::string& contents,
                               int* system_error) {
  contents.clear();
  int ignored_error = 0;
  int& error = system_error != nullptr ? *system_error : ignored_error;
  error = 0;
  int fd = -1;
  off_t size = 0;
  const FileReadResult opened = OpenRegularForReading(path, &fd, &size, error);
  if (opened != FileReadResult::kRead) return opened;
  const DescriptorCloser closer{fd};
  if (size < 0 || static_cast<unsigned long long>(size) > max_bytes) {
    return FileReadResult::kTooLarge;
  }

  // One byte more than the bound tells a file that grew past it; files whose size the system
  // does not report (some pseudo-files say 0) grow the buffer as they are read.
  const std::size_t limit = max_bytes + 1;
  contents.resize(static_cast<std::size_t>(size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == contents.size()) {
      if (contents.size() == limit) break;
      contents.resize(std::min(limit, std::max<std::size_t>(4096, 2 * contents.size())));
    }
    const ssize_t n = read(fd, contents.data() + filled, contents.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      contents.clear();
      return FileReadResult::kReadFailed;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > max_bytes) {
    contents.clear();
    return FileReadResult::kTooLarge;
  }
  contents.resize(filled);
  return FileReadResult::kRead;
}

std::FILE* OpenFile(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

}  // namespace velkaro::platform
