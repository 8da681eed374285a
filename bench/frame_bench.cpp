// The simulator thread's cost per user-aircraft record: the conversion alone, and the whole
// path the simulator's frame loop pays (dispatch, title check, conversion, publication with
// sessions waiting, autopilot application with nothing pending).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "host/addon.h"
#include "host/bridge_state.h"
#include "simdata/angle_math.h"
#include "simdata/frame_conversion.h"
#include "simdata/record_layout.h"
#include "support/record_message.h"

namespace velkaro {
namespace {

// A plausible record: every real datum set to a varied value, NAV idents and BCD radios set.
std::vector<std::uint8_t> SampleRecord() {
  std::vector<std::uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), "Velkaro Trainer", 16);
  for (std::size_t i = 1; i < kSimVarCatalogue.size(); ++i) {
    const std::size_t offset = RecordOffsetOf(i);
    switch (kSimVarCatalogue[i].type) {
      case SIMCONNECT_DATATYPE_FLOAT64:
        EncodeF64(record.data() + offset, 0.37 * static_cast<double>(i) - 20.0);
        break;
      case SIMCONNECT_DATATYPE_INT64:
        EncodeI64(record.data() + offset, static_cast<std::int64_t>(i % 3));
        break;
      case SIMCONNECT_DATATYPE_INT32:
        EncodeU32(record.data() + offset, 0x2345);
        break;
      default:
        break;
    }
  }
  std::memcpy(record.data() + RecordDatum("NAV IDENT:1").offset, "IVLK\0\0\0\0", 8);
  return record;
}

void BM_ConvertRecord(benchmark::State& state) {
  const std::vector<std::uint8_t> record = SampleRecord();
  std::vector<std::uint8_t> frame(kFrameSize);
  InitFrame(frame.data());
  FlapsTable flaps;
  flaps.fill(5.0f);
  for (auto _ : state) {
    ConvertRecord(record.data(), flaps, 1796868000, frame.data());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConvertRecord);

// The track's arc tangent: the conversion's own, and the C library's it replaced.
std::vector<double> Velocities() {
  std::vector<double> values(1024);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = 300.0 * std::sin(0.7 * static_cast<double>(i)) + 0.01 * static_cast<double>(i);
  }
  return values;
}
void BM_ArcTangent2(benchmark::State& state) {
  const std::vector<double> v = Velocities();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ArcTangent2(v[i & 1023], v[(i + 1) & 1023]));
    ++i;
  }
}
BENCHMARK(BM_ArcTangent2);
void BM_LibraryAtan2(benchmark::State& state) {
  const std::vector<double> v = Velocities();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::atan2(v[i & 1023], v[(i + 1) & 1023]));
    ++i;
  }
}
BENCHMARK(BM_LibraryAtan2);

// The whole per-record path as DispatchCallback runs it, with `waiting` sessions blocked on
// the next frame (their wake-up is handed to the waker thread).
void BM_PerRecordPath(benchmark::State& state) {
  InitFrame(Bridge.SimDataFrame.data());
  Bridge.Mcp.Reset();
  Bridge.ServerRunning.store(true);
  std::thread waker([] { Bridge.Frames.RunWaker(); });
  std::atomic<bool> stop{false};
  std::vector<std::thread> sessions;
  for (int i = 0; i < state.range(0); ++i) {
    sessions.emplace_back([&] {
      std::int32_t seen = Bridge.Frames.Sequence();
      while (!stop.load()) seen = Bridge.Frames.WaitForChange(seen, std::chrono::milliseconds(100));
    });
  }
  const std::vector<std::uint8_t> record = SampleRecord();
  testing::RecordMessage message;
  message.SetRecord(record);

  for (auto _ : state) {
    DispatchCallback(message.message(), message.size(), nullptr);
  }

  stop = true;
  Bridge.Frames.WakeAll();
  for (std::thread& t : sessions) t.join();
  Bridge.Frames.StopWaker();
  waker.join();
  Bridge.ServerRunning.store(false);
}
BENCHMARK(BM_PerRecordPath)->Arg(0)->Arg(8)->Arg(64)->UseRealTime();

}  // namespace
}  // namespace velkaro

BENCHMARK_MAIN();
