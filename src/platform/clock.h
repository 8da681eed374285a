// Time services: a millisecond sleep on the steady clock and the local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

namespace velkaro::platform {

// Sleeps at least `milliseconds` as measured on a monotonic clock; an early wake-up resumes the
// sleep for what is left.
void SleepMilliseconds(int milliseconds);

// Milliseconds on the monotonic clock since an arbitrary start; only differences mean anything.
std::int64_t SteadyMilliseconds();

// The local time for a calendar time, thread-safe (localtime_r / localtime_s).
bool LocalTime(std::time_t when, std::tm* out);

}  // namespace velkaro::platform
