// What the benchmark programs share: percentiles, processor clocks, and the add-on started in
// the benchmark's own process on the stand-in SimConnect, fed records by hand so that the
// simulator thread's own cost can be timed.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/coding.h"
#include "common/protocol.h"
#include "host/addon.h"
#include "platform/socket.h"
#include "simconnect/standin_api.h"
#include "simdata/record_layout.h"
#include "support/record_message.h"
#include "zelm_client.h"

namespace velkaro::bench {

using Clock = std::chrono::steady_clock;
namespace protocol = velkaro::protocol;

inline double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

inline double ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

inline double ProcessCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

struct Percentiles {
  double p50, p90, p99, max;
};

inline Percentiles Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double p) {
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(p * samples.size()))];
  };
  return {at(0.50), at(0.90), at(0.99), samples.back()};
}

inline void Print(const char* what, const Percentiles& p) {
  std::printf("  %-44s p50 %8.1f us  p90 %8.1f us  p99 %8.1f us  max %8.1f us\n", what, p.p50,
              p.p90, p.p99, p.max);
}

// The add-on, started in this process, fed records by hand.
class AddOnUnderTest {
 public:
  AddOnUnderTest() : sim_(*StandIn_GetApi()) {
    velkaro::platform::SocketsStartup();
    sim_.Reset();
    DLLStart();
    sim_.BuildRecord(0, Record(), static_cast<std::uint32_t>(velkaro::kRecordSize));
    Dispatch();  // the first record starts the server
    Dispatch();  // and the second is the first frame: from here on sessions wait for fresh ones
    for (int i = 0; i < 200 && !Connectable(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~AddOnUnderTest() { DLLStop(); }

  // One record through DispatchCallback. Returns the time it took on the clock, and in
  // `cpu` the processor time the simulator thread spent (the wall time also counts the time
  // the thread waited for a processor while the machine ran the clients).
  Clock::duration Dispatch(double* cpu_us = nullptr) {
    Set(velkaro::RecordDatum("PLANE LATITUDE"), 47.0 + 1e-6 * ++count_);
    const double cpu_start = ThreadCpuMicros();
    const auto start = Clock::now();
    velkaro::DispatchCallback(message_.message(), message_.size(), nullptr);
    const auto wall = Clock::now() - start;
    if (cpu_us != nullptr) *cpu_us = ThreadCpuMicros() - cpu_start;
    return wall;
  }

  // Sets a datum of the next records (in the units the add-on registered).
  void Set(velkaro::RecordSlot datum, double value) {
    velkaro::EncodeF64(Record() + datum.offset, value);
  }

  std::unique_ptr<zelm::Connection> Connect() {
    std::string error;
    auto c = zelm::Connection::Open("127.0.0.1", protocol::kDefaultPort, &error, 10000);
    if (!c) std::fprintf(stderr, "bench: %s\n", error.c_str());
    return c;
  }

 private:
  std::uint8_t* Record() { return message_.record(); }
  bool Connectable() {
    return zelm::Connection::Open("127.0.0.1", protocol::kDefaultPort, nullptr, 1000) != nullptr;
  }
  const StandInApi& sim_;
  velkaro::testing::RecordMessage message_;
  long count_ = 0;
};

}  // namespace velkaro::bench
