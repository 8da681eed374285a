// The next slice of a wait that a deadline bounds and a flag may cancel, shared by the systems'
// socket files: waits run in slices so that the cancel flag is looked at every kCancelCheckMs.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/socket.h"

namespace velkaro::platform {

// The milliseconds to wait next in `slice` (-1: without limit), or false with the reason to
// give up in `reason` ("interrupted", "timed out after N s").
inline bool NextWaitSlice(std::chrono::steady_clock::time_point deadline, bool bounded,
                          int timeout_ms, const std::atomic<bool>* cancel, int* slice,
                          std::string* reason) {
  if (cancel != nullptr && cancel->load()) {
    *reason = "interrupted";
    return false;
  }
  *slice = cancel != nullptr ? kCancelCheckMs : -1;
  if (!bounded) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) {
    char text[64];
    std::snprintf(text, sizeof text, "timed out after %g s", timeout_ms / 1000.0);
    *reason = text;
    return false;
  }
  *slice = *slice < 0 ? static_cast<int>(left) : std::min<int>(*slice, static_cast<int>(left));
  return true;
}

}  // namespace velkaro::platform
