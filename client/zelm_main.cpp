// zelm: a command-line client of the Velkaro add-on.
//
//   zelm frame [--json]                   one frame, every field with its unit
//   zelm watch                            live view of the main instruments
//   zelm fmc get [-o FILE]                the stored FMC data
//   zelm fmc put FILE --version N         store FMC data
//   zelm fmc version                      the first eight bytes of the FMC data
//   zelm fpl put FILE --version N         store flight-plan data
//   zelm mcp [settings] [--dry-run]       upload an autopilot panel block
//   zelm bench --clients N --seconds S    N connections fetching frames flat out
//
// Every command takes --host (default 127.0.0.1), --port (default: the protocol's port) and
// --timeout (default 10 s: how long a command, or in watch and bench each frame, may take once
// connected, and how long connecting may take). Ctrl-C ends every command; watch and bench stop
// as they always did, the others fail; a second Ctrl-C ends zelm whatever it is waiting for.
// Exit status: 0 done, 1 the add-on could not be reached, the connection dropped, the add-on
// did not answer in time, answered what the protocol does not allow, or Ctrl-C; 2 a usage error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "zelm_client.h"

namespace {

constexpr const char* kUsage =
    "usage: zelm COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  frame [--json]                  fetch one frame and show every field with its unit\n"
    "  watch                           live view of the main instruments (Ctrl-C stops)\n"
    "  fmc get [-o FILE]               fetch the stored FMC data (to FILE, or a hex dump)\n"
    "  fmc put FILE --version N        store FILE as FMC data with version word N\n"
    "  fmc version                     show the first eight bytes of the FMC data\n"
    "  fpl put FILE --version N        store FILE as flight-plan data with version word N\n"
    "  mcp [settings] [--dry-run]      upload an autopilot panel block (zelm mcp --help)\n"
    "  bench --clients N --seconds S   N connections fetching frames flat out\n"
    "\n"
    "Options of every command:\n"
    "  --host HOST        the machine running the add-on (default 127.0.0.1)\n"
    "  --port PORT        its port (default %u)\n"
    "  --timeout SECONDS  give up when connecting, or the command once connected (in watch and\n"
    "                     bench: each frame), takes longer (default %g)\n";

constexpr const char* kMcpUsage =
    "usage: zelm mcp [settings] [--dry-run]\n"
    "Requests (the add-on engages the mode and sets its target):\n"
    "  --alt FEET          altitude            --vs FPM            vertical speed\n"
    "  --spd KNOTS|MACH    speed (below 2.0 a Mach number)        --hdg DEG   heading\n"
    "Switches (on|off):\n"
    "  --ap  --at  --fd    autopilot master, autothrottle arm, flight director\n"
    "  --speed-hold --n1-hold --mach-hold --alt-hold --hdg-hold --loc-hold --app-hold\n"
    "References:\n"
    "  --spd-ref KNOTS --n1-ref N1 --mach-ref MACH --alt-ref FEET --vs-ref FPM\n"
    "  --hdg-bug DEG --crs DEG (NAV1 course)\n"
    "  --dry-run           print the 144 bytes and the check value instead of uploading\n";

// Set by Ctrl-C; every wait of a connection looks at it.
std::atomic<bool> g_stop{false};

constexpr double kDefaultTimeoutSeconds = 10.0;
constexpr double kMaxTimeoutSeconds = 86400.0;

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "zelm: %s (see zelm --help)\n", message.c_str());
  std::exit(2);
}

[[noreturn]] void ConnectionError(const std::string& message) {
  std::fprintf(stderr, "zelm: %s\n", g_stop.load() ? "interrupted" : message.c_str());
  std::exit(1);
}

struct Arguments {
  std::vector<std::string> words;                            // positional
  std::map<std::string, std::string> options;                // --name value
  std::vector<std::string> flags;                            // --name alone
  std::vector<std::pair<std::string, std::string>> ordered;  // options in the order given

  bool Has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
  }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    const auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
  }
};

