#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "simconnect/program_client.h"

namespace velkaro::standin::program {

// The handle is an eventfd: adding 1 to its counter wakes whoever waits on it. A counter at its
// ceiling (EAGAIN on a non-blocking one) is signalled already.
void SignalEvent(void* event_handle) {
  if (event_handle == nullptr) return;
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(event_handle));
  const std::uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace velkaro::standin::program
