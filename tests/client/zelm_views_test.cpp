// What zelm shows: watch's panel and line (widths, the bank's side, staleness), status's view
// of replies from add-ons of any version, and the escaping of text from the add-on.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/coding.h"
#include "common/frame_layout.h"
#include "printable.h"
#include "status_view.h"
#include "watch_view.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

using zelm::watch::ViewState;
using namespace std::chrono_literals;

// Every number of the frame set to `number`, every text filled with `text_byte`.
zelm::Frame FrameOf(double number, std::uint8_t text_byte) {
  zelm::Frame frame;
  for (const FrameField& f : kFrameFields) {
    for (std::size_t i = 0; i < f.count; ++i) {
      std::uint8_t* at = frame.bytes.data() + f.offset + ElementWidth(f) * i;
      switch (f.type) {
        case FrameType::kF64:
          EncodeF64(at, number);
          break;
        case FrameType::kI32:
          EncodeI32(at, std::isfinite(number) && std::fabs(number) < 2e9
                            ? static_cast<std::int32_t>(number)
                            : std::numeric_limits<std::int32_t>::min());
          break;
        case FrameType::kU8:
          *at = 0xFF;
          break;
        case FrameType::kText:
          std::fill_n(at, f.text_length - 1, text_byte);
          break;
      }
    }
  }
  return frame;
}

std::vector<std::string> AllLines(const zelm::Frame& frame, const ViewState& state) {
  std::vector<std::string> lines = zelm::watch::Panel(frame, state);
  lines.push_back(zelm::watch::Line(frame, state, "12:34:56"));
  return lines;
}

ViewState Live() {
  ViewState state;
  state.where = "127.0.0.1:5193";
  state.frames_per_second = 60.0;
  state.has_frame = true;
  state.age = 40ms;
  return state;
}

// The widest values each shown field takes in flight, both ends of its range: 5-digit speeds,
// altitudes below the sea and far above it, full deflections.
struct Extent {
  const char* field;
  double low, high;
};
constexpr Extent kExtents[] = {
    {"latitude", -90, 90},
    {"longitude", -180, 180},
    {"altitude", -1500, 99999},
    {"radioHeight", -50, 99999},
    {"pitch", -90, 90},
    {"bank", -180, 180},
    {"trueHeading", 0, 359.99},
    {"magneticHeading", 0, 359.99},
    {"groundTrack", 0, 359.99},
    {"indicatedAirspeed", 0, 99999},
    {"trueAirspeed", 0, 99999},
    {"groundSpeed", 0, 99999},
    {"mach", 0, 99.999},
    {"verticalSpeed", -99999, 99999},
    {"apHeading", 0, 359},
    {"apAltitude", -9999, 99999},
    {"apVerticalSpeed", -99999, 99999},
    {"apAirspeed", 0, 99999},
    {"apMach", 0, 9.99},
    {"navFrequency", 108, 117.95},
    {"dmeDistance", 0, 99999},
    {"navRelativeBearing", 0, 359.99},
    {"courseDeviation", -1, 1},
    {"glideSlopeDeviation", -1, 1},
    {"adfFrequency", 190, 1799.5},
    {"adfRelativeBearing", 0, 359.99},
    {"comFrequency", 0.18, 0.3697},
    {"engineN1", 0, 110},
    {"exhaustGasTemperature", -60, 1500},
    {"fuelFlow", 0, 24.99},
    {"flapAngle", 0, 60},
    {"flapDetentAngle", 0, 60},
    {"flapLastDetentAngle", 0, 60},
    {"spoilerDeflection", 0, 1},
};

zelm::Frame FrameAtExtents(bool high) {
  zelm::Frame frame = FrameOf(1.0, 'W');
  for (const Extent& e : kExtents) {
    const FrameField* f = FindFrameField(e.field);
    for (std::size_t i = 0; i < f->count; ++i) {
      EncodeF64(frame.bytes.data() + f->offset + 8 * i, high ? e.high : e.low);
    }
  }
  return frame;
}

