// The simulator thread's cost per user-aircraft record: the conversion alone, the status's share,
// and the whole path the simulator's frame loop pays (dispatch, title check, conversion,
// publication with sessions waiting, the status, autopilot application with nothing pending);
// and, outside the simulator, what the gateway (zelm serve) pays to write a frame as JSON.
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
#include "net/status.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "serve/messages.h"
#include "simdata/angle_math.h"
#include "simdata/frame_conversion.h"
#include "simdata/record_layout.h"
#include "support/record_message.h"
#include "support/waiting_sessions.h"

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

zelm::Frame SampleFrame() {
  zelm::Frame frame;
  FlapsTable flaps;
  flaps.fill(5.0f);
  InitFrame(frame.bytes.data());
  ConvertRecord(SampleRecord().data(), flaps, 1796868000, frame.bytes.data());
  return frame;
}

// The gateway's frame message as it writes it, for a frame of which one field changed (the
// aircraft moves) and for one of which every field changed; and built as a JSON tree and dumped.
void BM_GatewayFrameMessage(benchmark::State& state) {
  const bool all_change = state.range(0) != 0;
  zelm::Frame frames[2] = {SampleFrame(), SampleFrame()};
  constexpr F64Field kLongitude = FrameF64("longitude");
  EncodeF64(frames[1].bytes.data() + kLongitude.offset, -122.00003);
  if (all_change) {
    for (std::size_t i = protocol::kFrameMagicBytes; i < kFrameSize; ++i) frames[1].bytes[i] ^= 1;
  }
  zelm::serve::FrameFieldsWriter writer;
  std::uint64_t seq = 0;
  for (auto _ : state) {
    const zelm::Frame& frame = frames[seq % 2];
    benchmark::DoNotOptimize(zelm::serve::FrameMessage(writer.Write(frame), ++seq));
  }
}
BENCHMARK(BM_GatewayFrameMessage)->ArgName("all_fields_change")->Arg(0)->Arg(1);

void BM_GatewayFrameMessageAsTree(benchmark::State& state) {
  const zelm::Frame frame = SampleFrame();
  std::uint64_t seq = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelm::serve::Dump(nlohmann::json{
        {"type", "frame"}, {"seq", ++seq}, {"fields", zelm::serve::FrameFields(frame)}}));
  }
}
BENCHMARK(BM_GatewayFrameMessageAsTree);

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
  const testing::WaitingSessions running(state.range(0));
  const std::vector<std::uint8_t> record = SampleRecord();
  testing::RecordMessage message;
  message.SetRecord(record);

  for (auto _ : state) {
    DispatchCallback(message.message(), message.size(), nullptr);
  }
}
BENCHMARK(BM_PerRecordPath)->Arg(0)->Arg(8)->Arg(64)->UseRealTime();

// What the status costs the simulator's thread per record: the record's title compared with the
// one noted last, the clock read and the publication recorded (count, time, ring).
void BM_StatusPerRecord(benchmark::State& state) {
  StatusBoard board;
  char title[StatusBoard::kAircraftTitleBytes] = "Velkaro Trainer";
  board.NoteAircraftTitle(title);
  for (auto _ : state) {
    board.NoteAircraftTitle(title);
    board.RecordPublication(platform::SteadyMilliseconds());
  }
}
BENCHMARK(BM_StatusPerRecord);

// Streams through more memory than the caches hold, as the simulator does between two frames.
void EvictCaches() {
  static std::vector<std::uint8_t> sweep(64u << 20);
  for (std::size_t i = 0; i < sweep.size(); i += 64)
    sweep[i] = static_cast<std::uint8_t>(sweep[i] + 1);
  benchmark::DoNotOptimize(sweep.data());
}

// The per-record path from cold caches, as it runs once per simulator frame: only the dispatch
// is timed. Arg: sessions waiting.
void BM_PerRecordPathCold(benchmark::State& state) {
  const testing::WaitingSessions running(state.range(0));
  const std::vector<std::uint8_t> record = SampleRecord();
  testing::RecordMessage message;
  message.SetRecord(record);
  for (auto _ : state) {
    EvictCaches();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the sessions are asleep again
    const auto start = std::chrono::steady_clock::now();
    DispatchCallback(message.message(), message.size(), nullptr);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_PerRecordPathCold)
    ->Arg(0)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(400)
    ->UseManualTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly();

}  // namespace
}  // namespace velkaro

BENCHMARK_MAIN();
