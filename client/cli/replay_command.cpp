// zelm replay FLIGHT.vrec: serves a recording as the add-on serves the simulator (replay_player.h),
// on --port and --bind, at --speed, from --from, once or --loop, until Ctrl-C or q.
//
// On a terminal, keys control it (space pauses and plays on, s or . steps a frame, q quits) and a
// status line shows where it is; otherwise it writes only what it has to say, a line each.
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "config/settings.h"
#include "platform/clock.h"
#include "platform/keyboard.h"
#include "platform/system.h"
#include "replay_player.h"
#include "replay_source.h"

namespace zelm::cli {

namespace {

struct ReplayOptions {
  std::string file;
  std::string bind = "ANY";
  std::string allow = "ANY";
  double speed = 1.0;
  bool loop = false;
  double from_seconds = 0.0;
};

// How often the status line is redrawn, and keys and messages looked at.
constexpr int kTickMs = 100;
constexpr int kStatusLineEveryMs = 250;

std::string SecondsText(std::int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(us) / 1e6);
  return text;
}

std::string SpeedText(double speed) {
  char text[16];
  std::snprintf(text, sizeof text, "%g", speed);
  return text;
}

// The server's part of the add-on's settings, from --port, --bind and --allow, checked by the
// add-on's own rules; a value they do not take is a usage error.
velkaro::Settings ServerSettings(int port, const ReplayOptions& o) {
  for (const std::string* text : {&o.bind, &o.allow}) {
    for (const char c : *text) {
      if (static_cast<unsigned char>(c) < 0x20)
        Fail("--bind and --allow take no control characters", kExitUsage);
    }
  }
  std::uint32_t address = 0;
  if (o.bind != "ANY" && !velkaro::ParseIpv4(o.bind, &address)) {
    Fail("--bind takes ANY or a local IPv4 address (such as 127.0.0.1), not \"" + o.bind + "\"",
         kExitUsage);
  }
  velkaro::Settings settings =
      velkaro::ParseSettings("[server]\nbind = " + o.bind + "\nallow = " + o.allow + "\n");
  if (!settings.warnings.empty()) Fail("--allow: " + settings.warnings.front(), kExitUsage);
  settings.port = static_cast<std::uint16_t>(port);
  return settings;
}

// "--bind ANY" is every interface; a client on this computer reaches any of them at 127.0.0.1.
std::string WhereText(const velkaro::Settings& settings, std::uint16_t port) {
  const std::string where = settings.bind == "ANY" ? "every interface" : settings.bind;
  return "port " + std::to_string(port) + " of " + where;
}

int CommandReplay(const ConnectionOptions& connection, const ReplayOptions& o) {
  const velkaro::Settings server = ServerSettings(connection.port, o);
  std::string error;
  std::unique_ptr<replay::FrameSource> source = replay::OpenRecording(o.file, &error);
  if (!source) Fail(error);
  const std::int64_t duration_us = source->DurationUs();
  const auto from_us = static_cast<std::int64_t>(std::llround(o.from_seconds * 1e6));
  if (from_us > duration_us) {
    Fail("--from " + SecondsText(from_us) + " is past the end of " + o.file + ", which lasts " +
             SecondsText(duration_us) + " s",
         kExitUsage);
  }

  replay::ReplaySettings settings;
  settings.file = o.file;
  settings.speed = o.speed;
  settings.loop = o.loop;
  settings.from_us = from_us;
  settings.server = server;
  replay::Player player(std::move(source), settings);
  if (!player.Start(&error)) Fail("cannot replay " + o.file + ": " + error);

  // Keys and the status line at a terminal only: a replay run by a script (its output into a
  // file) leaves the terminal it was started from as it is.
  std::optional<velkaro::platform::Keyboard> terminal;
  if (velkaro::platform::IsTerminal(stdout)) terminal.emplace();
  const bool keys = terminal && terminal->active();
  const bool status_line = keys && velkaro::platform::EnableTerminalControl(stdout);
  std::printf("zelm: replaying %s (%s s) on %s at speed %s%s%s\n", o.file.c_str(),
              SecondsText(duration_us).c_str(), WhereText(server, player.port()).c_str(),
              SpeedText(o.speed).c_str(), o.loop ? ", looping" : "",
              from_us > 0 ? (", from " + SecondsText(from_us) + " s").c_str() : "");
  if (keys) std::printf("keys: space pauses and plays on, s or . steps a frame, q quits\n");
  std::fflush(stdout);

  // The status line is drawn over itself; a message clears it and is written above it.
  bool line_drawn = false;
  const auto clear_line = [&] {
    if (line_drawn) std::fputs("\r\x1b[K", stdout);
    line_drawn = false;
  };
  std::int64_t next_line_ms = 0;
  bool quit = false;
  while (!g_stop.load() && !quit) {
    const int key = keys ? terminal->ReadKey(kTickMs) : -1;
    if (!keys) velkaro::platform::SleepMilliseconds(kTickMs);
    if (key == ' ') player.TogglePause();
    if (key == 's' || key == 'S' || key == '.') player.Step();
    if (key == 'q' || key == 'Q') quit = true;
    for (const std::string& message : player.TakeMessages()) {
      clear_line();
      std::printf("zelm: %s\n", message.c_str());
      next_line_ms = 0;
    }
    const std::int64_t now_ms = velkaro::platform::SteadyMilliseconds();
    if (status_line && (now_ms >= next_line_ms || key >= 0)) {
      const replay::Player::Position at = player.Now();
      const char* state = at.ended ? "ended" : at.paused ? "paused" : "playing";
      // Hundredths, so that a step of a frame shows.
      std::printf("\r%.2f / %s s  speed %s  %s  %d client%s\x1b[K",
                  static_cast<double>(at.position_us) / 1e6, SecondsText(at.duration_us).c_str(),
                  SpeedText(at.speed).c_str(), state, at.clients, at.clients == 1 ? "" : "s");
      line_drawn = true;
      next_line_ms = now_ms + kStatusLineEveryMs;
    }
    std::fflush(stdout);
  }
  const replay::Player::Position at = player.Now();
  player.Stop();
  clear_line();
  std::printf("zelm: replay stopped at %s s of %s s\n", SecondsText(at.position_us).c_str(),
              SecondsText(at.duration_us).c_str());
  std::fflush(stdout);
  return kExitDone;
}

}  // namespace