// Options that stand alone; every other --option takes a value.
bool IsFlag(const std::string& name) {
  return name == "--json" || name == "--dry-run" || name == "--help" || name == "-h";
}

Arguments Parse(int argc, char** argv, int first) {
  Arguments args;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() > 1 && arg[0] == '-' &&
        !(arg.size() > 1 && (std::isdigit(arg[1]) || arg[1] == '.'))) {
      if (IsFlag(arg)) {
        args.flags.push_back(arg);
      } else {
        if (i + 1 >= argc) UsageError(arg + " needs a value");
        args.options[arg] = argv[++i];
        args.ordered.emplace_back(arg, argv[i]);
      }
    } else {
      args.words.push_back(arg);
    }
  }
  return args;
}

double ParseNumber(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    UsageError(option + " takes a number, not \"" + text + "\"");
  }
  return value;
}

std::uint32_t ParseVersion(const Arguments& args) {
  const std::string text = args.Get("--version");
  if (text.empty()) UsageError("--version N is required");
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) UsageError("--version takes a 32-bit number");
  return static_cast<std::uint32_t>(value);
}

bool ParseSwitch(const std::string& option, const std::string& text) {
  if (text == "on" || text == "1" || text == "true") return true;
  if (text == "off" || text == "0" || text == "false") return false;
  UsageError(option + " takes on or off");
}

std::chrono::milliseconds Timeout(const Arguments& args) {
  const double seconds = args.options.count("--timeout") == 0
                             ? kDefaultTimeoutSeconds
                             : ParseNumber("--timeout", args.Get("--timeout"));
  if (!(seconds > 0.0 && seconds <= kMaxTimeoutSeconds)) {
    UsageError("--timeout takes seconds, more than 0 and at most " +
               std::to_string(static_cast<int>(kMaxTimeoutSeconds)));
  }
  return std::chrono::milliseconds(std::max(1LL, std::llround(seconds * 1000.0)));
}

// What --timeout bounds once connected: the whole command, or each frame of one that fetches
// frames until it is stopped.
enum class TimeLimit { kWholeCommand, kEachFrame };

std::unique_ptr<zelm::Connection> Connect(const Arguments& args,
                                          TimeLimit limit = TimeLimit::kWholeCommand) {
  const std::string host = args.Get("--host", zelm::kDefaultHost);
  const double port = ParseNumber("--port", args.Get("--port", std::to_string(zelm::kDefaultPort)));
  if (port < 1 || port > 65535 || port != std::floor(port)) UsageError("--port takes 1 to 65535");
  const std::chrono::milliseconds timeout = Timeout(args);
  std::string error;
  auto connection = zelm::Connection::Open(host, static_cast<std::uint16_t>(port), &error,
                                           static_cast<int>(timeout.count()), &g_stop);
  if (!connection) ConnectionError(error + " (is the simulator with the add-on running?)");
  if (limit == TimeLimit::kWholeCommand) connection->SetDeadline(timeout);
  return connection;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) UsageError("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void HexDump(const std::uint8_t* data, std::size_t length) {
  for (std::size_t row = 0; row < length; row += 16) {
    std::printf("%08zx ", row);
    for (std::size_t i = row; i < row + 16; ++i) {
      if (i < length) {
        std::printf(" %02x", data[i]);
      } else {
        std::printf("   ");
      }
    }
    std::printf("  |");
    for (std::size_t i = row; i < row + 16 && i < length; ++i) {
      std::putchar(data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '.');
    }
    std::printf("|\n");
  }
}

// ---------------------------------------------------------------------------------------------

int CommandFrame(const Arguments& args) {
  auto connection = Connect(args);
  zelm::Frame frame;
  if (!connection->FetchFrame(&frame)) ConnectionError(connection->error());
  if (args.Has("--json")) {
    std::fputs(frame.ToJson().c_str(), stdout);
    return 0;
  }
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    std::string values;
    for (std::size_t i = 0; i < f.count; ++i) {
      if (i > 0) values += " ";
      values += f.type == velkaro::FrameType::kText ? "\"" + frame.Format(f, i) + "\""
                                                    : frame.Format(f, i);
    }
    std::printf("%5zu  %-26s %-8s %s\n", f.offset, f.name, f.unit, values.c_str());
  }
  return 0;
}

