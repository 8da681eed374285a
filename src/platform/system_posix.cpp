#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {
std::atomic<bool>* g_interrupted = nullptr;
const char* g_interrupt_message = "";

extern "C" void OnInterruptSignal(int) {
  if (!g_interrupted->exchange(true)) return;
  // Only what is safe inside a signal handler from here on.
  const ssize_t ignored = write(STDERR_FILENO, g_interrupt_message, strlen(g_interrupt_message));
  (void)ignored;
  const ssize_t also_ignored = write(STDERR_FILENO, "\n", 1);
  (void)also_ignored;
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

bool LocalTime(std::time_t when, std::tm* out) {
  return localtime_r(&when, out) != nullptr;
}

bool AppendTextWhole(const char* path, const char* data, std::size_t length) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // With O_APPEND one write() of a regular file lands whole at the end of the file.
  bool ok = true;
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  close(fd);
  return ok;
}

}  // namespace velkaro::platform
