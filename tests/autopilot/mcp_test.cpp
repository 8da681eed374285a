// The autopilot panel block: check value, start values, the merge of accepted uploads, and the
// application of pending changes as simulator events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "autopilot/client_events.h"
#include "autopilot/mcp_apply.h"
#include "common/coding.h"
#include "common/mcp_block.h"
#include "log/log.h"
#include "simconnect/standin_api.h"
#include "simdata/record_layout.h"
#include "support/test_files.h"

namespace velkaro {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

McpBlock StartBlock() {
  McpBlock block{};
  ResetMcpBlock(block);
  return block;
}

TEST(McpBlockTest, CheckValueVectors) {
  McpBlock block{};
  EXPECT_EQ(McpCheckValue(block.data()), 0xB2A4C15Fu);
  block[143] = 0x01;
  EXPECT_EQ(McpCheckValue(block.data()), 0xB2A5EDFCu);
  block[143] = 0xFF;
  EXPECT_EQ(McpCheckValue(block.data()), 0xB2A5EDFCu) << "magnitudes: 0x01 and 0xFF are both 1";
  block[143] = 0;
  block[0] = 0x80;
  EXPECT_EQ(McpCheckValue(block.data()), 0xACCEF5DFu);
}

TEST(McpBlockTest, ResetGivesStartValuesAndLeavesTheUnusedBytes) {
  McpBlock block;
  block.fill(0xAA);
  ResetMcpBlock(block);
  EXPECT_EQ(std::memcmp(block.data(), "ZELM20\0", 7), 0);
  EXPECT_EQ(block[7], 0xAA);
  for (std::size_t offset : {8, 16, 24, 32, 40})
    EXPECT_EQ(DecodeF64(&block[offset]), -1.0) << offset;
  for (std::size_t offset = 48; offset < 120; offset += 8)
    EXPECT_EQ(DecodeF64(&block[offset]), 0.0) << offset;
  EXPECT_EQ(DecodeU32(&block[120]), 0u);
  for (std::size_t i = 124; i < 139; ++i) EXPECT_EQ(block[i], 0) << i;
  for (std::size_t i = 139; i < 144; ++i) EXPECT_EQ(block[i], 0xAA) << i;
}

TEST(McpBlockTest, MergeAccumulatesFlagsAndTakesEveryValueFromTheLatestBlock) {
  McpBlock pending = StartBlock();

  McpBlock first = StartBlock();
  McpChange(first, mcp::kAltitudeReference, 10000);
  McpSetF64(first, mcp::kAltitudeRequest, 12000);
  MergeMcpBlock(first, pending);

  McpBlock second = StartBlock();
  std::memcpy(second.data(), "NOTZELM", 7);  // not examined, not copied
  McpChange(second, mcp::kSpeedReference, 250);
  McpSetF64(second, mcp::kAltitudeReference, 0);
  second[139] = 0x77;  // never copied
  MergeMcpBlock(second, pending);

  EXPECT_EQ(McpChangeFlags(pending), (1u << 17) | (1u << 14));
  EXPECT_EQ(McpGetF64(pending, mcp::kSpeedReference), 250.0);
  EXPECT_EQ(McpGetF64(pending, mcp::kAltitudeReference), 0.0);
  EXPECT_EQ(McpGetF64(pending, mcp::kAltitudeRequest), -1.0) << "withdrawn by the later block";
  EXPECT_EQ(std::memcmp(pending.data(), "ZELM20\0", 7), 0);
  EXPECT_EQ(pending[139], 0);
}

// docs/protocol.md describes the block to client developers: its table must list the same
// fields, in the same order, at the same offsets, with the same types and flag bits.
TEST(McpBlockTest, TheProtocolDocumentListsTheBlockAsDefined) {
  const std::string doc = testing::ReadWholeFile(VELKARO_SOURCE_DIR "/docs/protocol.md");
  const std::size_t begin = doc.find("## The autopilot block");
  ASSERT_NE(begin, std::string::npos);
  const std::size_t end = doc.find("\n## ", begin + 1);
  std::istringstream section(doc.substr(begin, end - begin));

  std::vector<std::string> documented;
  const std::regex row(R"(^\| (\d+) \| ([^|]+?) \| `(\w+)` \| (\d*) ?\|)");
  for (std::string line; std::getline(section, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) {
      documented.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str());
    }
  }
  std::vector<std::string> defined;
  for (const McpField& f : kMcpFields) {
    std::string type;
    switch (f.type) {
      case McpType::kF64:
        type = "f64";
        break;
      case McpType::kU32:
        type = "u32";
        break;
      case McpType::kText:
        type = "char[" + std::to_string(f.count) + "]";
        break;
      case McpType::kU8:
      case McpType::kBytes:
        type = "u8";
        break;
    }
    if (f.count > 1 && f.type != McpType::kText) type += " x " + std::to_string(f.count);
    defined.push_back(std::to_string(f.offset) + " " + type + " " + f.name + " " +
                      (f.bit == kNoFlag ? "" : std::to_string(f.bit)));
  }
  EXPECT_EQ(documented, defined);
}