std::string Onoff(double v) {
  return v != 0.0 ? "ON " : "off";
}

void ShowInstruments(const zelm::Frame& f, double fps, const std::string& where, bool tty) {
  auto n = [&](const char* name, std::size_t i = 0) { return f.Number(name, i).value_or(0.0); };
  auto t = [&](const char* name, std::size_t i = 0) { return f.Text(name, i).value_or(""); };
  std::string modes;
  if (n("apHeadingHold")) modes += " HDG";
  if (n("apAltitudeHold"))
    modes += " ALT";
  else if (n("apVerticalHold"))
    modes += " VS";
  if (n("apAirspeedHold")) modes += " SPD";
  if (n("apMachHold")) modes += " MACH";
  if (n("apRpmHold")) modes += " N1";
  if (n("apNavHold")) modes += " LOC";
  if (n("apGlideSlopeHold")) modes += " GS";
  if (modes.empty()) modes = " none";
  if (tty) std::printf("\x1b[H\x1b[2J");
  std::printf("zelm watch  %s  %.1f frames/s\n", where.c_str(), fps);
  std::printf("Position   %9.4f %c %9.4f %c   altitude %7.0f ft   radio %7.0f ft\n",
              std::fabs(n("latitude")), n("latitude") >= 0 ? 'N' : 'S', std::fabs(n("longitude")),
              n("longitude") >= 0 ? 'E' : 'W', n("altitude"), n("radioHeight"));
  std::printf(
      "Attitude   pitch %+6.1f  bank %+6.1f   heading %05.1f true  %05.1f mag   track %05.1f\n",
      n("pitch"), n("bank"), n("trueHeading"), n("magneticHeading"), n("groundTrack"));
  std::printf("Speeds     IAS %5.1f kt  TAS %5.1f kt  GS %5.1f kt  Mach %.3f  VS %+6.0f ft/min\n",
              n("indicatedAirspeed"), n("trueAirspeed"), n("groundSpeed"), n("mach"),
              n("verticalSpeed"));
  std::printf("Autopilot  AP %s  A/T %s  FD %s  modes:%s\n", Onoff(n("apMaster")).c_str(),
              Onoff(n("autothrottleArmed")).c_str(), Onoff(n("flightDirectorActive")).c_str(),
              modes.c_str());
  std::printf("           HDG %03.0f  ALT %5.0f ft  VS %+5.0f ft/min  SPD %3.0f kt  MACH %.2f\n",
              n("apHeading"), n("apAltitude"), n("apVerticalSpeed"), n("apAirspeed"), n("apMach"));
  for (std::size_t r = 0; r < 2; ++r) {
    std::printf(
        "NAV%zu       %6.2f MHz %-5s %s%s%s DME %5.1f nm  bearing %05.1f  CDI %+5.2f  GS %+5.2f\n",
        r + 1, n("navFrequency", r), t("navIdent", r).c_str(),
        n("navReceiving", r) ? "NAV " : "--- ", n("navLocalizer", r) ? "LOC " : "    ",
        n("navGlideSlope", r) ? "GS " : "   ", n("dmeDistance", r), n("navRelativeBearing", r),
        n("courseDeviation", r), n("glideSlopeDeviation", r));
  }
  std::printf("ADF1       %6.1f kHz  bearing %05.1f   COM1 %.3f  COM2 %.3f   markers %s%s%s\n",
              n("adfFrequency"), n("adfRelativeBearing"), 100.0 + n("comFrequency", 0) * 100.0,
              100.0 + n("comFrequency", 1) * 100.0, n("outerMarker") ? "O" : "-",
              n("middleMarker") ? "M" : "-", n("innerMarker") ? "I" : "-");
  std::printf(
      "Engines    N1 %5.1f %5.1f %5.1f %5.1f %%   EGT %4.0f %4.0f %4.0f %4.0f C   FF %.2f klb/h\n",
      n("engineN1", 0), n("engineN1", 1), n("engineN1", 2), n("engineN1", 3),
      n("exhaustGasTemperature", 0), n("exhaustGasTemperature", 1), n("exhaustGasTemperature", 2),
      n("exhaustGasTemperature", 3),
      n("fuelFlow", 0) + n("fuelFlow", 1) + n("fuelFlow", 2) + n("fuelFlow", 3));
  std::printf("Flaps      %4.1f deg (detent %4.1f of %4.1f)   gear %s   spoilers %.2f\n",
              n("flapAngle"), n("flapDetentAngle"), n("flapLastDetentAngle"),
              n("gearLeftDown") ? "down" : "up", n("spoilerDeflection"));
  if (!tty) std::printf("\n");
  std::fflush(stdout);
}

