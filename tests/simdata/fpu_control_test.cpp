// The frames do not depend on what the simulator's process does to the floating-point units. The
// built add-on converts the same records, and reads the same aircraft.cfg, with the simulator's
// thread under each x87 precision and rounding control (32-bit builds) and under each SSE
// rounding mode, flush-to-zero and denormals-are-zero (every x86 build), and every frame must
// match, byte for byte, the frame of a run under the controls the process started with. (The
// conversion time stamp, whole seconds of the calendar clock, is the one field left out.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/coding.h"
#include "common/frame_layout.h"
#include "simdata/record_layout.h"
#include "support/addon_harness.h"
#include "support/fp_control.h"
#include "support/record_message.h"
#include "support/test_files.h"

namespace velkaro::testing {
namespace {

constexpr std::size_t kTimeStampOffset = 24;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Detents whose decimal texts are not binary fractions, so reading them rounds.
constexpr const char kAircraftConfig[] =
    "[flaps.0]\ntype=1\n"
    "flaps-position.0=0.1\nflaps-position.1=12.3\nflaps-position.2=33.333333333333333\n"
    "flaps-position.3=1.00000001\nflaps-position.4=89.9999999\nflaps-position.5=45.0000001\n"
    "flaps-position.6=7.0000002384185791015625\nflaps-position.7=0.7\nflaps-position.8=2.675\n";

void SetReal(std::vector<std::uint8_t>& record, RecordSlot slot, double value) {
  EncodeF64(record.data() + slot.offset, value);
}

// Records that take every real through the conversion's arithmetic: every real datum a
// different value over many magnitudes, the world velocities round the compass and at the
// edges of the track's arc tangent, headings and radials far outside the circle.
std::vector<std::vector<std::uint8_t>> TestRecords(const std::vector<std::uint8_t>& base) {
  const std::pair<double, double> kVelocities[] = {
      // {X (east), Z (north)}
      {0.0, 0.0},       {-0.0, -0.0},    {0.0, -1.0},   {-0.0, -1.0},   {1.0, 0.0},
      {-1.0, 0.0},      {3.0, 4.0},      {-3.0, 4.0},   {3.0, -4.0},    {-3.0, -4.0},
      {1e-300, -1e300}, {1e300, 1e-300}, {kInf, 1.0},   {1.0, -kInf},   {kInf, -kInf},
      {kNaN, 1.0},      {0.1, 0.7},      {250.5, -0.3}, {-17.25, 99.0}, {5e-324, 1.0},
  };
  std::vector<std::vector<std::uint8_t>> records;
  for (int i = 0; i < 120; ++i) {
    std::vector<std::uint8_t> record = base;
    for (std::size_t d = 1; d < kSimVarCatalogue.size(); ++d) {
      if (kSimVarCatalogue[d].type != SIMCONNECT_DATATYPE_FLOAT64) continue;
      const int k = static_cast<int>(d) + 7 * i;
      const double sign = (k % 3 == 0) ? -1.0 : 1.0;
      const double value = sign * (0.731 * (k % 17) + 0.0173 * i) * std::pow(10.0, k % 9 - 4);
      EncodeF64(record.data() + RecordOffsetOf(d), value);
    }
    if (i < static_cast<int>(std::size(kVelocities))) {
      SetReal(record, RecordDatum("VELOCITY WORLD X"), kVelocities[i].first);
      SetReal(record, RecordDatum("VELOCITY WORLD Z"), kVelocities[i].second);
    } else {
      const double bearing = 0.0523 * i;
      SetReal(record, RecordDatum("VELOCITY WORLD X"), 180.0 * std::sin(bearing));
      SetReal(record, RecordDatum("VELOCITY WORLD Z"), 180.0 * std::cos(bearing));
    }
    if (i % 10 == 3) SetReal(record, RecordDatum("PLANE HEADING DEGREES TRUE"), 1.0e6 + i);
    if (i % 10 == 7) SetReal(record, RecordDatum("NAV RADIAL:1"), -4.5e9 - i);
    SetReal(record, RecordDatum("FLAPS HANDLE INDEX"), i % 10);
    SetReal(record, RecordDatum("FLAPS NUM HANDLE POSITIONS"), (i + 3) % 10);
    EncodeU32(record.data() + RecordDatum("ADF ACTIVE FREQUENCY:1").offset,
              0x01234567u * static_cast<std::uint32_t>(i));
    records.push_back(record);
  }
  return records;
}

// One run of the add-on with the simulator's thread under the controls `enter` sets (and
// `leave` puts back): the frame of every record.
template <typename Enter, typename Leave>
std::vector<zelm::Frame> RunUnder(Enter enter, Leave leave, const std::string& aircraft,
                                  const std::vector<std::vector<std::uint8_t>>& records) {
  AddOnHarness& addon = AddOnHarness::Instance();
  enter();
  addon.Start();
  addon.sim().LoadAircraft(aircraft.c_str());
  addon.Frames(1);  // starts the server
  std::vector<zelm::Frame> frames;
  if (auto client = ConnectToAddOn()) {
    for (const std::vector<std::uint8_t>& record : records) {
      RecordMessage message;
      message.SetRecord(record);
      addon.sim().Deliver(message.message(), message.size());
      addon.sim().Pump();
      zelm::Frame frame;
      if (!client->FetchFrame(&frame)) break;
      frames.push_back(frame);
    }
  }
  addon.Stop();
  leave();
  return frames;
}

// Where two frames differ, as "offset: value / value" lines (reals shown in full).
std::string Differences(const zelm::Frame& expected, const zelm::Frame& actual) {
  std::string text;
  for (std::size_t offset = 0; offset < kFrameSize; ++offset) {
    if (offset >= kTimeStampOffset && offset < kTimeStampOffset + 8) continue;
    if (expected.bytes[offset] == actual.bytes[offset]) continue;
    const std::size_t start = offset - offset % 8;
    char line[160];
    std::snprintf(line, sizeof line, "  bytes %zu..%zu: %.17g / %.17g\n", start, start + 7,
                  DecodeF64(expected.bytes.data() + start), DecodeF64(actual.bytes.data() + start));
    text += line;
    offset = start + 7;
  }
  return text;
}

// What every mode is compared with: the records, the sample aircraft and the frames of a run
// under the controls the process started with.
class FpuControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    aircraft_ = folder_.Write("Decimal/aircraft.cfg", kAircraftConfig) + ".air";  // beside it
    AddOnHarness& addon = AddOnHarness::Instance();
    addon.Start();
    std::vector<std::uint8_t> base(kRecordSize);
    ASSERT_EQ(addon.sim().BuildRecord(0, base.data(), static_cast<std::uint32_t>(base.size())),
              kRecordSize);
    addon.Stop();
    records_ = TestRecords(base);
    expected_ = RunUnder([] {}, [] {}, aircraft_, records_);
    ASSERT_EQ(expected_.size(), records_.size());
  }