// The events planned for a pending block against a simulator state.
struct Sent {
  ClientEvent event;
  std::uint32_t data;
  bool operator==(const Sent&) const = default;
  friend void PrintTo(const Sent& s, std::ostream* out) {
    *out << "{event " << s.event << ", " << static_cast<std::int32_t>(s.data) << "}";
  }
};

std::vector<Sent> Plan(const McpBlock& pending, const std::vector<std::uint8_t>& record,
                       McpFieldSet* refused) {
  std::vector<Sent> sent;
  *refused = PlanMcpEvents(
      pending, record.data(),
      [](void* context, ClientEvent event, std::uint32_t data) {
        static_cast<std::vector<Sent>*>(context)->push_back({event, data});
      },
      &sent);
  return sent;
}

std::vector<std::string> FieldNames(McpFieldSet fields) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kMcpFields.size(); ++i) {
    if (fields & (McpFieldSet{1} << i)) names.push_back(kMcpFields[i].name);
  }
  return names;
}

std::uint32_t Word(std::int32_t v) {
  return static_cast<std::uint32_t>(v);
}

struct ApplyCase {
  const char* name;
  std::vector<std::pair<const char*, double>> simulator;  // datum, value
  std::function<void(McpBlock&)> change;
  std::vector<Sent> expected;
  std::vector<std::string> refused = {};  // fields that send nothing, by name
};