int CommandWatch(const Arguments& args) {
  auto connection = Connect(args, TimeLimit::kEachFrame);
  const std::chrono::milliseconds timeout = Timeout(args);
  const std::string where = args.Get("--host", zelm::kDefaultHost) + ":" +
                            args.Get("--port", std::to_string(zelm::kDefaultPort));
  const bool tty = velkaro::platform::IsTerminal(stdout);
  zelm::Frame frame, previous;
  using Clock = std::chrono::steady_clock;
  auto window_start = Clock::now();
  int new_frames = 0;
  double fps = 0.0;
  auto last_shown = Clock::now() - std::chrono::seconds(1);
  while (!g_stop.load()) {
    connection->SetDeadline(timeout);
    if (!connection->FetchFrame(&frame)) {
      if (g_stop.load()) break;  // Ctrl-C is how watch stops
      ConnectionError(connection->error());
    }
    if (frame.bytes != previous.bytes) {
      ++new_frames;
      previous = frame;
    }
    const auto now = Clock::now();
    const double window = std::chrono::duration<double>(now - window_start).count();
    if (window >= 1.0) {
      fps = new_frames / window;
      new_frames = 0;
      window_start = now;
    }
    // Every new frame on a terminal; once a second into a pipe or file.
    if (tty || now - last_shown >= std::chrono::seconds(1)) {
      ShowInstruments(frame, fps, where, tty);
      last_shown = now;
    }
  }
  return 0;
}

int CommandFmc(const Arguments& args) {
  if (args.words.size() < 2) UsageError("fmc takes get, put FILE or version");
  const std::string& action = args.words[1];
  if (action == "get") {
    auto connection = Connect(args);
    std::vector<std::uint8_t> data;
    std::uint32_t version = 0;
    if (!connection->FetchFmc(&data, &version)) ConnectionError(connection->error());
    const std::string out = args.Get("-o");
    if (!out.empty()) {
      std::ofstream file(out, std::ios::binary);
      file.write(reinterpret_cast<const char*>(data.data()),
                 static_cast<std::streamsize>(data.size()));
      if (!file) UsageError("cannot write " + out);
      std::fprintf(stderr, "zelm: %zu bytes of FMC data, version %u, written to %s\n", data.size(),
                   version, out.c_str());
    } else {
      std::printf("FMC data: %zu bytes, version %u\n", data.size(), version);
      HexDump(data.data(), data.size());
    }
    return 0;
  }
  if (action == "version") {
    auto connection = Connect(args);
    std::array<std::uint8_t, velkaro::protocol::kFmcHeadBytes> head;
    if (!connection->FetchFmcHead(&head)) ConnectionError(connection->error());
    for (std::uint8_t b : head) std::printf("%02x ", b);
    const bool none =
        std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0xFF; });
    std::printf("%s\n", none ? " (no FMC data stored)" : "");
    return 0;
  }
  if (action == "put") {
    if (args.words.size() < 3) UsageError("fmc put takes a FILE");
    const std::vector<std::uint8_t> data = ReadFile(args.words[2]);
    const std::uint32_t version = ParseVersion(args);
    if (data.empty()) UsageError(args.words[2] + " is empty; the add-on stores no empty data");
    auto connection = Connect(args);
    if (!connection->StoreFmc(data, version) || !connection->Sync()) {
      ConnectionError("the add-on did not take the FMC data: " + connection->error());
    }
    std::printf("stored %zu bytes of FMC data, version %u\n", data.size(), version);
    return 0;
  }
  UsageError("fmc takes get, put FILE or version, not " + action);
}

