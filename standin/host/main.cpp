// velkaro-sim: the stand-in simulator's host program. It loads the add-on as the simulator's
// add-on loader does, starts it, raises "SimStart", runs the frame loop (the aircraft moves,
// "Frame" is raised, the add-on's data requests are answered) and stops the add-on on the way
// out. Lines on standard input change the running simulation (host/commands.h): aircraft PATH,
// set NAME=VALUE [UNIT], unset NAME, vars, help, quit.
//
// With --no-addon it runs the simulator alone and serves SimConnect programs of other processes
// (velkaro-bridge) over a private loopback link instead (simconnect/program_link.h), at --listen
// or $VELKARO_SIM_ADDRESS; on the way out every program is sent the quit message.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CLI/CLI.hpp"
#include "host/addon_loader.h"
#include "host/commands.h"
#include "host/server_report.h"
#include "platform/arguments.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "platform/system.h"
#include "simconnect/program_link.h"

namespace {

using velkaro::standin::AddOn;

constexpr double kDefaultRate = 30.0;
constexpr double kMaxRate = 1000.0;
constexpr double kMaxFrames = 1e15;  // a whole number a double holds exactly
// The frame loop waits for its next frame in slices of at most this long, so that Ctrl-C, the
// console's commands and --duration are served even at a rate of one frame in minutes.
constexpr auto kLongestWait = std::chrono::milliseconds(50);

constexpr const char* kDescription =
    "Runs the stand-in simulator with the Velkaro add-on loaded; clients connect to\n"
    "it over TCP. With --no-addon it runs the simulator alone for SimConnect\n"
    "programs of other processes (velkaro-bridge).";
constexpr const char* kFooter =
    "While running, standard input takes: aircraft PATH | set NAME=VALUE [UNIT] |\n"
    "unset NAME | vars | help | quit. Values are in the units the add-on registered\n"
    "(velkaro-sim --list-vars shows them), or in UNIT of the same kind.\n"
    "Ctrl-C stops the simulator; the add-on is always stopped cleanly.";

struct Options {
  std::string addon;
  std::string aircraft;
  double rate = kDefaultRate;
  double frames = -1.0;  // a whole number; below 0 for no limit
  double duration = -1.0;
  std::vector<std::string> pins;
  std::string title;
  bool title_set = false;
  bool list_vars = false;
  bool no_addon = false;
  std::string listen;
  std::vector<std::string> refused;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "velkaro-sim: %s\n", message.c_str());
  std::exit(2);
}

bool ParseNumber(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0';
}

// A check of an option's value that says, when it fails, what the option takes.
CLI::Validator MustBe(const char* what, bool (*accepts)(double)) {
  return CLI::Validator(
      [what, accepts](std::string& text) {
        double number = 0.0;
        if (ParseNumber(text, &number) && accepts(number)) return std::string();
        return std::string("must be ") + what + ", not " + text;
      },
      "");
}

// CLI11's words for a parse error, but "--rate needs a value" for "--rate: 1 required HZ
// missing".
std::string ParseErrorText(const CLI::ParseError& error) {
  const std::string text = error.what();
  const std::size_t colon = text.find(": ");
  if (error.get_name() == "ArgumentMismatch" && text.rfind("--", 0) == 0 &&
      colon != std::string::npos && text.find(" required ", colon) != std::string::npos) {
    return text.substr(0, colon) + " needs a value";
  }
  return text;
}

