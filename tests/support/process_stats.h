// Test support: what the test process holds right now, to show that a run returns to where it
// started: threads, open descriptors (POSIX) or handles (Windows), and resident memory.
#pragma once

#include <cstddef>
#include <string>

namespace velkaro::testing {

struct ProcessStats {
  int threads = -1;
  int descriptors = -1;  // file descriptors, or Windows handles
  std::size_t resident_bytes = 0;

  std::string ToString() const;
};

ProcessStats CurrentProcessStats();

}  // namespace velkaro::testing
