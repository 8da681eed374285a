// Test and benchmark support: the add-on as DLLStart and its first record leave it (start-up
// frame, autopilot blocks at their start values, the server marked as running with its waker
// thread, but no server thread), with `count` threads waiting for the next frame as client
// sessions do; all undone when the object goes. Records dispatched meanwhile are converted and
// published to them. (Header only.)
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "host/addon.h"
#include "host/addon_state.h"
#include "platform/system.h"

namespace velkaro::testing {

class WaitingSessions {
 public:
  explicit WaitingSessions(std::int64_t count) {
    PrepareForStart();
    addon_state::SetServerRunning(true);
    waker_ = std::thread([] { addon_state::Frames().RunWaker(); });
    for (std::int64_t i = 0; i < count; ++i) {
      sessions_.emplace_back([this] {
        platform::YieldToOtherThreadsOnWake();  // as a session does
        std::int32_t seen = addon_state::Frames().Sequence();
        while (!stop_.load()) {
          seen = addon_state::Frames().WaitForChange(seen, std::chrono::milliseconds(100));
        }
      });
    }
  }
  ~WaitingSessions() {
    stop_ = true;
    addon_state::Frames().WakeAll();
    for (std::thread& t : sessions_) t.join();
    addon_state::Frames().StopWaker();
    waker_.join();
    addon_state::SetServerRunning(false);
  }
  WaitingSessions(const WaitingSessions&) = delete;
  WaitingSessions& operator=(const WaitingSessions&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread waker_;
  std::vector<std::thread> sessions_;
};

}  // namespace velkaro::testing
