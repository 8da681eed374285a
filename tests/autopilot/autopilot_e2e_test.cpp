// The autopilot end to end: a client's "zelm mcp" upload reaches the stand-in's aircraft as
// simulator events on the next frame, and the aircraft flies the modes it engaged.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "support/addon_harness.h"

namespace velkaro::testing {
namespace {

using AutopilotTest = AddOnTest;

// Angular distance from a heading to a target, 0 to 180.
double Off(double heading, double target) {
  const double d = std::fmod(std::fabs(heading - target), 360.0);
  return d > 180.0 ? 360.0 - d : d;
}

TEST_F(AutopilotTest, ZelmMcpEngagesTheAutopilotAndTheAircraftTurnsAndClimbs) {
  addon.Frames(2);
  auto client = ConnectToAddOn();
  ASSERT_NE(client, nullptr);
  zelm::Frame before;
  ASSERT_TRUE(client->FetchFrame(&before));
  ASSERT_EQ(before.Number("apMaster"), 0.0);

  std::string output;
  ASSERT_EQ(RunProgram("zelm", "mcp --ap on --alt 12000 --hdg 270", &output), 0) << output;
  addon.sim().ClearCalls();
  addon.Frames(1);
  std::vector<std::string> events;
  for (const StandInCall& call : addon.Calls("SimConnect_TransmitClientEvent")) {
    events.push_back(call.text);
    EXPECT_EQ(call.args[0], 0u);
    EXPECT_EQ(call.args[3], 1900000000u);
    EXPECT_EQ(call.args[4], 16u);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"AP_MASTER", "AP_PANEL_ALTITUDE_SET",
                                              "AP_ALT_VAR_SET_ENGLISH", "AP_PANEL_HEADING_SET",
                                              "HEADING_BUG_SET"}));

  addon.Frames(1);
  zelm::Frame engaged;
  ASSERT_TRUE(client->FetchFrame(&engaged));
  EXPECT_EQ(engaged.Number("apMaster"), 1.0);
  EXPECT_EQ(engaged.Number("apAltitudeHold"), 1.0);
  EXPECT_EQ(engaged.Number("apHeadingHold"), 1.0);
  EXPECT_EQ(engaged.Number("apAltitude"), 12000.0);
  EXPECT_EQ(engaged.Number("apHeading"), 270.0);

  // Ten seconds of flight: turning at up to 3 degrees a second (less at this speed, where the
  // bank would pass 25 degrees), climbing at up to 1800 ft/min.
  addon.Frames(300);
  zelm::Frame later;
  ASSERT_TRUE(client->FetchFrame(&later));
  const double heading_before = *engaged.Number("magneticHeading");
  const double heading_after = *later.Number("magneticHeading");
  EXPECT_LT(Off(heading_after, 270.0), Off(heading_before, 270.0) - 12.0)
      << "from " << heading_before << " to " << heading_after;
  EXPECT_GT(*later.Number("altitude"), *engaged.Number("altitude") + 150.0);
  EXPECT_GT(*later.Number("verticalSpeed"), 500.0);
  EXPECT_NE(*later.Number("bank"), 0.0) << "turning";

  // Long enough to arrive: on the heading and at the altitude, and holding them.
  addon.Frames(30 * 200);
  zelm::Frame settled;
  ASSERT_TRUE(client->FetchFrame(&settled));
  EXPECT_LT(Off(*settled.Number("magneticHeading"), 270.0), 1.0);
  EXPECT_NEAR(*settled.Number("altitude"), 12000.0, 20.0);
  EXPECT_NEAR(*settled.Number("verticalSpeed"), 0.0, 50.0);
}

TEST_F(AutopilotTest, ADryRunShowsTheBlockWithoutUploading) {
  addon.Frames(2);
  std::string output;
  ASSERT_EQ(RunProgram("zelm", "mcp --ap on --dry-run", &output), 0) << output;
  EXPECT_NE(output.find("check value 0x"), std::string::npos) << output;
  EXPECT_NE(output.find("5a 45 4c 4d 32 30 00"), std::string::npos) << "the magic" << output;
  addon.sim().ClearCalls();
  addon.Frames(1);
  EXPECT_TRUE(addon.Calls("SimConnect_TransmitClientEvent").empty());
}

}  // namespace
}  // namespace velkaro::testing