int CommandFpl(const Arguments& args) {
  if (args.words.size() < 3 || args.words[1] != "put") UsageError("fpl takes put FILE --version N");
  const std::vector<std::uint8_t> data = ReadFile(args.words[2]);
  const std::uint32_t version = ParseVersion(args);
  if (data.empty()) UsageError(args.words[2] + " is empty; the add-on stores no empty data");
  auto connection = Connect(args);
  if (!connection->StoreFlightPlan(data, version) || !connection->Sync()) {
    ConnectionError("the add-on did not take the flight plan: " + connection->error());
  }
  std::printf("stored %zu bytes of flight-plan data, version %u\n", data.size(), version);
  return 0;
}

int CommandMcp(const Arguments& args) {
  if (args.Has("--help") || args.Has("-h")) {
    std::fputs(kMcpUsage, stdout);
    return 0;
  }
  using Builder = zelm::McpRequestBuilder;
  using Switch = Builder& (Builder::*)(bool);
  using Value = Builder& (Builder::*)(double);
  static const std::map<std::string, Switch> kSwitches = {
      {"--ap", &Builder::ApMaster},           {"--at", &Builder::Autothrottle},
      {"--fd", &Builder::FlightDirector},     {"--speed-hold", &Builder::SpeedHold},
      {"--n1-hold", &Builder::N1Hold},        {"--mach-hold", &Builder::MachHold},
      {"--alt-hold", &Builder::AltitudeHold}, {"--hdg-hold", &Builder::HeadingHold},
      {"--loc-hold", &Builder::LocHold},      {"--app-hold", &Builder::ApproachHold},
  };
  static const std::map<std::string, Value> kValues = {
      {"--alt", &Builder::Altitude},
      {"--vs", &Builder::VerticalSpeed},
      {"--spd", &Builder::Speed},
      {"--hdg", &Builder::Heading},
      {"--spd-ref", &Builder::SpeedReference},
      {"--n1-ref", &Builder::N1Reference},
      {"--mach-ref", &Builder::MachReference},
      {"--alt-ref", &Builder::AltitudeReference},
      {"--vs-ref", &Builder::VerticalSpeedReference},
      {"--hdg-bug", &Builder::HeadingBug},
      {"--crs", &Builder::Nav1Course},
  };
  Builder builder;
  int settings = 0;
  for (const auto& [option, text] : args.ordered) {
    if (option == "--host" || option == "--port" || option == "--timeout") continue;
    if (const auto s = kSwitches.find(option); s != kSwitches.end()) {
      (builder.*(s->second))(ParseSwitch(option, text));
    } else if (const auto v = kValues.find(option); v != kValues.end()) {
      const double value = ParseNumber(option, text);
      if ((option == "--alt" || option == "--vs") && value == -1.0) {
        UsageError(option + " -1 means no request; leave the option out instead");
      }
      if ((option == "--spd" || option == "--hdg") && value < 0.0) {
        UsageError(option + " takes a value of 0 or more");
      }
      (builder.*(v->second))(value);
    } else {
      UsageError("unknown mcp setting " + option);
    }
    ++settings;
  }
  if (settings == 0) UsageError("mcp needs at least one setting (zelm mcp --help)");
  if (args.Has("--dry-run")) {
    HexDump(builder.block().data(), builder.block().size());
    std::printf("check value 0x%08X\n", builder.CheckValue());
    return 0;
  }
  auto connection = Connect(args);
  if (!connection->UploadMcp(builder.block()) || !connection->Sync()) {
    ConnectionError("the autopilot block was not delivered: " + connection->error());
  }
  std::printf(
      "autopilot block uploaded (check value 0x%08X); it reaches the simulator with the "
      "next frame\n",
      builder.CheckValue());
  return 0;
}

