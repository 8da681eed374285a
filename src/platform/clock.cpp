#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace velkaro::platform {

void SleepMilliseconds(int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    std::this_thread::sleep_for(deadline - now);
  }
}

}  // namespace velkaro::platform
