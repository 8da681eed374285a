// The stand-in simulator itself: records built from a registered definition in the units asked
// for, unknown names and units delivered as zero and reported once, pins, and the headers of the
// messages it delivers; and its aircraft's localizer needle and the autopilot that follows it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "common/coding.h"
#include "simconnect/simconnect.h"
#include "model/units.h"
#include "simconnect/standin_api.h"
#include "model/aircraft_model.h"

namespace velkaro::standin {
namespace {

TEST(StandInUnitsTest, BaseValuesInTheUnitsClientsAskFor) {
  struct Row {
    Dimension dimension;
    double base;
    const char* unit;
    double expected;
  };
  const Row rows[] = {
      {Dimension::kLength, 1000.0, "Feet", 1000.0},
      {Dimension::kLength, 1000.0, "meters", 304.8},
      {Dimension::kLength, 6076.115485564304, "Nautical miles", 1.0},
      {Dimension::kAngle, 3.141592653589793, "Degrees", 180.0},
      {Dimension::kSpeed, 1.6878098571011957, "Knots", 1.0},
      {Dimension::kSpeed, 10.0, "Feet/minute", 600.0},
      {Dimension::kFraction, 0.5, "Percent", 50.0},
      {Dimension::kFraction, 1.0, "Position", 16383.0},
      {Dimension::kTemperature, 671.67, "Celsius", 100.0},
      {Dimension::kTemperature, 491.67, "Rankine", 491.67},
      {Dimension::kPressure, 144.0, "Psi", 1.0},
      {Dimension::kPressure, 2116.2166, "Millibars", 1013.25},
      {Dimension::kFrequency, 123.45, "Frequency BCD16", 0x2345},
      {Dimension::kFrequency, 0.3495, "Frequency ADF BCD32", 0x03495000},
      {Dimension::kNumber, 2.0, "Bool", 1.0},
      {Dimension::kLength, 7.0, "Number", 7.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.unit);
    const std::optional<double> value = FromBase(r.dimension, r.base, r.unit);
    ASSERT_TRUE(value.has_value());
    EXPECT_NEAR(*value, r.expected, 1e-3);
    const std::optional<double> back = ToBase(r.dimension, *value, r.unit);
    ASSERT_TRUE(back.has_value());
    if (std::string(r.unit) != "Bool") {
      EXPECT_NEAR(*back, r.base, 1e-3);
    }
  }
  EXPECT_FALSE(FromBase(Dimension::kLength, 1.0, "Degrees").has_value());
  EXPECT_FALSE(FromBase(Dimension::kLength, 1.0, "Furlongs").has_value());
}

TEST(StandInRecordTest, UnknownNamesAndUnitsAreZeroAndReportedOnce) {
  const StandInApi& sim = *StandIn_GetApi();
  sim.Reset();
  SIMCONNECT_HANDLE handle = nullptr;
  ASSERT_GE(SimConnect_Open(&handle, "test", nullptr, 0, nullptr, 0), 0);
  SimConnect_AddToDataDefinition(handle, 7, "PLANE ALTITUDE", "Feet", SIMCONNECT_DATATYPE_FLOAT64,
                                 0, SIMCONNECT_UNUSED);
  SimConnect_AddToDataDefinition(handle, 7, "NO SUCH VARIABLE", "Feet", SIMCONNECT_DATATYPE_FLOAT64,
                                 0, SIMCONNECT_UNUSED);
  SimConnect_AddToDataDefinition(handle, 7, "PLANE LATITUDE", "Furlongs",
                                 SIMCONNECT_DATATYPE_FLOAT64, 0, SIMCONNECT_UNUSED);
  SimConnect_AddToDataDefinition(handle, 7, "NAV IDENT:1", "Number", SIMCONNECT_DATATYPE_INT64, 0,
                                 SIMCONNECT_UNUSED);
  SimConnect_AddToDataDefinition(handle, 7, "COM ACTIVE FREQUENCY:1", "Frequency BCD16",
                                 SIMCONNECT_DATATYPE_INT32, 0, SIMCONNECT_UNUSED);
  ASSERT_TRUE(sim.SetVariable("PLANE ALTITUDE", 4321.0));

  std::uint8_t record[36];
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(sim.BuildRecord(7, record, sizeof record), 36u);
  sim.BuildRecord(7, record, sizeof record);
  const std::string reported = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(DecodeF64(record), 4321.0) << "pinned";
  EXPECT_EQ(DecodeF64(record + 8), 0.0);
  EXPECT_EQ(DecodeF64(record + 16), 0.0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 24), 4), "IVLK")
      << "an ident as 8 bytes";
  EXPECT_EQ(DecodeU32(record + 32), 0x2345u) << "123.45 MHz";
  auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = reported.find(text); at != std::string::npos;
         at = reported.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("NO SUCH VARIABLE"), 1u) << reported;
  EXPECT_EQ(count("Furlongs"), 1u) << reported;
  SimConnect_Close(handle);
}