const std::vector<ApplyCase>& ApplyCases() {
  using namespace mcp;
  static const std::vector<ApplyCase> cases = {
      {"nothing pending", {{"AUTOPILOT MASTER", 1.0}}, [](McpBlock&) {}, {}},
      {"state already as wanted",
       {{"AUTOPILOT MASTER", 1.0}},
       [](McpBlock& b) { McpChange(b, kApMaster, 1); },
       {}},
      {"state differs",
       {{"AUTOPILOT MASTER", 0.0}},
       [](McpBlock& b) { McpChange(b, kApMaster, 1); },
       {{kEventApMaster, 1}}},
      {"flight director off while active",
       {{"AUTOPILOT FLIGHT DIRECTOR ACTIVE", 1.0}},
       [](McpBlock& b) { McpChange(b, kFlightDirector, 0); },
       {{kEventToggleFlightDirector, 0}}},
      {"state bytes other than 0 and 1 send nothing, the rest is sent",
       {{"AUTOPILOT HEADING LOCK", 1.0}, {"AUTOPILOT APPROACH HOLD", 0.0}},
       [](McpBlock& b) {
         McpChange(b, kHeadingHold, 2);
         McpChange(b, kApproachHold, 255);
         McpChange(b, kApMaster, 1);
       },
       {{kEventApMaster, 1}},
       {"headingHold", "approachHold"}},
      {"state byte set, bit clear", {}, [](McpBlock& b) { b[kApMaster.offset] = 1; }, {}},
      {"reserved bits and bytes do nothing",
       {},
       [](McpBlock& b) {
         b[131] = b[132] = b[134] = 1;
         McpSetChangeFlags(b, (1u << 7) | (1u << 8) | (1u << 12) | (1u << 13));
       },
       {}},
      {"every state switch in order",
       {{"AUTOPILOT MASTER", 0},
        {"AUTOPILOT THROTTLE ARM", 0},
        {"AUTOPILOT FLIGHT DIRECTOR ACTIVE", 0},
        {"AUTOPILOT AIRSPEED HOLD", 0},
        {"AUTOPILOT RPM HOLD", 0},
        {"AUTOPILOT MACH HOLD", 0},
        {"AUTOPILOT ALTITUDE LOCK", 0},
        {"AUTOPILOT HEADING LOCK", 0},
        {"AUTOPILOT NAV1 LOCK", 0},
        {"AUTOPILOT APPROACH HOLD", 0}},
       [](McpBlock& b) {
         McpChange(b, kApproachHold, 1);
         McpChange(b, kLocHold, 1);
         McpChange(b, kHeadingHold, 1);
         McpChange(b, kAltitudeHold, 1);
         McpChange(b, kMachHold, 1);
         McpChange(b, kN1Hold, 1);
         McpChange(b, kSpeedHold, 1);
         McpChange(b, kFlightDirector, 1);
         McpChange(b, kAutothrottleArm, 1);
         McpChange(b, kApMaster, 1);
       },
       {{kEventApMaster, 1},
        {kEventAutothrottleArm, 1},
        {kEventToggleFlightDirector, 1},
        {kEventApPanelSpeedSet, 1},
        {kEventApN1Hold, 1},
        {kEventApPanelMachSet, 1},
        {kEventApPanelAltitudeSet, 1},
        {kEventApPanelHeadingSet, 1},
        {kEventApLocHold, 1},
        {kEventApAppHold, 1}}},
      {"every reference in order, whatever the simulator holds",
       {{"AUTOPILOT ALTITUDE LOCK VAR", 35000}},
       [](McpBlock& b) {
         McpChange(b, kNav1Course, 123.4);
         McpChange(b, kHeadingBug, 359.6);
         McpChange(b, kVerticalSpeedReference, -1590);
         McpChange(b, kAltitudeReference, 35049);
         McpChange(b, kMachReference, 0.785);
         McpChange(b, kN1Reference, 88.5);
         McpChange(b, kSpeedReference, 250.4);
       },
       {{kEventApSpdVarSet, 250},
        {kEventApN1RefSet, 89},
        {kEventApMachVarSet, 79},
        {kEventApAltVarSetEnglish, 35000},
        {kEventApVsVarSetEnglish, Word(-1500)},
        {kEventHeadingBugSet, 360},
        {kEventVor1Set, 123}}},
      {"altitude request engages the hold and sets the altitude",
       {{"AUTOPILOT ALTITUDE LOCK", 0}, {"AUTOPILOT ALTITUDE LOCK VAR", 5000}},
       [](McpBlock& b) { McpSetF64(b, kAltitudeRequest, 10000); },
       {{kEventApPanelAltitudeSet, 1}, {kEventApAltVarSetEnglish, 10000}}},
      {"altitude request already held",
       {{"AUTOPILOT ALTITUDE LOCK", 1}, {"AUTOPILOT ALTITUDE LOCK VAR", 10000}},
       [](McpBlock& b) { McpSetF64(b, kAltitudeRequest, 10000); },
       {}},
      {"altitude request rounds to hundreds",
       {{"AUTOPILOT ALTITUDE LOCK", 1}},
       [](McpBlock& b) { McpSetF64(b, kAltitudeRequest, 35050); },
       {{kEventApAltVarSetEnglish, 35100}}},
      {"vertical speed request, engaging nothing",
       {{"AUTOPILOT VERTICAL HOLD VAR", 0}},
       [](McpBlock& b) { McpSetF64(b, kVerticalSpeedRequest, 1550); },
       {{kEventApVsVarSetEnglish, 1600}}},
      {"vertical speed request already set",
       {{"AUTOPILOT VERTICAL HOLD VAR", -1500}},
       [](McpBlock& b) { McpSetF64(b, kVerticalSpeedRequest, -1550); },
       {}},
      {"speed request 0 is knots",
       {},
       [](McpBlock& b) { McpSetF64(b, kSpeedRequest, 0.0); },
       {{kEventApPanelSpeedSet, 1}, {kEventApSpdVarSet, 0}}},
      {"speed request 1.999 is Mach",
       {},
       [](McpBlock& b) { McpSetF64(b, kSpeedRequest, 1.999); },
       {{kEventApPanelMachSet, 1}, {kEventApMachVarSet, 200}}},
      {"speed request 2.0 is knots",
       {},
       [](McpBlock& b) { McpSetF64(b, kSpeedRequest, 2.0); },
       {{kEventApPanelSpeedSet, 1}, {kEventApSpdVarSet, 2}}},
      {"Mach 0.78",
       {},
       [](McpBlock& b) { McpSetF64(b, kSpeedRequest, 0.78); },
       {{kEventApPanelMachSet, 1}, {kEventApMachVarSet, 78}}},
      {"whole numbers above 2^24 and their halves round in double precision",
       {{"AUTOPILOT ALTITUDE LOCK", 1}},
       [](McpBlock& b) {
         McpChange(b, kSpeedReference, 16777216);
         McpChange(b, kHeadingBug, 16777217);
         McpChange(b, kN1Reference, 2000000000.5);
         McpChange(b, kAltitudeReference, 2e9);
         McpChange(b, kVerticalSpeedReference, -2147483600);
         McpSetF64(b, kAltitudeRequest, 2147483549);
       },
       {{kEventApSpdVarSet, 16777216},
        {kEventApN1RefSet, 2000000001},
        {kEventApAltVarSetEnglish, 2000000000},
        {kEventApVsVarSetEnglish, Word(-2147483600)},
        {kEventHeadingBugSet, 16777217},
        {kEventApAltVarSetEnglish, 2147483500}}},
      {"Mach numbers with a half hundredth round up as written",
       {},
       [](McpBlock& b) {
         McpChange(b, kMachReference, 0.575);
         McpSetF64(b, kSpeedRequest, 1.005);
       },
       {{kEventApMachVarSet, 58}, {kEventApPanelMachSet, 1}, {kEventApMachVarSet, 101}}},
      {"heading request 0 is a request",
       {},
       [](McpBlock& b) { McpSetF64(b, kHeadingRequest, 0.0); },
       {{kEventApPanelHeadingSet, 1}, {kEventHeadingBugSet, 0}}},
      {"heading request -1 is none",
       {},
       [](McpBlock& b) { McpSetF64(b, kHeadingRequest, -1.0); },
       {}},
      {"the steps in their order",
       {{"AUTOPILOT MASTER", 0},
        {"AUTOPILOT ALTITUDE LOCK", 1},
        {"AUTOPILOT ALTITUDE LOCK VAR", 8000}},
       [](McpBlock& b) {
         McpSetF64(b, kHeadingRequest, 270);
         McpSetF64(b, kSpeedRequest, 250);
         McpSetF64(b, kVerticalSpeedRequest, 1000);
         McpSetF64(b, kAltitudeRequest, 12000);
         McpChange(b, kNav1Course, 90);
         McpChange(b, kApMaster, 1);
       },
       {{kEventApMaster, 1},
        {kEventVor1Set, 90},
        {kEventApAltVarSetEnglish, 12000},
        {kEventApVsVarSetEnglish, 1000},
        {kEventApPanelSpeedSet, 1},
        {kEventApSpdVarSet, 250},
        {kEventApPanelHeadingSet, 1},
        {kEventHeadingBugSet, 270}}},
      {"values that are not numbers are not sent, the rest is",
       {{"AUTOPILOT ALTITUDE LOCK", 0}, {"AUTOPILOT MASTER", 0}},
       [](McpBlock& b) {
         McpChange(b, kApMaster, 1);
         McpChange(b, kHeadingBug, kNaN);
         McpSetF64(b, kAltitudeRequest, kNaN);
         McpSetF64(b, kVerticalSpeedRequest, kNaN);
         McpSetF64(b, kHeadingRequest, 90);
       },
       {{kEventApMaster, 1}, {kEventApPanelHeadingSet, 1}, {kEventHeadingBugSet, 90}},
       {"headingBug", "altitudeRequest", "verticalSpeedRequest"}},
      {"values beyond 32 bits are not sent",
       {{"AUTOPILOT ALTITUDE LOCK", 1}},
       [](McpBlock& b) {
         McpChange(b, kAltitudeReference, 3.0e9);
         McpChange(b, kVerticalSpeedReference, -2.2e11);
         McpChange(b, kSpeedReference, 1e300);
         McpChange(b, kMachReference, 3.0e7);
         McpSetF64(b, kAltitudeRequest, 2147483800.0);
         McpSetF64(b, kSpeedRequest, 5.0e9);
         McpChange(b, kN1Reference, 2147483647.5);  // rounds to 2^31
       },
       {},
       {"altitudeReference", "verticalSpeedReference", "speedReference", "machReference",
        "altitudeRequest", "speedRequest", "n1Reference"}},
      {"a request whose target cannot be sent engages nothing",
       {{"AUTOPILOT ALTITUDE LOCK", 0}},
       [](McpBlock& b) {
         McpSetF64(b, kAltitudeRequest, -3.0e9);
         McpSetF64(b, kSpeedRequest, std::numeric_limits<double>::infinity());
         McpSetF64(b, kHeadingRequest, 5.0e9);
       },
       {},
       {"altitudeRequest", "speedRequest", "headingRequest"}},
      {"a simulator altitude that is not a number counts as different",
       {{"AUTOPILOT ALTITUDE LOCK", 1}, {"AUTOPILOT ALTITUDE LOCK VAR", kNaN}},
       [](McpBlock& b) { McpSetF64(b, kAltitudeRequest, 9000); },
       {{kEventApAltVarSetEnglish, 9000}}},
  };
  return cases;
}