// Whatever the frame holds, every line fits 80 columns and shows printable ASCII; the widest
// values in flight fit their columns, so none shows '#'.
TEST(WatchViewTest, EveryLineFitsEightyColumnsWhateverTheFrameHolds) {
  ViewState stale = Live();
  stale.stale = true;
  stale.age = 100h;
  stale.frames_per_second = 12345.6;
  stale.where = std::string(200, 'h') + ":65535";
  stale.problem = "no reply from the add-on: " + std::string(200, 'x');
  ViewState waiting = stale;
  waiting.has_frame = false;

  struct Row {
    const char* name;
    zelm::Frame frame;
    bool in_flight;  // then no column may overflow
  };
  const Row rows[] = {
      {"lowest in flight", FrameAtExtents(false), true},
      {"highest in flight", FrameAtExtents(true), true},
      {"zero", FrameOf(0.0, 'W'), true},
      {"negative zero", FrameOf(-0.0, 0x1b), true},
      {"huge", FrameOf(1e300, 0xFF), false},
      {"huge negative", FrameOf(-1.7e308, 0x7F), false},
      {"not a number", FrameOf(std::nan(""), 0x01), false},
      {"infinite", FrameOf(-HUGE_VAL, 'W'), false},
  };
  for (const Row& row : rows) {
    for (const ViewState& state : {Live(), stale, waiting}) {
      for (const std::string& line : AllLines(row.frame, state)) {
        SCOPED_TRACE(std::string(row.name) + ": " + line);
        EXPECT_LE(line.size(), zelm::watch::kMaxLineWidth);
        for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "not printable: " << int(c);
        if (row.in_flight) {
          EXPECT_EQ(line.find('#'), std::string::npos) << "a column overflowed";
        }
      }
    }
  }
}

// Bank is right wing down positive in the frame (offset 184): left wing down shows as L.
TEST(WatchViewTest, BankShowsTheLowWing) {
  struct Row {
    double degrees;
    const char* shown;
  };
  const Row rows[] = {{-17.2, "L17.2"},  {3.0, "R 3.0"},         {0.0, "  0.0"},
                      {-0.04, "  0.0"},  {0.06, "R 0.1"},        {-180.0, "L 180"},
                      {179.96, "R 180"}, {std::nan(""), "    -"}};
  for (const Row& row : rows) {
    EXPECT_EQ(zelm::watch::Bank(row.degrees), row.shown) << row.degrees;
  }
  zelm::Frame frame;
  EncodeF64(frame.bytes.data() + 184, -17.2);
  const std::vector<std::string> panel = zelm::watch::Panel(frame, Live());
  EXPECT_NE(panel.at(2).find("bank L17.2"), std::string::npos) << panel.at(2);
  EXPECT_NE(zelm::watch::Line(frame, Live(), "12:34:56").find("bank L17.2"), std::string::npos);
}

TEST(WatchViewTest, AFrameThatStopsChangingTurnsStaleAndANewOneIsFresh) {
  zelm::watch::Freshness freshness;
  const zelm::watch::Clock::time_point start{};
  zelm::Frame a, b;
  b.bytes[24] = 1;  // another conversion time

  EXPECT_FALSE(freshness.has_frame());
  EXPECT_TRUE(freshness.Observe(a, start)) << "the first frame is new, even all zero";
  EXPECT_FALSE(freshness.Observe(a, start + 1000ms)) << "sent again: not new";
  EXPECT_EQ(freshness.Age(start + 1000ms), 1000ms);
  EXPECT_FALSE(freshness.Stale(start + 1000ms)) << "a parked aircraft's frame changes each second";
  EXPECT_FALSE(freshness.Stale(start + zelm::watch::kStaleAfter));
  EXPECT_TRUE(freshness.Stale(start + zelm::watch::kStaleAfter + 1ms));
  EXPECT_TRUE(freshness.Observe(b, start + 5000ms));
  EXPECT_EQ(freshness.Age(start + 5000ms), 0ms);
  EXPECT_FALSE(freshness.Stale(start + 5000ms));
}

