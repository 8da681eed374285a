#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/file.h"

namespace velkaro::platform {

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