TEST(McpApplyTest, PendingChangesBecomeEventsInTheirOrder) {
  for (const ApplyCase& c : ApplyCases()) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> record(kRecordSize, 0);
    for (const auto& [name, value] : c.simulator) {
      for (std::size_t i = 0; i < kSimVarCatalogue.size(); ++i) {
        if (std::string(kSimVarCatalogue[i].name) == name) {
          EncodeF64(record.data() + RecordOffsetOf(i), value);
        }
      }
    }
    McpBlock pending = StartBlock();
    c.change(pending);
    McpFieldSet refused = 0;
    EXPECT_EQ(Plan(pending, record, &refused), c.expected);
    std::vector<std::string> expected_refused = c.refused;
    std::vector<std::string> refused_names = FieldNames(refused);
    std::sort(expected_refused.begin(), expected_refused.end());
    std::sort(refused_names.begin(), refused_names.end());
    EXPECT_EQ(refused_names, expected_refused);
  }
}

TEST(McpApplyTest, RoundToWholeRoundsHalvesUpAboveZeroAndTowardZeroBelow) {
  EXPECT_EQ(RoundToWhole(250.5f), 251);
  EXPECT_EQ(RoundToWhole(250.4f), 250);
  EXPECT_EQ(RoundToWhole(-2.7f), -2);
  EXPECT_EQ(RoundToWhole(-0.5f), 0);
  // Every 32-bit whole number is itself, up to the largest.
  EXPECT_EQ(RoundToWhole(16777217.0), 16777217);
  EXPECT_EQ(RoundToWhole(2147483646.5), 2147483647);
  EXPECT_EQ(RoundToWhole(-2147483648.0), -2147483648);
  EXPECT_FALSE(RoundToWhole(2147483647.5).has_value());
  EXPECT_FALSE(RoundToWhole(2147483648.0).has_value());
  EXPECT_FALSE(RoundToWhole(std::numeric_limits<float>::quiet_NaN()).has_value());
  EXPECT_FALSE(RoundToWhole(std::numeric_limits<float>::infinity()).has_value());
}