// The panel and the line say how fresh the frame is and why the connection was lost.
TEST(WatchViewTest, TheViewSaysStaleAndReconnecting) {
  const zelm::Frame frame;
  ViewState state = Live();
  state.age = 3400ms;
  state.stale = true;
  EXPECT_NE(zelm::watch::Panel(frame, state).at(0).find("frame age 3.4 s  STALE"),
            std::string::npos);
  EXPECT_NE(zelm::watch::Line(frame, state, "12:34:56").find("age 3.4 s STALE"), std::string::npos);
  state.problem = "the add-on closed the connection";
  EXPECT_EQ(zelm::watch::Panel(frame, state).at(1),
            "reconnecting... the add-on closed the connection");
  EXPECT_EQ(zelm::watch::Line(frame, state, "12:34:56"),
            "12:34:56 reconnecting... the add-on closed the connection");
}

// ---------------------------------------------------------------------------------------------

std::string Shown(const std::string& reply) {
  std::string text, error;
  EXPECT_TRUE(zelm::FormatStatus(reply, &text, &error)) << error;
  return text;
}

TEST(StatusViewTest, ShowsEveryFieldInHumanUnits) {
  const std::string reply = R"({
    "version": "1.1.0", "uptime_s": 7385.6, "simconnect": true, "frames": 443100,
    "frame_rate_hz": 59.96, "frame_age_ms": 12, "clients": 2, "max_clients": 64,
    "port": 5193, "bind": "ANY", "aircraft_title": "Velkaro Jet",
    "aircraft_path": "C:\\FSX\\SimObjects\\Airplanes\\Velkaro Jet\\aircraft.cfg",
    "flaps_detents": [0, 1, 5, 15, 25, 30, 40], "log_enabled": true,
    "log_path": "C:\\FSX\\Modules\\Velkaro.log", "config_file": null,
    "warnings": ["Velkaro.ini: port \"x\" is not a port; 5193 kept", "bind failed"],
    "refused_connections": 3, "server": true})";
  EXPECT_EQ(Shown(reply),
            "version:        1.1.0\n"
            "uptime:         2 h 03 m 05 s\n"
            "simulator:      connected\n"
            "frames:         443100\n"
            "frame rate:     60.0 frames/s\n"
            "frame age:      12 ms\n"
            "clients:        2 of 64\n"
            "refused:        3 connections\n"
            "server:         listening on ANY port 5193\n"
            "aircraft:       Velkaro Jet\n"
            "aircraft file:  C:\\FSX\\SimObjects\\Airplanes\\Velkaro Jet\\aircraft.cfg\n"
            "flaps detents:  0, 1, 5, 15, 25, 30, 40 deg\n"
            "log:            on, C:\\FSX\\Modules\\Velkaro.log\n"
            "settings file:  none\n"
            "warnings:       2\n"
            "  Velkaro.ini: port \"x\" is not a port; 5193 kept\n"
            "  bind failed\n");
}

