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

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace velkaro::platform