int CommandBench(const Arguments& args) {
  const double clients_value = ParseNumber("--clients", args.Get("--clients", "1"));
  const double seconds = ParseNumber("--seconds", args.Get("--seconds", "5"));
  if (clients_value < 1 || clients_value > 256 || clients_value != std::floor(clients_value)) {
    UsageError("--clients takes 1 to 256");
  }
  if (!(seconds > 0.0 && seconds <= 3600.0)) UsageError("--seconds takes 0 to 3600");
  const int clients = static_cast<int>(clients_value);

  const std::chrono::milliseconds timeout = Timeout(args);
  std::vector<std::unique_ptr<zelm::Connection>> connections;
  for (int i = 0; i < clients; ++i) connections.push_back(Connect(args, TimeLimit::kEachFrame));

  struct Result {
    long long replies = 0;
    long long new_frames = 0;
    std::vector<double> latencies_us;
    std::string error;
  };
  std::vector<Result> results(static_cast<std::size_t>(clients));
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  std::printf("zelm bench: %d client%s fetching frames for %.1f s...\n", clients,
              clients == 1 ? "" : "s", seconds);
  std::fflush(stdout);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      Result& r = results[static_cast<std::size_t>(i)];
      zelm::Frame frame, previous;
      while (Clock::now() < deadline && !g_stop.load()) {
        const auto sent = Clock::now();
        zelm::Connection& connection = *connections[static_cast<std::size_t>(i)];
        connection.SetDeadline(timeout);
        if (!connection.FetchFrame(&frame)) {
          if (!g_stop.load()) r.error = connection.error();  // Ctrl-C only stops the run
          return;
        }
        r.latencies_us.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        ++r.replies;
        if (frame.bytes != previous.bytes) {
          ++r.new_frames;
          previous = frame;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();

  std::vector<double> all;
  int failed = 0;
  for (int i = 0; i < clients; ++i) {
    const Result& r = results[static_cast<std::size_t>(i)];
    if (!r.error.empty()) {
      std::printf("client %3d: %s\n", i + 1, r.error.c_str());
      ++failed;
    }
    std::printf("client %3d: %7.1f replies/s, %7.1f new frames/s\n", i + 1, r.replies / seconds,
                r.new_frames / seconds);
    all.insert(all.end(), r.latencies_us.begin(), r.latencies_us.end());
  }
  std::sort(all.begin(), all.end());
  auto percentile = [&](double p) {
    if (all.empty()) return 0.0;
    return all[std::min(all.size() - 1, static_cast<std::size_t>(p / 100.0 * all.size()))];
  };
  std::printf(
      "request->reply latency over %zu replies: p50 %.0f us  p90 %.0f us  p99 %.0f us  "
      "max %.0f us\n",
      all.size(), percentile(50), percentile(90), percentile(99), all.empty() ? 0.0 : all.back());
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  velkaro::platform::SocketsStartup();
  velkaro::platform::InstallInterruptHandler(&g_stop, "zelm: interrupted");
  velkaro::platform::IgnoreBrokenPipe();
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    std::printf(kUsage, static_cast<unsigned>(zelm::kDefaultPort), kDefaultTimeoutSeconds);
    return argc < 2 ? 2 : 0;
  }
  const Arguments args = Parse(argc, argv, 1);
  const std::string command = args.words.empty() ? "" : args.words[0];
  if (command == "frame") return CommandFrame(args);
  if (command == "watch") return CommandWatch(args);
  if (command == "fmc") return CommandFmc(args);
  if (command == "fpl") return CommandFpl(args);
  if (command == "mcp") return CommandMcp(args);
  if (command == "bench") return CommandBench(args);
  UsageError(command.empty() ? "no command given" : "unknown command " + command);
}