std::vector<std::vector<std::uint8_t>> g_delivered;

void SIMCONNECT_CALL Collect(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size, void*) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
  g_delivered.emplace_back(bytes, bytes + size);
}

// The add-on's dispatch procedure trusts a message's header: its size, version and kind.
TEST(StandInMessageTest, EveryMessageHeaderGivesItsLengthAndKind) {
  const StandInApi& sim = *StandIn_GetApi();
  sim.Reset();
  g_delivered.clear();
  SIMCONNECT_HANDLE handle = nullptr;
  ASSERT_GE(SimConnect_Open(&handle, "test", nullptr, 0, nullptr, 0), 0);
  SimConnect_CallDispatch(handle, Collect, nullptr);
  SimConnect_SubscribeToSystemEvent(handle, 1, "SimStart");
  SimConnect_SubscribeToSystemEvent(handle, 2, "AircraftLoaded");
  SimConnect_SubscribeToSystemEvent(handle, 3, "Frame");
  SimConnect_AddToDataDefinition(handle, 5, "PLANE ALTITUDE", "Feet", SIMCONNECT_DATATYPE_FLOAT64,
                                 0, SIMCONNECT_UNUSED);
  SimConnect_AddToDataDefinition(handle, 5, "PLANE LATITUDE", "Degrees",
                                 SIMCONNECT_DATATYPE_FLOAT64, 0, SIMCONNECT_UNUSED);

  sim.RaiseSimStart();
  sim.LoadAircraft("trainer.air");
  SimConnect_RequestSystemState(handle, 8, "AircraftLoaded");
  SimConnect_RequestDataOnSimObjectType(handle, 9, 5, 0, SIMCONNECT_SIMOBJECT_TYPE_USER);
  sim.Pump();
  sim.Step(1.0 / 30.0);

  struct Row {
    const char* what;
    std::uint32_t id;
    std::size_t size;
  };
  const Row expected[] = {
      {"SimStart event", 4, 24},
      {"AircraftLoaded event with its file name", 6, 288},
      {"AircraftLoaded state", 15, 284},
      {"record of two FLOAT64 datums", 9, 40 + 16},
      {"Frame event", 7, 32},
  };
  ASSERT_EQ(g_delivered.size(), std::size(expected));
  const std::uint32_t version = DecodeU32(g_delivered[0].data() + 4);
  EXPECT_NE(version, 0u);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].what);
    const std::vector<std::uint8_t>& message = g_delivered[i];
    ASSERT_EQ(message.size(), expected[i].size);
    EXPECT_EQ(DecodeU32(message.data()), message.size()) << "dwSize";
    EXPECT_EQ(DecodeU32(message.data() + 4), version) << "dwVersion";
    EXPECT_EQ(DecodeU32(message.data() + 8), expected[i].id) << "dwID";
  }
  SimConnect_Close(handle);
}

