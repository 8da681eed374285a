// The status reply built from a status board of the test's own, at times the test chooses: every
// field and its value, the frame rate over the last second and the age of the newest frame, and a
// reply that stays within the protocol's bound and is valid UTF-8 JSON whatever texts it carries.
#include "net/status.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "common/protocol.h"
#include "common/version.h"

namespace velkaro {
namespace {

using nlohmann::json;

json Parse(const StatusBoard& board, std::int64_t now_ms) {
  const std::string text = StatusJson(board, now_ms);
  EXPECT_LE(text.size(), protocol::kMaxStatusBytes);
  return json::parse(text);  // throws, failing the test, on anything but valid UTF-8 JSON
}

StatusBoard::Configuration SomeConfiguration() {
  StatusBoard::Configuration configuration;
  configuration.settings = ParseSettings(
      "[server]\nport = 6001\nbind = 127.0.0.1\nmax_clients = 5\nallow = 10.0.0.0/8, 127.0.0.1\n");
  configuration.config_file = "/sim/Modules/Velkaro.ini";
  configuration.log_enabled = true;
  configuration.log_path = "/sim/Modules/Velkaro.log";
  return configuration;
}

TEST(StatusTest, TheReplyCarriesEveryFieldWithItsValue) {
  StatusBoard board;
  FlapsTable flaps;
  flaps.fill(-1.0f);
  flaps[0] = 0.0f;
  flaps[1] = 10.0f;
  flaps[3] = 20.0f;  // detent 2 unknown
  board.Start(1000, SomeConfiguration(), flaps);

  json status = Parse(board, 1500);
  EXPECT_EQ(status["frames"], 0);
  EXPECT_TRUE(status["frame_age_ms"].is_null()) << "no frame yet";
  EXPECT_EQ(status["frame_rate_hz"], 0.0);
  EXPECT_EQ(status["aircraft_title"], "");
  EXPECT_EQ(status["server"], false);
  EXPECT_EQ(status["simconnect"], false);
  EXPECT_EQ(status["simconnect_since_s"], 0);

  board.SetSimConnectOpen(true, 2000);
  board.SetListening(true);
  board.SessionStarted();
  board.SessionStarted();
  board.SessionStarted();
  board.SessionEnded();
  board.CountRefusedConnection();
  board.NoteAircraftTitle("Velkaro Trainer");
  board.SetAircraftPath("/sim/Aircraft/Trainer/trainer.air");
  board.AddWarning("unknown key [server] colour, ignored");
  board.RecordPublication(5000);
  board.RecordPublication(5040);

  status = Parse(board, 5100);
  EXPECT_EQ(status["version"], VELKARO_VERSION_TEXT);
  EXPECT_EQ(status["uptime_s"], 4);
  EXPECT_EQ(status["simconnect"], true);
  EXPECT_EQ(status["simconnect_since_s"], 3);
  EXPECT_EQ(status["frames"], 2);
  EXPECT_EQ(status["frame_age_ms"], 60);
  EXPECT_EQ(status["clients"], 2);
  EXPECT_EQ(status["max_clients"], 5);
  EXPECT_EQ(status["port"], 6001);
  EXPECT_EQ(status["bind"], "127.0.0.1");
  EXPECT_EQ(status["allow"], "10.0.0.0/8, 127.0.0.1");
  EXPECT_EQ(status["server"], true);
  EXPECT_EQ(status["refused_connections"], 1);
  EXPECT_EQ(status["aircraft_title"], "Velkaro Trainer");
  EXPECT_EQ(status["aircraft_path"], "/sim/Aircraft/Trainer/trainer.air");
  EXPECT_EQ(status["flaps_detents"], json::parse("[0.0, 10.0, null, 20.0]"));
  EXPECT_EQ(status["log_enabled"], true);
  EXPECT_EQ(status["log_path"], "/sim/Modules/Velkaro.log");
  EXPECT_EQ(status["config_file"], "/sim/Modules/Velkaro.ini");
  EXPECT_EQ(status["warnings"], json::parse(R"(["unknown key [server] colour, ignored"])"));

  // A new start begins again: no frames, no warnings, no aircraft; no configuration file.
  board.Start(9000, StatusBoard::Configuration{}, flaps);
  status = Parse(board, 9000);
  EXPECT_EQ(status["frames"], 0);
  EXPECT_TRUE(status["frame_age_ms"].is_null());
  EXPECT_EQ(status["warnings"], json::array());
  EXPECT_EQ(status["aircraft_title"], "");
  EXPECT_TRUE(status["config_file"].is_null());
  EXPECT_EQ(status["clients"], 0);
}

TEST(StatusTest, FrameRateIsCountedOverTheLastSecondAndTheAgeGrowsWhenFramesStop) {
  struct Row {
    const char* name;
    double hz;             // publications per second
    std::int64_t for_ms;   // for this long
    std::int64_t then_ms;  // the reply this long after the last one
    double rate;
    double tolerance;
  };
  const Row rows[] = {
      {"30 per second", 30, 3000, 0, 30, 1},
      {"just started: half a second of 60 per second", 60, 500, 0, 60, 1},
      {"more than the times kept: over their span", 1000, 2000, 0, 1000, 10},
      {"stopped half a second ago", 30, 3000, 500, 15, 1},
      {"stopped two seconds ago", 30, 3000, 2000, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StatusBoard board;
    board.Start(0, StatusBoard::Configuration{}, FlapsTable{});
    const auto count = static_cast<int>(row.hz * static_cast<double>(row.for_ms) / 1000.0);
    std::int64_t last = 0;
    for (int i = 0; i < count; ++i) {
      last = 10000 + static_cast<std::int64_t>(i * 1000.0 / row.hz);
      board.RecordPublication(last);
    }
    const json status = Parse(board, last + row.then_ms);
    EXPECT_NEAR(status["frame_rate_hz"].get<double>(), row.rate, row.tolerance);
    EXPECT_EQ(status["frame_age_ms"], row.then_ms);
    EXPECT_EQ(status["frames"], count);
  }
}

// Texts come from the simulator (the title), the file system (paths) and the settings file
// (warnings quoting its values): none of them may push the reply past its bound or out of UTF-8.
TEST(StatusTest, TheReplyStaysWithinItsBoundWhateverTheTextsHold) {
  StatusBoard board;
  StatusBoard::Configuration configuration;
  configuration.log_path = std::string(100000, '\x01');   // each escaped as \u0001
  configuration.config_file = std::string(5000, '\xFF');  // not UTF-8
  configuration.settings.bind = std::string(5000, '"');
  board.Start(0, configuration, FlapsTable{});
  for (int i = 0; i < 1000; ++i) {
    board.AddWarning("warning " + std::to_string(i) + std::string(10000, '\x1F'));
  }
  board.SetAircraftPath(std::string(100000, '\\'));
  board.SetReplay(std::string(100000, '\x01'), 0, false);
  std::string title(255, '\x02');
  title[10] = '\xC3';  // a cut UTF-8 sequence
  board.NoteAircraftTitle(title.c_str());

  const json status = Parse(board, 0);
  const json& warnings = status["warnings"];
  ASSERT_EQ(warnings.size(), kMaxStatusWarnings + 1);
  EXPECT_EQ(warnings[0].get<std::string>().substr(0, 10), "warning 0" + std::string(1, '\x1F'));
  EXPECT_EQ(warnings[kMaxStatusWarnings], "and 984 more warnings: see the log");
#if defined(_WIN32)
  // Every byte is a character of the system's code page: 0xC3 is "\u00C3", two bytes in UTF-8.
  EXPECT_EQ(status["aircraft_title"].get<std::string>().size(), 254u + 2);
#else
  EXPECT_EQ(status["aircraft_title"].get<std::string>().size(), 254u + 3)
      << "254 bytes kept, the cut one as U+FFFD";
#endif
  EXPECT_EQ(status["log_path"].get<std::string>().size(), kMaxStatusTextBytes);
  EXPECT_EQ(status["replay"]["file"].get<std::string>().size(), kMaxStatusTextBytes);
}

// Only a replay (zelm replay, serving with this code) says what it plays; a new start forgets it.
TEST(StatusTest, AReplaySaysWhatItPlaysAndWhere) {
  StatusBoard board;
  board.Start(0, SomeConfiguration(), FlapsTable{});
  EXPECT_FALSE(Parse(board, 0).contains("replay"));

  board.SetReplay("/flights/f.vrec", 61'234'567, true);
  board.SetReplayPosition(12'345'678, 0.25, true, false);
  EXPECT_EQ(Parse(board, 0)["replay"], json::parse(R"({"file": "/flights/f.vrec",
      "position_s": 12.346, "duration_s": 61.235, "speed": 0.25, "paused": true, "loop": true,
      "ended": false})"));
  board.SetReplayPosition(61'234'567, 16, false, true);
  EXPECT_EQ(Parse(board, 0)["replay"]["ended"], true);
  EXPECT_EQ(Parse(board, 0)["replay"]["speed"], 16);

  board.Start(0, SomeConfiguration(), FlapsTable{});
  EXPECT_FALSE(Parse(board, 0).contains("replay"));
}

}  // namespace
}  // namespace velkaro