TEST(McpExchangeTest, APendingBlockIsTakenOnceAndOnlyAfterAMerge) {
  McpExchange exchange;
  exchange.Reset();
  McpBlock taken{};
  EXPECT_FALSE(exchange.TakePending(&taken)) << "nothing merged";

  McpBlock block = StartBlock();
  McpChange(block, mcp::kApMaster, 1);
  EXPECT_FALSE(exchange.StoreAndMerge(block, McpCheckValue(block.data()) + 1));
  EXPECT_FALSE(exchange.TakePending(&taken)) << "a refused block is not pending";
  ASSERT_TRUE(exchange.StoreAndMerge(block, McpCheckValue(block.data())));
  ASSERT_TRUE(exchange.TakePending(&taken));
  EXPECT_EQ(McpChangeFlags(taken), mcp::kApMaster.bit);
  EXPECT_EQ(exchange.Pending(), StartBlock()) << "reset by the take";
  EXPECT_FALSE(exchange.TakePending(&taken)) << "taken once";
}

TEST(McpApplyTest, ApplicationTransmitsToTheUserAircraftAndResetsThePendingBlock) {
  const StandInApi& sim = *StandIn_GetApi();
  sim.Reset();
  SIMCONNECT_HANDLE simconnect = nullptr;
  ASSERT_GE(SimConnect_Open(&simconnect, "test", nullptr, 0, nullptr, 0), 0);
  MapClientEvents(simconnect);
  sim.ClearCalls();
  McpExchange exchange;
  exchange.Reset();
  McpBlock block = StartBlock();
  McpSetF64(block, mcp::kHeadingRequest, 180);
  McpChange(block, mcp::kApMaster, 1);
  ASSERT_TRUE(exchange.StoreAndMerge(block, McpCheckValue(block.data())));

  std::vector<std::uint8_t> record(kRecordSize, 0);
  ApplyMcpPending(exchange, simconnect, record.data());

  std::vector<StandInCall> transmits;
  for (int i = 0; i < sim.CallCount(); ++i) {
    StandInCall call;
    sim.GetCall(i, &call);
    if (std::string(call.function) == "SimConnect_TransmitClientEvent") transmits.push_back(call);
  }
  ASSERT_EQ(transmits.size(), 3u);
  const std::uint32_t expected_events[] = {kEventApMaster, kEventApPanelHeadingSet,
                                           kEventHeadingBugSet};
  for (std::size_t i = 0; i < transmits.size(); ++i) {
    EXPECT_EQ(transmits[i].args[0], 0u) << "the user aircraft";
    EXPECT_EQ(transmits[i].args[1], expected_events[i]);
    EXPECT_EQ(transmits[i].args[3], 1900000000u) << "standard priority";
    EXPECT_EQ(transmits[i].args[4], 16u) << "the group is a priority";
  }
  EXPECT_EQ(exchange.Pending(), StartBlock()) << "sent once";

  sim.ClearCalls();
  ApplyMcpPending(exchange, simconnect, record.data());
  EXPECT_EQ(sim.CallCount(), 0);
  SimConnect_Close(simconnect);
}