  // Fails the test for the records whose frame differs from the reference (the first three
  // shown in full).
  void ExpectSameFrames(const std::vector<zelm::Frame>& frames) {
    ASSERT_EQ(frames.size(), records_.size());
    int differing = 0;
    for (std::size_t r = 0; r < records_.size(); ++r) {
      const std::string differences = Differences(expected_[r], frames[r]);
      if (differences.empty()) continue;
      if (++differing <= 3) ADD_FAILURE() << "record " << r << ":\n" << differences;
    }
    EXPECT_EQ(differing, 0) << "records whose frame differs";
  }

  ScratchFolder folder_;
  std::string aircraft_;
  std::vector<std::vector<std::uint8_t>> records_;
  std::vector<zelm::Frame> expected_;
};

TEST_F(FpuControlTest, FramesAreTheSameWhateverTheX87PrecisionAndRounding) {
  if (!kX87Matters) GTEST_SKIP() << "the x87 unit computes nothing for a 64-bit build";
  struct Mode {
    const char* name;
    std::uint16_t control;
  };
  const Mode kModes[] = {
      {"24-bit, nearest", kX87Precision24 | kX87RoundNearest},
      {"24-bit, down", kX87Precision24 | kX87RoundDown},
      {"24-bit, up", kX87Precision24 | kX87RoundUp},
      {"24-bit, toward zero", kX87Precision24 | kX87RoundTowardZero},
      {"53-bit, nearest", kX87Precision53 | kX87RoundNearest},
      {"53-bit, down", kX87Precision53 | kX87RoundDown},
      {"53-bit, up", kX87Precision53 | kX87RoundUp},
      {"53-bit, toward zero", kX87Precision53 | kX87RoundTowardZero},
      {"64-bit, nearest", kX87Precision64 | kX87RoundNearest},
      {"64-bit, down", kX87Precision64 | kX87RoundDown},
      {"64-bit, up", kX87Precision64 | kX87RoundUp},
      {"64-bit, toward zero", kX87Precision64 | kX87RoundTowardZero},
  };
  const std::uint16_t saved = X87ControlWord();
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ExpectSameFrames(RunUnder([&] { SetX87ControlWord(mode.control | kX87AllExceptionsMasked); },
                              [&] { SetX87ControlWord(saved); }, aircraft_, records_));
  }
}

TEST_F(FpuControlTest, FramesAreTheSameWhateverTheSseRoundingAndDenormalModes) {
  if (!kHasMxcsr) GTEST_SKIP() << "no SSE unit on this processor";
  struct Mode {
    const char* name;
    std::uint32_t control;
  };
  const Mode kModes[] = {
      {"nearest", kMxcsrRoundNearest},
      {"down", kMxcsrRoundDown},
      {"up", kMxcsrRoundUp},
      {"toward zero", kMxcsrRoundTowardZero},
      {"nearest, flush-to-zero", kMxcsrRoundNearest | kMxcsrFlushToZero},
      {"nearest, denormals-are-zero", kMxcsrRoundNearest | kMxcsrDenormalsAreZero},
      {"toward zero, flush-to-zero, denormals-are-zero",
       kMxcsrRoundTowardZero | kMxcsrFlushToZero | kMxcsrDenormalsAreZero},
  };
  const std::uint32_t saved = Mxcsr();
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ExpectSameFrames(RunUnder([&] { SetMxcsr(mode.control | kMxcsrAllExceptionsMasked); },
                              [&] { SetMxcsr(saved); }, aircraft_, records_));
  }
}

}  // namespace
}  // namespace velkaro::testing
