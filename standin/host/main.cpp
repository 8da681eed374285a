// velkaro-sim: the stand-in simulator's host program. It loads the add-on as the simulator's
// add-on loader does, starts it, raises "SimStart", runs the frame loop (the aircraft moves,
// "Frame" is raised, the add-on's data requests are answered) and stops the add-on on the way
// out. Lines on standard input change the running simulation:
//   aircraft PATH      load another aircraft ("AircraftLoaded")
//   set NAME=VALUE     pin a simulation variable (units as the add-on registered them)
//   quit               stop
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/addon_loader.h"
#include "host/server_report.h"
#include "host/stop_signal.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

using velkaro::standin::AddOn;

constexpr const char* kUsage =
    "usage: velkaro-sim [options]\n"
    "Runs the stand-in simulator with the Velkaro add-on loaded; clients connect to it over TCP.\n"
    "\n"
    "  --addon PATH        add-on library to load (default: the one beside this program)\n"
    "  --aircraft PATH     aircraft file reported when the simulation starts\n"
    "                      (default: the sample aircraft beside this program)\n"
    "  --rate HZ           simulator frames per second (default 30)\n"
    "  --frames N          stop after N frames\n"
    "  --duration SECONDS  stop after this long\n"
    "  --set NAME=VALUE    pin a simulation variable, in the units the add-on registered\n"
    "                      (repeatable), e.g. --set \"PLANE ALTITUDE=12000\"\n"
    "  --title TEXT        the aircraft's title\n"
    "  -h, --help          show this help\n"
    "\n"
    "While running, standard input takes: aircraft PATH | set NAME=VALUE | quit.\n"
    "Ctrl-C stops the simulator; the add-on is always stopped cleanly.\n";

struct Options {
  std::string addon;
  std::string aircraft;
  double rate = 30.0;
  long long frames = -1;
  double duration = -1.0;
  std::vector<std::pair<std::string, double>> pins;
  std::string title;
  bool title_set = false;
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

bool ParsePin(const std::string& text, std::pair<std::string, double>* pin) {
  const std::size_t equals = text.rfind('=');
  if (equals == std::string::npos || equals == 0) return false;
  pin->first = text.substr(0, equals);
  return ParseNumber(text.substr(equals + 1), &pin->second);
}

Options Parse(int argc, char** argv) {
  Options options;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) Fail(std::string(argv[i]) + " needs a value (see --help)");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    double number = 0.0;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--addon") {
      options.addon = value(i);
    } else if (arg == "--aircraft") {
      options.aircraft = value(i);
    } else if (arg == "--rate") {
      if (!ParseNumber(value(i), &number) || !(number > 0.0 && number <= 1000.0)) {
        Fail("--rate takes a number of frames per second from 0 to 1000");
      }
      options.rate = number;
    } else if (arg == "--frames") {
      if (!ParseNumber(value(i), &number) || number < 0 || number > 1e15) {
        Fail("--frames takes a whole number of frames");
      }
      options.frames = static_cast<long long>(number);
    } else if (arg == "--duration") {
      if (!ParseNumber(value(i), &number) || !(number >= 0.0)) Fail("--duration takes seconds");
      options.duration = number;
    } else if (arg == "--set") {
      std::pair<std::string, double> pin;
      if (!ParsePin(value(i), &pin)) Fail("--set takes NAME=VALUE, e.g. \"PLANE ALTITUDE=12000\"");
      options.pins.push_back(pin);
    } else if (arg == "--title") {
      options.title = value(i);
      options.title_set = true;
    } else {
      Fail("unknown option " + arg + " (see --help)");
    }
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

void RunCommand(const AddOn& addon, const std::string& line, std::atomic<bool>* stop) {
  if (line.rfind("aircraft ", 0) == 0) {
    const std::string path = line.substr(9);
    addon.simulator->LoadAircraft(path.c_str());
    std::printf("velkaro-sim: aircraft %s loaded\n", path.c_str());
  } else if (line.rfind("set ", 0) == 0) {
    std::pair<std::string, double> pin;
    if (!ParsePin(line.substr(4), &pin)) {
      std::printf("velkaro-sim: set takes NAME=VALUE\n");
    } else if (!addon.simulator->SetVariable(pin.first.c_str(), pin.second)) {
      std::printf("velkaro-sim: no simulation variable \"%s\"\n", pin.first.c_str());
    } else {
      std::printf("velkaro-sim: %s pinned to %g\n", pin.first.c_str(), pin.second);
    }
  } else if (line == "quit" || line == "exit") {
    stop->store(true);
  } else if (!line.empty()) {
    std::printf("velkaro-sim: commands are: aircraft PATH | set NAME=VALUE | quit\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  // The add-on's WSACleanup lowers the process-wide count; the host holds its own start-up.
  velkaro::platform::SocketsStartup();

  AddOn addon;
  std::string error;
  const std::string addon_path =
      options.addon.empty() ? velkaro::standin::DefaultAddOnPath() : options.addon;
  if (!velkaro::standin::LoadAddOn(addon_path, &addon, &error)) Fail(error);

  const StandInApi& sim = *addon.simulator;
  sim.Reset();
  const std::string aircraft =
      options.aircraft.empty() ? velkaro::standin::DefaultAircraftPath() : options.aircraft;
  sim.SetAircraftPath(aircraft.c_str());
  if (options.title_set) sim.SetTitle(options.title.c_str());
  for (const auto& [name, value] : options.pins) {
    if (!sim.SetVariable(name.c_str(), value)) Fail("no simulation variable \"" + name + "\"");
  }

  std::atomic<bool> stop{false};
  velkaro::standin::InstallStopHandler(&stop);

  addon.Start();
  if (!sim.IsOpen()) {
    std::fprintf(stderr, "velkaro-sim: the add-on did not connect to the simulator\n");
  }
  std::printf("velkaro-sim: %s loaded; aircraft %s; %.4g frames per second. Ctrl-C stops.\n",
              addon.path.c_str(), aircraft.c_str(), options.rate);
  std::fflush(stdout);
  sim.RaiseSimStart();

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
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> guard(commands.lock);
      lines.swap(commands.lines);
    }
    for (const std::string& line : lines) RunCommand(addon, line, &stop);

    sim.Step(period.count());
    ++frames;
    if (frames == 1) {  // the first frame starts the add-on's server, or fails to
      std::fputs(velkaro::standin::ReportAddOnServer(addon.path).c_str(), stdout);
      std::fflush(stdout);
    }
    next += std::chrono::duration_cast<Clock::duration>(period);
    const auto now = Clock::now();
    if (next > now) {
      std::this_thread::sleep_for(next - now);
    } else if (now - next > std::chrono::seconds(1)) {
      next = now;  // far behind (a debugger, a suspended process): do not race to catch up
    }
  }

  addon.Stop();
  std::printf("velkaro-sim: stopped after %lld frames\n", frames);
  std::fflush(stdout);
  velkaro::platform::SocketsCleanup();
  return 0;
}
