#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <chrono>
#include <thread>

#include "dispatch_event.h"

namespace velkaro::bridge {

DispatchEvent::DispatchEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

DispatchEvent::~DispatchEvent() {
  if (fd_ >= 0) ::close(fd_);
}

bool DispatchEvent::valid() const {
  return fd_ >= 0;
}

void* DispatchEvent::handle() const {
  return fd_ >= 0 ? reinterpret_cast<void*>(static_cast<std::intptr_t>(fd_)) : nullptr;
}

void DispatchEvent::Wait(int milliseconds) {
  if (fd_ < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, milliseconds) > 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t cleared = ::read(fd_, &count, sizeof count);
  }
}

}  // namespace velkaro::bridge