void AddReplayCommand(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ReplayOptions>();
  CLI::App* replay = app.add_subcommand(
      "replay", "serve a recording (zelm record) as the add-on serves the simulator");
  replay->add_option("file", options->file, "the recording (.vrec)")
      ->required()
      ->check(CLI::ExistingFile);
  replay
      ->add_option("--port", context.connection.port,
                   "the TCP port to serve on (default 5193; 0: one the system picks)")
      ->check(WholeNumber(0, 65535));
  replay
      ->add_option("--bind", options->bind,
                   "ANY (every IPv4 interface, as the add-on by default) or a local IPv4 "
                   "address, e.g. 127.0.0.1")
      ->capture_default_str();
  replay
      ->add_option("--allow", options->allow,
                   "ANY, or the IPv4 addresses and CIDR ranges that may connect, separated by "
                   "commas (as the add-on's allow)")
      ->capture_default_str();
  replay->add_option("--speed", options->speed, "the pace, from 0.25 to 16 times the recorded one")
      ->check(Number(replay::kSlowestSpeed, false, replay::kFastestSpeed,
                     "takes a speed from 0.25 to 16"))
      ->capture_default_str();
  replay->add_flag("--loop", options->loop, "start again at the end (at --from)");
  replay->add_option("--from", options->from_seconds, "start this many seconds into the recording")
      ->check(Number(0.0, false, 1e9, "takes seconds, 0 or more"));
  replay->footer(
      "Clients connect as to the add-on: every zelm command, the gateway, the Python client.\n"
      "FMC and flight-plan uploads are kept in memory; autopilot blocks are checked and\n"
      "accepted as the add-on does, but change nothing. At the end of the recording (without\n"
      "--loop) the last frame is served on until zelm is stopped. On a terminal: space pauses\n"
      "and plays on, s or . steps one frame, q quits.\n"
      "Exit status: 0 stopped (q or Ctrl-C); 1 the recording cannot be read or the port cannot\n"
      "be listened on; 2 the command line is wrong.");
  SetHandler(replay, &context,
             [&context, options] { return CommandReplay(context.connection, *options); });
}

}  // namespace zelm::cli