// A client that repeats a bad block must not fill the log: each refused field is logged the
// first time, and again only after the next start.
TEST(McpApplyTest, ARefusedFieldIsLoggedOncePerStart) {
  const testing::ScratchFolder folder;
  const bool saved_enabled = AddOnLog().Enabled;
  const std::string saved_path = AddOnLog().FilePath;
  AddOnLog().FilePath = folder.path() + "Velkaro.log";
  AddOnLog().Enabled = true;
  ResetLog();
  auto count = [&](const std::string& text) {
    const std::string log = testing::ReadWholeFile(AddOnLog().FilePath);
    int n = 0;
    for (std::size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size()) ++n;
    return n;
  };

  McpExchange exchange;
  McpBlock block = StartBlock();
  McpChange(block, mcp::kHeadingHold, 2);
  McpSetF64(block, mcp::kAltitudeRequest, kNaN);
  const std::vector<std::uint8_t> record(kRecordSize, 0);
  for (int start = 1; start <= 2; ++start) {
    exchange.Reset();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(exchange.StoreAndMerge(block, McpCheckValue(block.data())));
      ApplyMcpPending(exchange, nullptr, record.data());
    }
    EXPECT_EQ(count("Autopilot: headingHold 2 is neither off (0) nor on (1); not sent"), start);
    EXPECT_EQ(count("Autopilot: altitudeRequest "), start);
  }
  AddOnLog().Enabled = saved_enabled;
  AddOnLog().FilePath = saved_path;
}

}  // namespace
}  // namespace velkaro