Options Parse(int argc, char** argv) {
  Options options;
  CLI::App app(kDescription, "velkaro-sim");
  app.get_formatter()->column_width(24);
  app.set_help_flag("-h,--help", "show this help");
  app.footer(kFooter);
  app.add_option("--addon", options.addon,
                 "add-on library to load\n(default: the one beside this program)")
      ->type_name("PATH");
  app.add_option("--aircraft", options.aircraft,
                 "aircraft file reported when the simulation starts,\n"
                 "relative to the current folder\n"
                 "(default: the sample aircraft beside this program)")
      ->type_name("PATH");
  app.add_option("--rate", options.rate, "simulator frames per second (default 30)")
      ->type_name("HZ")
      ->check(MustBe("greater than 0 and at most 1000 frames per second",
                     [](double v) { return v > 0.0 && v <= kMaxRate; }));
  app.add_option("--frames", options.frames, "stop after N frames")
      ->type_name("N")
      ->check(MustBe("a whole number of frames",
                     [](double v) { return v >= 0.0 && v <= kMaxFrames && v == std::floor(v); }));
  app.add_option("--duration", options.duration, "stop after this long")
      ->type_name("SECONDS")
      ->check(MustBe("0 or more seconds", [](double v) { return v >= 0.0; }));
  app.add_option("--set", options.pins,
                 "pin a variable as the set command does, e.g.\n"
                 "--set \"PLANE ALTITUDE=12000\" (repeatable)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  app.add_option("--title", options.title,
                 "the aircraft's title, in place of the one in its aircraft.cfg")
      ->type_name("TEXT");
  app.add_flag("--list-vars", options.list_vars,
               "list the variables the add-on registers, with\nunits and type, and exit");
  app.add_flag("--no-addon", options.no_addon,
               "load no add-on: serve SimConnect programs of other\n"
               "processes (velkaro-bridge) instead");
  app.add_option("--listen", options.listen,
                 "with --no-addon, where programs connect (default:\n"
                 "$VELKARO_SIM_ADDRESS, else 127.0.0.1:5195)")
      ->type_name("HOST:PORT");
  app.add_option("--refuse", options.refused,
                 "act as a simulator without this variable or event:\n"
                 "registering or mapping it is refused with an\n"
                 "exception (repeatable)")
      ->type_name("NAME")
      ->allow_extra_args(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    std::exit(0);
  } catch (const CLI::ParseError& error) {
    Fail(ParseErrorText(error) + " (see --help)");
  }
  options.title_set = app.count("--title") > 0;
  if (options.no_addon) {
    if (!options.addon.empty()) Fail("--addon and --no-addon exclude each other");
    if (options.list_vars) Fail("--list-vars lists the add-on's variables; --no-addon loads none");
    if (!options.pins.empty()) {
      Fail(
          "--set takes variables the add-on registered; with --no-addon use the set command "
          "once a program has registered them");
    }
  } else if (!options.listen.empty()) {
    Fail("--listen is where programs connect with --no-addon");
  }
  return options;
}

// Commands typed while the simulator runs, handed to the frame loop.
struct ConsoleCommands {
  std::mutex lock;
  std::vector<std::string> lines;
  std::atomic<bool> quit{false};
};

void ReadConsole(ConsoleCommands* commands) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> guard(commands->lock);
    commands->lines.push_back(line);
  }
}