// Older add-ons leave fields out, newer ones add fields or change their types: each line shows
// what there is, and nothing in the reply reaches the terminal as a control character.
TEST(StatusViewTest, ShowsWhatThereIsWhateverItsType) {
  struct Row {
    const char* name;
    std::string reply;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"nothing", "{}", {"(the reply has no fields)"}},
      {"some",
       R"({"clients": 1, "frame_age_ms": null})",
       {"frame age:  no frame yet", "clients:    1"}},
      {"only the limit", R"({"max_clients": 8})", {"clients:  ? of 8"}},
      {"other types",
       R"({"uptime_s": "long", "clients": "two", "max_clients": 64.5, "simconnect": 1,
           "flaps_detents": 5, "warnings": "one", "frame_rate_hz": [60],
           "server": "yes", "log_enabled": {"on": true}, "frames": -1.5})",
       {R"(uptime:         "long")", R"(clients:        "two" of 64.5)", "simulator:      1",
        "flaps detents:  5", R"(warnings:       one)", "frame rate:     [60]",
        R"(server:         "yes")", R"(log:            {"on":true})", "frames:         -1.5"}},
      {"out of range",
       R"({"uptime_s": 1e300, "frame_age_ms": -5e307, "frame_rate_hz": 1e308})",
       {"uptime:      1e+300", "frame age:   -5e+307", "frame rate:  1e+308"}},
      {"short and long",
       R"({"uptime_s": 59.9, "frame_age_ms": 2500})",
       {"uptime:     59 s", "frame age:  2.5 s"}},
      {"new fields",
       R"({"gateway": {"clients": [1, 2]}, "port": 5194})",
       {"server:   port 5194", R"(gateway:  {"clients":[1,2]})"}},
      {"a replay",
       R"({"simconnect": false, "replay": {"file": "f\u001b.vrec", "position_s": 12.345,
           "duration_s": 60, "speed": 0.25, "paused": true, "loop": true, "ended": false}})",
       {R"(replay:     f\x1b.vrec, 12.3 s of 60.0 s, speed 0.25, paused, looping)"}},
      {"a replay of another shape", R"({"replay": [1]})", {"replay:  [1]"}},
      {"control characters",
       R"({"aircraft_title": "A\u001b[2J\u009bB", "\u0007": 1})",
       {R"(aircraft:  A\x1b[2J\u009bB)", R"(\x07:      1)"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string text = Shown(row.reply);
    for (const std::string& line : row.lines) {
      EXPECT_NE(text.find(line + "\n"), std::string::npos) << "no line \"" << line << "\" in\n"
                                                           << text;
    }
  }
}

// Frame texts are any bytes, not only UTF-8: what a terminal takes as a control character is
// escaped, and everything else, UTF-8 or not, is kept as it came.
TEST(PrintableTest, EscapesControlCharactersOnly) {
  struct Row {
    const char* name;
    std::string text;
    std::string shown;
  };
  const Row rows[] = {
      {"C0, NUL and DEL", std::string("a\x1b[\0\x7f\n", 6), R"(a\x1b[\x00\x7f\x0a)"},
      {"C1 in UTF-8", "\xc2\x80\xc2\x9b\xc2\x9f", R"(\u0080\u009b\u009f)"},
      {"other UTF-8", "\xc2\xa0\xc3\xa9\xe2\x82\xac", "\xc2\xa0\xc3\xa9\xe2\x82\xac"},
      {"a lead byte at the end", "ab\xc2", "ab\xc2"},
      {"a lead byte before a control", "\xc2\x1b", "\xc2\\x1b"},
      {"bytes that are not UTF-8", "\x9b\xff", "\x9b\xff"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(zelm::Printable(row.text), row.shown);
  }
}

TEST(StatusViewTest, RefusesWhatIsNotAJsonObject) {
  struct Row {
    const char* name;
    std::string reply;
    const char* error;
  };
  const Row rows[] = {
      {"empty", "", "the status reply is not JSON: "},
      {"not JSON", "uptime 5", "the status reply is not JSON: "},
      {"cut short", R"({"clients": )", "the status reply is not JSON: "},
      {"not UTF-8", "{\"aircraft_title\": \"\xe9\"}", "the status reply is not JSON: "},
      {"an array", "[1, 2]", "the status reply is not a JSON object"},
      {"a text", R"("ok")", "the status reply is not a JSON object"},
      {"nested deeply", "{\"a\":" + std::string(40, '[') + std::string(40, ']') + "}",
       "the status reply nests deeper than 32 levels"},
      {"nested as deep as the reply can be", std::string(32767, '[') + std::string(32767, ']'),
       "the status reply nests deeper than 32 levels"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (auto show : {zelm::FormatStatus, zelm::PrettyStatus}) {
      std::string text, error;
      EXPECT_FALSE(show(row.reply, &text, &error));
      EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
    }
  }
  std::string text, error;
  const std::string deepest_allowed = "{\"a\":" + std::string(30, '[') + std::string(30, ']') + "}";
  EXPECT_TRUE(zelm::PrettyStatus(deepest_allowed, &text, &error)) << error;
}

TEST(StatusViewTest, PrettyPrintsTheReplyAsItCame) {
  std::string text, error;
  ASSERT_TRUE(
      zelm::PrettyStatus(R"({"version":"1.1.0","warnings":["a"],"clients":2})", &text, &error));
  EXPECT_EQ(text,
            "{\n"
            "  \"version\": \"1.1.0\",\n"
            "  \"warnings\": [\n"
            "    \"a\"\n"
            "  ],\n"
            "  \"clients\": 2\n"
            "}\n");
}

}  // namespace
}  // namespace velkaro::testing