// velkaro-sim runs for hours at 30 frames a second: the record of calls keeps the newest ones,
// oldest first, and never grows past its bound.
TEST(StandInRecordTest, KeepsOnlyTheNewestCalls) {
  const StandInApi& sim = *StandIn_GetApi();
  sim.Reset();
  SIMCONNECT_HANDLE handle = nullptr;
  ASSERT_GE(SimConnect_Open(&handle, "test", nullptr, 0, nullptr, 0), 0);  // call 0
  const std::uint32_t kMapped = kStandInRecordedCalls + 10;
  for (std::uint32_t id = 0; id < kMapped; ++id) {
    SimConnect_MapClientEventToSimEvent(handle, id, "AP_MASTER");
  }
  ASSERT_EQ(sim.CallCount(), kStandInRecordedCalls);
  StandInCall call;
  ASSERT_TRUE(sim.GetCall(0, &call));
  EXPECT_STREQ(call.function, "SimConnect_MapClientEventToSimEvent");
  EXPECT_EQ(call.args[0], kMapped - kStandInRecordedCalls) << "the oldest kept";
  ASSERT_TRUE(sim.GetCall(kStandInRecordedCalls - 1, &call));
  EXPECT_EQ(call.args[0], kMapped - 1) << "the newest";
  EXPECT_FALSE(sim.GetCall(kStandInRecordedCalls, &call));

  sim.ClearCalls();
  SimConnect_Close(handle);
  ASSERT_EQ(sim.CallCount(), 1);
  ASSERT_TRUE(sim.GetCall(0, &call));
  EXPECT_STREQ(call.function, "SimConnect_Close");
}

// The aircraft 8 nm before the threshold of NAV1's localizer, `offset_nm` right of its course
// (left when negative), heading along it, with the approach mode engaged.
AircraftModel OnApproach(double offset_nm) {
  AircraftModel model;
  FlightState& s = model.state();
  const double kPi = std::acos(-1.0);
  const double course = 105.5 + s.magvar_deg;  // true
  const double along = -8.0, across = offset_nm;
  const double north_nm = along * std::cos(course * kPi / 180) - across * std::sin(course * kPi / 180);
  const double east_nm = along * std::sin(course * kPi / 180) + across * std::cos(course * kPi / 180);
  const double latitude = 47.45 + north_nm / 60.0;
  const double longitude = -121.80 + east_nm / (60.0 * std::cos(latitude * kPi / 180));
  s.latitude_rad = latitude * kPi / 180;
  s.longitude_rad = longitude * kPi / 180;
  s.heading_true_rad = course * kPi / 180;
  s.altitude_ft = 3000.0;
  s.ap_altitude_ft = 3000.0;
  s.tas_kt = 160.0;
  s.ap_airspeed_kt = 160.0;
  s.wind_kt = 0.0;
  s.nav_obs_deg[0] = 105.5;
  s.ap_master = s.ap_approach_hold = s.ap_altitude_lock = true;
  return model;
}

// The needle lies on the course's side, right positive, as a VOR's does, and the approach mode
// flies the aircraft onto the course from either side.
TEST(StandInAircraftTest, TheLocalizerNeedlePointsToTheCourseAndTheAutopilotCapturesIt) {
  for (const double offset_nm : {1.0, -1.0}) {
    SCOPED_TRACE(offset_nm);
    AircraftModel model = OnApproach(offset_nm);
    const AircraftModel::NavReading start = model.Nav(0);
    ASSERT_TRUE(start.has_localizer);
    // Right of the course, the course is to the left: the needle is left (negative).
    EXPECT_LT(start.cdi * offset_nm, -50.0) << start.cdi;
    for (int i = 0; i < 150 * 10; ++i) model.Advance(0.1);
    const AircraftModel::NavReading end = model.Nav(0);
    ASSERT_TRUE(end.has_localizer);
    EXPECT_LT(std::fabs(end.cdi), 10.0) << end.cdi;
  }
}

}  // namespace
}  // namespace velkaro::standin