void RunCommands(const StandInApi& sim, ConsoleCommands* commands, std::atomic<bool>* stop) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> guard(commands->lock);
    lines.swap(commands->lines);
  }
  for (const std::string& line : lines) {
    const velkaro::standin::CommandOutcome outcome = velkaro::standin::RunCommand(sim, line);
    std::fputs(outcome.reply.c_str(), stdout);
    if (outcome.quit) stop->store(true);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  velkaro::platform::Utf8Arguments arguments(argc, argv);
  const Options options = Parse(arguments.argc(), arguments.argv());
  // Checked, and a relative path made whole, against the folder velkaro-sim started in: the
  // add-on is given the absolute path.
  const velkaro::standin::AircraftFile aircraft_file = velkaro::standin::CheckAircraftFile(
      options.aircraft.empty() ? velkaro::standin::DefaultAircraftPath() : options.aircraft);
  if (!options.list_vars && !aircraft_file.error.empty()) {
    Fail("aircraft " + aircraft_file.path + " not loaded: " + aircraft_file.error);
  }
  // The add-on's WSACleanup lowers the process-wide count; the host holds its own start-up.
  velkaro::platform::SocketsStartup();

  AddOn addon;
  std::string error;
  const StandInApi* simulator = nullptr;
  if (options.no_addon) {
    simulator = velkaro::standin::LoadSimulator(velkaro::standin::DefaultSimulatorPath(), &error);
    if (simulator == nullptr) Fail(error);
  } else {
    const std::string addon_path =
        options.addon.empty() ? velkaro::standin::DefaultAddOnPath() : options.addon;
    if (!velkaro::standin::LoadAddOn(addon_path, &addon, &error)) Fail(error);
    simulator = addon.simulator;
  }

  const StandInApi& sim = *simulator;
  sim.Reset();
  const std::string& aircraft = aircraft_file.path;
  sim.SetAircraftPath(aircraft.c_str());
  if (options.title_set) {
    // A title is text of the simulator's, in the system's code page (as in aircraft.cfg).
    sim.SetTitle(velkaro::platform::Utf8ToSystemText(options.title).c_str());
  } else if (!aircraft_file.title.empty()) {
    sim.SetTitle(aircraft_file.title.c_str());
  }
  for (const std::string& name : options.refused) sim.Refuse(name.c_str());

  std::atomic<bool> stop{false};
  velkaro::platform::InstallStopHandler(&stop);

  if (options.no_addon) {
    const std::string address = options.listen.empty()
                                    ? velkaro::standin::link::SimAddressFromEnvironment()
                                    : options.listen;
    char reason[256] = "";
    if (sim.ServePrograms(address.c_str(), reason, sizeof reason) == 0) {
      Fail(std::string("SimConnect programs cannot be served: ") + reason);
    }
    if (!aircraft_file.warning.empty()) {
      std::fprintf(stderr, "velkaro-sim: warning: %s\n", aircraft_file.warning.c_str());
    }
    std::printf(
        "velkaro-sim: no add-on; SimConnect programs connect to %s; aircraft %s; %.4g frames "
        "per second. Ctrl-C stops.\n",
        address.c_str(), aircraft.c_str(), options.rate);
    std::fflush(stdout);
    sim.RaiseSimStart();
  } else {
    addon.Start();
  }
  if (!options.no_addon && !sim.IsOpen()) {
    std::fprintf(stderr, "velkaro-sim: the add-on did not connect to the simulator\n");
  }
  // Variables are known once the add-on has registered them: --list-vars and --set need them.
  if (options.list_vars) {
    const bool registered = sim.DatumCount() > 0;
    std::fputs(velkaro::standin::ListVariables(sim).c_str(), registered ? stdout : stderr);
    addon.Stop();
    return registered ? 0 : 1;
  }
  if (!options.no_addon) {
    for (const std::string& pin : options.pins) {
      std::string reply;
      const bool pinned = velkaro::standin::PinVariable(sim, pin, &reply);
      std::fputs(reply.c_str(), pinned ? stdout : stderr);
      if (!pinned) {
        addon.Stop();
        return 2;
      }
    }
    if (!aircraft_file.warning.empty()) {
      std::fprintf(stderr, "velkaro-sim: warning: %s\n", aircraft_file.warning.c_str());
    }
    std::printf("velkaro-sim: %s loaded; aircraft %s; %.4g frames per second. Ctrl-C stops.\n",
                addon.path.c_str(), aircraft.c_str(), options.rate);
    std::fflush(stdout);
    sim.RaiseSimStart();
  }

  static ConsoleCommands commands;
  // The reader may stay blocked on standard input until the process ends.
  std::thread(ReadConsole, &commands).detach();

  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration<double>(1.0 / options.rate);
  const auto started = Clock::now();
  auto next = started;
  long long frames = 0;
  while (!stop.load()) {
    if (options.frames >= 0 && frames >= options.frames) break;
    if (options.duration >= 0.0 &&
        std::chrono::duration<double>(Clock::now() - started).count() >= options.duration) {
      break;
    }
    RunCommands(sim, &commands, &stop);
    if (stop.load()) break;
    const auto now = Clock::now();
    if (now < next) {
      std::this_thread::sleep_for(std::min<Clock::duration>(next - now, kLongestWait));
      continue;
    }

    sim.Step(period.count());
    ++frames;
    if (frames == 1 && !options.no_addon) {  // the first frame starts the add-on's server
      std::fputs(velkaro::standin::ReportAddOnServer(addon.path).c_str(), stdout);
      std::fflush(stdout);
    }
    next += std::chrono::duration_cast<Clock::duration>(period);
    if (Clock::now() - next > std::chrono::seconds(1)) {
      next = Clock::now();  // far behind (a debugger, a suspended process): do not race to catch up
    }
  }

  if (options.no_addon) {
    sim.StopPrograms();
  } else {
    addon.Stop();
  }
  std::printf("velkaro-sim: stopped after %lld frames\n", frames);
  std::fflush(stdout);
  velkaro::platform::SocketsCleanup();
  velkaro::platform::StopFinished();
  return 0;
}
