// zelm: a command-line client of the Velkaro add-on.
//
//   zelm frame [--json]                   one frame, every field with its unit
//   zelm watch                            live view of the main instruments
//   zelm status [--json]                  the add-on's state
//   zelm fmc get [-o FILE|-]              the stored FMC data
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
// Exit status: 0 done; 1 the command failed (the add-on could not be reached, the connection
// dropped, the add-on did not answer in time or answered what the protocol does not allow, a
// file could not be read or written, or Ctrl-C); 2 the command line is wrong. --help shows it.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "common/version.h"
#include "platform/file.h"
#include "platform/system.h"
#include "serve/gateway.h"
#include "status_view.h"
#include "watch_view.h"
#include "zelm_client.h"
#include "zelm_layout.h"

namespace {

namespace protocol = velkaro::protocol;
namespace platform = velkaro::platform;
using Clock = std::chrono::steady_clock;

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr double kDefaultTimeoutSeconds = 10.0;
constexpr double kMaxTimeoutSeconds = 86400.0;
// How long `status` waits for the reply unless --timeout says otherwise: an add-on before 1.1
// ignores the command, and saying so should not take the whole default timeout.
constexpr std::chrono::milliseconds kStatusReplyWait{3000};
// How long watch waits between attempts to reach an add-on that has gone.
constexpr std::chrono::milliseconds kReconnectPause{1000};
// How often watch redraws its panel on a terminal (the frame age moves even without frames),
// and writes a line when its output is a file or a pipe.
constexpr std::chrono::milliseconds kRedrawEvery{100};
constexpr std::chrono::milliseconds kLineEvery{1000};
constexpr int kMaxBenchClients = 256;
constexpr double kMaxBenchSeconds = 3600.0;

constexpr const char* kExitStatusText =
    "Exit status: 0 done (watch and bench also when stopped with Ctrl-C); 1 the command failed:\n"
    "the add-on could not be reached, the connection dropped, the add-on did not answer in\n"
    "time or not as the protocol allows, a file could not be read or written, or Ctrl-C;\n"
    "2 the command line is wrong (an unknown command or option, a missing or bad value).";

// What bench's latency measures, for its help.
std::string LatencyText() {
  return "The latency is the time from sending \"" + std::string(protocol::kTagFrame) +
         "\" to the frame's last byte. The add-on\n"
         "first waits for a frame newer than the one that connection got last (at most " +
         std::to_string(protocol::kFreshFrameWaitMs) +
         " ms), so\n"
         "the figure includes up to one simulator frame period (about 17 ms at 60 frames/s): it\n"
         "measures how soon a client polling flat out sees each new frame, not the network alone.";
}

// Set by Ctrl-C; every wait of a connection looks at it.
std::atomic<bool> g_stop{false};

// Ends the command: caught in main, which writes "zelm: MESSAGE" and exits with `status`.
struct CommandFailed {
  int status;
  std::string message;
};

[[noreturn]] void Fail(const std::string& message, int status = kExitFailed) {
  throw CommandFailed{status, g_stop.load() && status == kExitFailed ? "interrupted" : message};
}

// ---------------------------------------------------------------------------------------------
// Checks of option values, with messages that say what the option takes. CLI11 runs them on the
// text before converting it, and names the option in front ("--port: takes ...").

CLI::Validator WholeNumber(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE || value < low || value > high) {
          return "takes a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not \"" + text + "\"";
        }
        return "";
      },
      "");
}

// A finite number, within `low` (exclusive when `low_open`) and `high`.
CLI::Validator Number(double low, bool low_open, double high, const std::string& what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        const bool in_range =
            std::isfinite(value) && (low_open ? value > low : value >= low) && value <= high;
        if (text.empty() || *end != '\0' || !in_range) return what + ", not \"" + text + "\"";
        return "";
      },
      "");
}

const CLI::Validator kAnyNumber(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      const double value = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(value)) {
        return "takes a number, not \"" + text + "\"";
      }
      return "";
    },
    "");

const CLI::Validator kOnOff(
    [](std::string& text) -> std::string {
      if (text == "on" || text == "1" || text == "true") return "";
      if (text == "off" || text == "0" || text == "false") return "";
      return "takes on or off, not \"" + text + "\"";
    },
    "");

const CLI::Validator kHost(
    [](std::string& text) -> std::string {
      if (text.empty()) return "takes a host name or an IPv4 address";
      return zelm::HostProblem(text);
    },
    "");

// A version word: 32 bits, in decimal, 0x hexadecimal or 0 octal.
bool ParseWord(const std::string& text, std::uint32_t* word) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || value > 0xFFFFFFFFull) {
    return false;
  }
  *word = static_cast<std::uint32_t>(value);
  return true;
}

const CLI::Validator kWord(
    [](std::string& text) -> std::string {
      std::uint32_t word;
      if (ParseWord(text, &word)) return "";
      return "takes a 32-bit number (0 to 4294967295, or 0x0 to 0xFFFFFFFF), not \"" + text + "\"";
    },
    "");

// ---------------------------------------------------------------------------------------------
// Connecting.

struct ConnectionOptions {
  std::string host = zelm::kDefaultHost;
  int port = zelm::kDefaultPort;
  double timeout_seconds = kDefaultTimeoutSeconds;
  std::vector<CLI::Option*> timeout_options;  // one per command that takes it

  std::chrono::milliseconds Timeout() const {
    return std::chrono::milliseconds(std::max(1LL, std::llround(timeout_seconds * 1000.0)));
  }
  bool TimeoutGiven() const {
    return std::any_of(timeout_options.begin(), timeout_options.end(),
                       [](const CLI::Option* o) { return o->count() > 0; });
  }
  std::string Where() const { return host + ":" + std::to_string(port); }
};

// `limits`: what --timeout bounds once connected ("the command", "each frame").
void AddConnectionOptions(CLI::App* command, ConnectionOptions* options,
                          const std::string& limits = "the command") {
  command->add_option("--host", options->host, "the add-on's machine (default 127.0.0.1)")
      ->check(kHost)
      ->type_name("HOST")
      ->group("Connection");
  command
      ->add_option("--port", options->port,
                   "its TCP port, 1 to 65535 (default " + std::to_string(zelm::kDefaultPort) + ")")
      ->check(WholeNumber(1, 65535))
      ->type_name("PORT")
      ->group("Connection");
  options->timeout_options.push_back(
      command
          ->add_option("--timeout", options->timeout_seconds,
                       "limit on connecting, then on " + limits + " (default 10)")
          ->check(
              Number(0.0, true, kMaxTimeoutSeconds, "takes seconds, more than 0 and at most 86400"))
          ->type_name("SECONDS")
          ->group("Connection"));
}

// What --timeout bounds once connected: the whole command, or each frame of one that fetches
// frames until it is stopped (which sets the deadline itself).
enum class TimeLimit { kWholeCommand, kEachFrame };

std::unique_ptr<zelm::Connection> Connect(const ConnectionOptions& options,
                                          TimeLimit limit = TimeLimit::kWholeCommand) {
  std::string error;
  zelm::ConnectFailure failure = zelm::ConnectFailure::kNone;
  auto connection =
      zelm::Connection::Open(options.host, static_cast<std::uint16_t>(options.port), &error,
                             static_cast<int>(options.Timeout().count()), &g_stop, &failure);
  if (!connection) {
    // Only a refusal means that nothing listens there.
    Fail(failure == zelm::ConnectFailure::kRefused
             ? error + " (is the simulator with the add-on running?)"
             : error);
  }
  if (limit == TimeLimit::kWholeCommand) connection->SetDeadline(options.Timeout());
  return connection;
}

// ---------------------------------------------------------------------------------------------
// Files.

// The data of an upload: a regular file of 1 to protocol::kMaxUploadBytes bytes.
std::string ReadUpload(const std::string& path) {
  std::string contents;
  const platform::FileReadResult result =
      platform::ReadRegularFile(path.c_str(), protocol::kMaxUploadBytes, contents);
  std::error_code ignored;
  const bool folder = std::filesystem::is_directory(path, ignored);
  switch (result) {
    case platform::FileReadResult::kRead:
      if (contents.empty()) Fail(path + " is empty; the add-on stores no empty data");
      return contents;
    case platform::FileReadResult::kTooLarge:
      Fail(path + " is larger than the add-on stores (" +
           std::to_string(protocol::kMaxUploadBytes) + " bytes)");
    case platform::FileReadResult::kCannotOpen:
      if (folder) break;
      if (!std::filesystem::exists(path, ignored)) Fail("cannot read " + path + ": no such file");
      Fail("cannot read " + path + ": it cannot be opened");
    case platform::FileReadResult::kNotRegularFile:
      if (folder) break;
      Fail("cannot read " + path + ": not a regular file (a device, a pipe or a socket)");
    case platform::FileReadResult::kReadFailed:
      Fail("cannot read " + path + ": the system reported an error while reading it");
  }
  Fail("cannot read " + path + ": it is a folder, not a file");
}

std::span<const std::uint8_t> Bytes(const std::string& data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

// Writes `data` to the file at `path`, or to standard output for "-", byte for byte.
void WriteOutput(const std::string& path, const std::vector<std::uint8_t>& data) {
  if (path == "-") {
    std::fflush(stdout);
    platform::SetBinaryMode(stdout);
    if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() ||
        std::fflush(stdout) != 0) {
      Fail(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("cannot write " + path + ": " + std::strerror(errno));
  const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    Fail("cannot write " + path + ": " + std::strerror(written ? errno : error));
  }
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

// A text from the add-on, with its control characters escaped so it cannot drive the terminal.
std::string Printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// frame

int CommandFrame(const ConnectionOptions& options, bool json) {
  auto connection = Connect(options);
  zelm::Frame frame;
  if (!connection->FetchFrame(&frame)) Fail(connection->error());
  if (json) {
    std::fputs(frame.ToJson().c_str(), stdout);
    return kExitDone;
  }
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    std::string values;
    for (std::size_t i = 0; i < f.count; ++i) {
      if (i > 0) values += " ";
      values += f.type == velkaro::FrameType::kText ? "\"" + Printable(frame.Format(f, i)) + "\""
                                                    : frame.Format(f, i);
    }
    std::printf("%5zu  %-26s %-8s %s\n", f.offset, f.name, f.unit, values.c_str());
  }
  return kExitDone;
}

// ---------------------------------------------------------------------------------------------
// watch: one thread fetches frames and reconnects when the add-on goes; the program's own
// thread shows them, so that the frame age moves and "STALE" shows while no frame comes.

class WatchFeed {
 public:
  void NewFrame(const zelm::Frame& frame) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    frame_ = frame;
    problem_.clear();
    if (freshness_.Observe(frame, now)) {
      arrivals_.push_back(now);
      Forget(now);
    }
  }
  void Lost(const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    problem_ = problem;
  }
  void Fatal(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    fatal_ = reason;
  }

  // Why fetching ended other than by Ctrl-C; empty while it goes on.
  std::string FatalReason() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fatal_;
  }

  // What to show now.
  zelm::watch::ViewState State(const std::string& where, zelm::Frame* frame) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    Forget(now);
    *frame = frame_;
    zelm::watch::ViewState state;
    state.where = where;
    state.frames_per_second = static_cast<double>(arrivals_.size());
    state.has_frame = freshness_.has_frame();
    state.age = freshness_.Age(now);
    state.stale = freshness_.Stale(now);
    state.problem = problem_;
    return state;
  }

 private:
  // New frames count towards the rate for a second.
  void Forget(Clock::time_point now) {
    while (!arrivals_.empty() && now - arrivals_.front() > std::chrono::seconds(1)) {
      arrivals_.pop_front();
    }
  }

  std::mutex mutex_;
  zelm::Frame frame_;
  zelm::watch::Freshness freshness_;
  std::deque<Clock::time_point> arrivals_;
  std::string problem_;
  std::string fatal_;
};

// Ends the threads a command started, whichever way the command ends: `stop` tells them to.
class JoinOnExit {
 public:
  JoinOnExit(std::vector<std::thread>* threads, std::atomic<bool>* stop)
      : threads_(threads), stop_(stop) {}
  ~JoinOnExit() {
    stop_->store(true);
    for (std::thread& t : *threads_) {
      if (t.joinable()) t.join();
    }
  }
  JoinOnExit(const JoinOnExit&) = delete;
  JoinOnExit& operator=(const JoinOnExit&) = delete;

 private:
  std::vector<std::thread>* threads_;
  std::atomic<bool>* stop_;
};

// Waits `pause`, or less once Ctrl-C is pressed.
void PauseUnlessStopped(std::chrono::milliseconds pause) {
  const Clock::time_point end = Clock::now() + pause;
  while (!g_stop.load() && Clock::now() < end) {
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), kRedrawEvery));
  }
}

// Fetches frames until Ctrl-C, on `connection` and then on new ones whenever it is lost.
void FetchFrames(const ConnectionOptions& options, std::unique_ptr<zelm::Connection> connection,
                 WatchFeed* feed) {
  while (!g_stop.load()) {
    if (!connection) {
      std::string error;
      connection =
          zelm::Connection::Open(options.host, static_cast<std::uint16_t>(options.port), &error,
                                 static_cast<int>(options.Timeout().count()), &g_stop);
      if (!connection) {
        if (g_stop.load()) break;
        feed->Lost(error);
        PauseUnlessStopped(kReconnectPause);
        continue;
      }
    }
    zelm::Frame frame;
    connection->SetDeadline(options.Timeout());
    if (!connection->FetchFrame(&frame)) {
      if (g_stop.load()) break;  // Ctrl-C is how watch stops
      feed->Lost(connection->error());
      connection.reset();
      PauseUnlessStopped(kReconnectPause);
      continue;
    }
    feed->NewFrame(frame);
  }
}

std::string ClockText() {
  const std::time_t now = std::time(nullptr);
  char text[16] = "--:--:--";
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(text, sizeof text, "%H:%M:%S", local);
  }
  return text;
}

int CommandWatch(const ConnectionOptions& options) {
  WatchFeed feed;
  std::vector<std::thread> fetcher;
  fetcher.reserve(1);
  // Watch ends on Ctrl-C, which is what the fetcher stops on too.
  const JoinOnExit join(&fetcher, &g_stop);
  fetcher.emplace_back(
      [&options, &feed, first = Connect(options, TimeLimit::kEachFrame)]() mutable {
        try {
          FetchFrames(options, std::move(first), &feed);
        } catch (const std::exception& e) {
          feed.Fatal(e.what());
          g_stop = true;
        }
      });

  // A terminal that takes cursor sequences gets the panel, redrawn in place; a file, a pipe or
  // another terminal a line per second, and one whenever the connection is lost or back or the
  // frames go stale or fresh.
  const bool panel = platform::EnableTerminalControl(stdout);
  bool first_panel = true;
  std::string last_condition;
  Clock::time_point last_line{};
  while (!g_stop.load()) {
    zelm::Frame frame;
    const zelm::watch::ViewState state = feed.State(options.Where(), &frame);
    if (panel) {
      std::string out = first_panel ? "\x1b[H\x1b[2J" : "\x1b[H";
      first_panel = false;
      for (const std::string& line : zelm::watch::Panel(frame, state)) out += line + "\x1b[K\n";
      std::fputs((out + "\x1b[J").c_str(), stdout);
      std::fflush(stdout);
    } else {
      const std::string condition = !state.problem.empty() ? "lost: " + state.problem
                                    : !state.has_frame     ? "waiting"
                                    : state.stale          ? "stale"
                                                           : "live";
      const Clock::time_point now = Clock::now();
      const bool connected = state.problem.empty();
      const bool due = condition != last_condition || (connected && now - last_line >= kLineEvery);
      // Nothing to say until the first frame, unless the connection is lost before it.
      if (due && condition != "waiting") {
        std::printf("%s\n", zelm::watch::Line(frame, state, ClockText()).c_str());
        std::fflush(stdout);
        last_condition = condition;
        last_line = now;
      }
    }
    // A reader that has gone (zelm watch | head) ends the view.
    if (std::ferror(stdout))
      Fail(std::string("cannot write to standard output: ") + std::strerror(errno));
    PauseUnlessStopped(kRedrawEvery);
  }
  fetcher.front().join();
  if (const std::string reason = feed.FatalReason(); !reason.empty()) {
    throw CommandFailed{kExitFailed, reason};
  }
  return kExitDone;
}

// ---------------------------------------------------------------------------------------------
// status

int CommandStatus(const ConnectionOptions& options, bool json) {
  auto connection = Connect(options);
  if (!options.TimeoutGiven()) {
    connection->SetDeadline(std::min(options.Timeout(), kStatusReplyWait));
  }
  std::string reply;
  if (!connection->FetchStatus(&reply)) Fail(connection->error());
  std::string text, error;
  const bool shown =
      json ? zelm::PrettyStatus(reply, &text, &error) : zelm::FormatStatus(reply, &text, &error);
  if (!shown) Fail(error);
  std::fputs(text.c_str(), stdout);
  return kExitDone;
}

// ---------------------------------------------------------------------------------------------
// fmc and fpl

int CommandFmcGet(const ConnectionOptions& options, const std::string& output) {
  auto connection = Connect(options);
  std::vector<std::uint8_t> data;
  std::uint32_t version = 0;
  if (!connection->FetchFmc(&data, &version)) Fail(connection->error());
  if (output.empty()) {
    std::printf("FMC data: %zu bytes, version %" PRIu32 "\n", data.size(), version);
    HexDump(data.data(), data.size());
    return kExitDone;
  }
  WriteOutput(output, data);
  std::fprintf(stderr, "zelm: %zu bytes of FMC data, version %" PRIu32 ", written to %s\n",
               data.size(), version, output == "-" ? "standard output" : output.c_str());
  return kExitDone;
}

int CommandFmcVersion(const ConnectionOptions& options) {
  auto connection = Connect(options);
  std::array<std::uint8_t, protocol::kFmcHeadBytes> head;
  if (!connection->FetchFmcHead(&head)) Fail(connection->error());
  for (std::uint8_t b : head) std::printf("%02x ", b);
  const bool none = std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0xFF; });
  std::printf("%s\n", none ? " (no FMC data stored)" : "");
  return kExitDone;
}

enum class Store { kFmc, kFlightPlan };

int CommandPut(const ConnectionOptions& options, Store store, const std::string& path,
               const std::string& version_text) {
  const std::string data = ReadUpload(path);
  std::uint32_t version = 0;
  ParseWord(version_text, &version);  // checked while parsing the command line
  auto connection = Connect(options);
  const char* what = store == Store::kFmc ? "FMC data" : "flight-plan data";
  const bool stored = store == Store::kFmc ? connection->StoreFmc(Bytes(data), version)
                                           : connection->StoreFlightPlan(Bytes(data), version);
  if (!stored || !connection->Sync()) {
    Fail(std::string("the add-on did not take the ") +
         (store == Store::kFmc ? "FMC data" : "flight plan") + ": " + connection->error());
  }
  std::printf("stored %zu bytes of %s, version %" PRIu32 "\n", data.size(), what, version);
  return kExitDone;
}

// ---------------------------------------------------------------------------------------------
// mcp

using Builder = zelm::McpRequestBuilder;

// Every option of `zelm mcp` comes from the table of autopilot settings (zelm_layout.h): its name
// from the setting's short name ("hdg_bug" is --hdg-bug), its help from the meaning, range and
// unit, its group from the role.
std::string McpOptionName(const zelm::McpSetting& s) {
  std::string name = std::string("--") + s.name;
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

const char* McpGroup(zelm::McpSettingRole role) {
  switch (role) {
    case zelm::McpSettingRole::kRequest:
      return "Requests (the add-on engages the mode and sets its target)";
    case zelm::McpSettingRole::kReference:
      return "References";
    case zelm::McpSettingRole::kState:
      break;
  }
  return "Switches";
}

// What the option's value is called in the help: its unit ("kt or Mach" is KT|MACH).
std::string McpValueName(const zelm::McpSetting& s) {
  if (s.role == zelm::McpSettingRole::kState) return "on|off";
  std::string unit = zelm::McpSettingUnit(s);
  if (unit.empty()) return "NUMBER";
  for (std::size_t at; (at = unit.find(" or ")) != std::string::npos;) unit.replace(at, 4, "|");
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return unit;
}

std::string McpHelp(const zelm::McpSetting& s) {
  if (s.role == zelm::McpSettingRole::kState) return s.meaning;
  const std::string unit = zelm::McpSettingUnit(s);
  char range[64];
  std::snprintf(range, sizeof range, " (%g to %g%s%s)", s.min, s.max, unit.empty() ? "" : " ",
                unit.c_str());
  return s.meaning + std::string(range);
}

CLI::Validator McpValueCheck(zelm::McpSettingRule rule) {
  switch (rule) {
    case zelm::McpSettingRule::kOnOff:
      return kOnOff;
    case zelm::McpSettingRule::kNumberExceptNone:
      return kAnyNumber & CLI::Validator(
                              [](std::string& text) -> std::string {
                                return std::strtod(text.c_str(), nullptr) == -1.0
                                           ? "-1 means no request; leave the option out instead"
                                           : "";
                              },
                              "");
    case zelm::McpSettingRule::kNonNegativeNumber:
      return Number(0.0, false, HUGE_VAL, "takes a value of 0 or more");
    case zelm::McpSettingRule::kNumber:
      break;
  }
  return kAnyNumber;
}

struct McpOptions {
  // One per setting, in the table's order.
  std::vector<std::string> values;
  std::vector<CLI::Option*> options;
  bool dry_run = false;
};

void AddMcpOptions(CLI::App* mcp, McpOptions* o) {
  const auto settings = zelm::McpSettings();
  o->values.resize(settings.size());
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const zelm::McpSetting& s = settings[i];
    o->options.push_back(mcp->add_option(McpOptionName(s), o->values[i], McpHelp(s))
                             ->check(McpValueCheck(s.rule))
                             ->type_name(McpValueName(s))
                             ->group(McpGroup(s.role)));
  }
  mcp->add_flag("--dry-run", o->dry_run,
                "print the 144 bytes and the check value instead of uploading");
}

int CommandMcp(const ConnectionOptions& options, const McpOptions& o) {
  Builder builder;
  int settings = 0;
  // Each value passes the settings table's rules, as the gateway's and the Python package's do.
  for (std::size_t i = 0; i < o.options.size(); ++i) {
    if (o.options[i]->count() == 0) continue;
    const zelm::McpSetting& s = zelm::McpSettings()[i];
    const std::string& text = o.values[i];
    const double value = s.role == zelm::McpSettingRole::kState
                             ? (text == "on" || text == "1" || text == "true" ? 1.0 : 0.0)
                             : std::strtod(text.c_str(), nullptr);
    std::string error;
    if (!zelm::ApplyMcpSetting(builder, s, value, &error)) {
      Fail(McpOptionName(s) + ": " + error, kExitUsage);
    }
    ++settings;
  }
  if (settings == 0) Fail("mcp needs at least one setting (see zelm mcp --help)", kExitUsage);
  if (o.dry_run) {
    HexDump(builder.block().data(), builder.block().size());
    std::printf("check value 0x%08" PRIX32 "\n", builder.CheckValue());
    return kExitDone;
  }
  auto connection = Connect(options);
  if (!connection->UploadMcp(builder.block()) || !connection->Sync()) {
    Fail("the autopilot block was not delivered: " + connection->error());
  }
  std::printf("autopilot block uploaded (check value 0x%08" PRIX32
              "); it reaches the simulator with the next frame\n",
              builder.CheckValue());
  return kExitDone;
}

// ---------------------------------------------------------------------------------------------
// serve

struct ServeOptions {
  int http_port = 8080;
  std::string http_bind = "127.0.0.1";
  bool no_http = false;
  std::string mqtt_url;
  std::string mqtt_prefix = "velkaro";
  std::string mqtt_user, mqtt_password;
  std::vector<std::string> deadbands;
  int max_web_clients = 1000;
};

// "NAME=VALUE": NAME a field of the frame or a unit of some field, VALUE 0 or more.
bool ParseDeadband(const std::string& text, std::map<std::string, double>* deadbands,
                   std::string* error) {
  const std::size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  bool known = velkaro::FindFrameField(name) != nullptr;
  for (const velkaro::FrameField& f : velkaro::kFrameFields)
    known = known || (*f.unit && name == f.unit);
  char* end = nullptr;
  const double value =
      equals == std::string::npos ? -1 : std::strtod(text.c_str() + equals + 1, &end);
  if (equals == std::string::npos || !known || end == nullptr || *end != '\0' || !(value >= 0) ||
      !std::isfinite(value)) {
    *error =
        "--mqtt-deadband takes FIELD=VALUE or UNIT=VALUE (a field of zelm frame, or a unit "
        "such as ft or deg; VALUE 0 or more), not \"" +
        text + "\"";
    return false;
  }
  (*deadbands)[name] = value;
  return true;
}

int CommandServe(const ConnectionOptions& connection, const ServeOptions& o) {
  zelm::serve::GatewayOptions options;
  options.upstream.host = connection.host;
  options.upstream.port = static_cast<std::uint16_t>(connection.port);
  options.upstream.timeout = connection.Timeout();
  options.http = !o.no_http;
  options.web.bind = o.http_bind;
  options.web.port = static_cast<std::uint16_t>(o.http_port);
  options.web.max_clients = static_cast<std::size_t>(o.max_web_clients);
  if (!o.mqtt_url.empty()) {
    if (!zelm::serve::GatewayHasMqtt()) {
      Fail(
          "this build of zelm has no MQTT side (there is no MQTT library for it); run zelm serve "
          "--mqtt on Linux",
          kExitUsage);
    }
    zelm::serve::MqttOptions mqtt;
    std::string error;
    if (!zelm::serve::ParseMqttUrl(o.mqtt_url, &mqtt.broker, &error)) Fail(error, kExitUsage);
    if (!o.mqtt_user.empty()) mqtt.broker.user = o.mqtt_user;
    if (!o.mqtt_password.empty()) mqtt.broker.password = o.mqtt_password;
    mqtt.prefix = o.mqtt_prefix;
    for (const std::string& d : o.deadbands) {
      if (!ParseDeadband(d, &mqtt.deadbands, &error)) Fail(error, kExitUsage);
    }
    options.mqtt = mqtt;
  } else if (o.no_http) {
    Fail("--no-http leaves nothing to serve without --mqtt", kExitUsage);
  }
  return zelm::serve::RunGateway(options, g_stop, stdout);
}

// ---------------------------------------------------------------------------------------------
// bench

// Latencies in buckets 0.5 % wide (1 us wide below 1 ms): a long run with many clients costs
// the same few kilobytes per client as a short one.
class LatencyHistogram {
 public:
  void Add(double us) {
    ++counts_[Bucket(us)];
    ++total_;
    max_ = std::max(max_, us);
  }
  void Merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    total_ += other.total_;
    max_ = std::max(max_, other.max_);
  }
  std::uint64_t total() const { return total_; }
  double max() const { return max_; }
  // The `p` percentile: the lower edge of the bucket holding the sample at p % of the sorted
  // samples.
  double Percentile(double p) const {
    if (total_ == 0) return 0.0;
    const auto rank =
        std::min<std::uint64_t>(total_ - 1, static_cast<std::uint64_t>(p / 100.0 * total_));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += counts_[i];
      if (seen > rank) return LowerEdge(i);
    }
    return max_;
  }

 private:
  static constexpr double kLinearUs = 1000.0;
  static constexpr double kStep = 1.005;
  // Up to an hour in microseconds: 1000 * 1.005^k = 3.6e9 for k ~ 3030.
  static constexpr std::size_t kBuckets = 1000 + 3100;

  static std::size_t Bucket(double us) {
    if (!(us >= 0.0)) return 0;
    if (us < kLinearUs) return static_cast<std::size_t>(us);
    const double k = std::log(us / kLinearUs) / std::log(kStep);
    return std::min(kBuckets - 1,
                    static_cast<std::size_t>(kLinearUs) + static_cast<std::size_t>(k));
  }
  static double LowerEdge(std::size_t bucket) {
    if (bucket < static_cast<std::size_t>(kLinearUs)) return static_cast<double>(bucket);
    return kLinearUs *
           std::pow(kStep, static_cast<double>(bucket - static_cast<std::size_t>(kLinearUs)));
  }

  std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(kBuckets, 0);
  std::uint64_t total_ = 0;
  double max_ = 0.0;
};

int CommandBench(const ConnectionOptions& options, int clients, double seconds) {
  const std::chrono::milliseconds timeout = options.Timeout();
  std::vector<std::unique_ptr<zelm::Connection>> connections;
  for (int i = 0; i < clients; ++i) connections.push_back(Connect(options, TimeLimit::kEachFrame));

  struct Result {
    long long replies = 0;
    long long new_frames = 0;
    LatencyHistogram latencies;
    std::string error;
  };
  std::vector<Result> results(static_cast<std::size_t>(clients));
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  std::printf("zelm bench: %d client%s fetching frames for %.1f s...\n", clients,
              clients == 1 ? "" : "s", seconds);
  std::fflush(stdout);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(clients));
  // Set when the run cannot go on (a thread that could not start): the others stop too.
  std::atomic<bool> abandoned{false};
  JoinOnExit join(&threads, &abandoned);
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      Result& r = results[static_cast<std::size_t>(i)];
      zelm::Connection& connection = *connections[static_cast<std::size_t>(i)];
      try {
        zelm::Frame frame, previous;
        while (Clock::now() < deadline && !g_stop.load() && !abandoned.load()) {
          const auto sent = Clock::now();
          connection.SetDeadline(timeout);
          if (!connection.FetchFrame(&frame)) {
            if (!g_stop.load()) r.error = connection.error();  // Ctrl-C only stops the run
            return;
          }
          r.latencies.Add(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
          ++r.replies;
          if (frame.bytes != previous.bytes) {
            ++r.new_frames;
            previous = frame;
          }
        }
      } catch (const std::exception& e) {
        r.error = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();

  LatencyHistogram all;
  int failed = 0;
  double new_frames_per_second = 0.0;
  for (int i = 0; i < clients; ++i) {
    const Result& r = results[static_cast<std::size_t>(i)];
    if (!r.error.empty()) {
      std::printf("client %3d: %s\n", i + 1, r.error.c_str());
      ++failed;
    }
    std::printf("client %3d: %7.1f replies/s, %7.1f new frames/s\n", i + 1, r.replies / seconds,
                r.new_frames / seconds);
    all.Merge(r.latencies);
    new_frames_per_second += r.new_frames / seconds / clients;
  }
  std::printf("request->reply latency over %" PRIu64
              " replies: p50 %.0f us  p90 %.0f us  p99 %.0f us  "
              "max %.0f us\n",
              all.total(), all.Percentile(50), all.Percentile(90), all.Percentile(99), all.max());
  std::printf(
      "  (each reply waited for a frame newer than its connection's last one: the figures\n"
      "  include up to one simulator frame period");
  if (new_frames_per_second > 0.0) {
    std::printf(", about %.1f ms at the %.1f new frames/s seen here",
                1000.0 / new_frames_per_second, new_frames_per_second);
  }
  std::printf(")\n");
  return failed == 0 ? kExitDone : kExitFailed;
}

// ---------------------------------------------------------------------------------------------

// "zelm fmc get": the commands the parser took, for pointing at their help.
std::string CommandPath(const CLI::App& app) {
  std::string path = "zelm";
  for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
    at = at->get_subcommands().front();
    path += " " + at->get_name();
  }
  return path;
}

// CLI11's message, or a plainer one for a word that names no command and for arguments that
// no option takes.
std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App* last = &app;
  while (!last->get_subcommands().empty()) last = last->get_subcommands().front();
  const std::vector<std::string> rest = last->remaining();
  if (!last->get_subcommands(nullptr).empty() && !rest.empty() && !rest.front().starts_with("-")) {
    return "unknown command \"" + rest.front() + "\"";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !rest.empty()) {
    std::string text = rest.front().starts_with("-") ? "unknown option" : "unexpected argument";
    for (const std::string& word : rest) text += " " + word;
    if (last->get_name() == "mcp" && rest.front().starts_with("-")) {
      text += "; the settings are";
      for (const zelm::McpSetting& s : zelm::McpSettings()) text += " " + McpOptionName(s);
    }
    return text;
  }
  return error.what();
}

int Run(int argc, char** argv) {
  CLI::App app("zelm: a command-line client of the Velkaro add-on.", "zelm");
  app.allow_windows_style_options(false);  // "/file" is a path, not an option
  // An option given twice takes the later value, as zelm always did.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("zelm ") + VELKARO_VERSION_TEXT,
                       "print zelm's version and exit");
  app.footer(kExitStatusText);

  ConnectionOptions connection;
  AddConnectionOptions(&app, &connection);

  bool json = false;
  CLI::App* frame =
      app.add_subcommand("frame", "fetch one frame and show every field with its unit");
  frame->add_flag("--json", json, "as JSON: {\"name\": {\"unit\": ..., \"value\": ...}, ...}");
  AddConnectionOptions(frame, &connection);

  CLI::App* watch = app.add_subcommand("watch", "live view of the main instruments (Ctrl-C stops)");
  watch->footer(
      "The frame age is the time since the frame last changed; after 1.5 s without a change\n"
      "the view says STALE. When the add-on goes away, watch says so and reconnects by itself.\n"
      "On a terminal the panel is redrawn in place; into a file or a pipe goes a line a "
      "second.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(watch, &connection, "each frame");

  CLI::App* status = app.add_subcommand("status", "show the add-on's state (add-ons from 1.1 on)");
  status->add_flag("--json", json, "the add-on's JSON reply, pretty-printed");
  status->footer(
      "Without --timeout, status waits 3 s for the reply: an add-on older than 1.1 does not\n"
      "answer it.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(status, &connection);

  CLI::App* fmc = app.add_subcommand("fmc", "fetch or store the FMC data");
  fmc->require_subcommand(1);
  std::string output;
  CLI::App* fmc_get =
      fmc->add_subcommand("get", "fetch the stored FMC data (a hex dump, or into FILE)");
  fmc_get->add_option("-o,--output", output, "write the data to FILE, or - for standard output")
      ->type_name("FILE|-");
  AddConnectionOptions(fmc_get, &connection);
  std::string path, version_text;
  CLI::App* fmc_put = fmc->add_subcommand("put", "store FILE as FMC data with version word N");
  fmc_put->add_option("FILE", path, "the data (1 byte to 16 MiB)")->required();
  fmc_put->add_option("--version", version_text, "the version word (32 bits)")
      ->check(kWord)
      ->type_name("N")
      ->required();
  AddConnectionOptions(fmc_put, &connection);
  CLI::App* fmc_version =
      fmc->add_subcommand("version", "show the first eight bytes of the FMC data");
  AddConnectionOptions(fmc_version, &connection);

  CLI::App* fpl = app.add_subcommand("fpl", "store flight-plan data");
  fpl->require_subcommand(1);
  CLI::App* fpl_put =
      fpl->add_subcommand("put", "store FILE as flight-plan data with version word N");
  fpl_put->add_option("FILE", path, "the data (1 byte to 16 MiB)")->required();
  fpl_put->add_option("--version", version_text, "the version word (32 bits)")
      ->check(kWord)
      ->type_name("N")
      ->required();
  AddConnectionOptions(fpl_put, &connection);

  McpOptions mcp_options;
  CLI::App* mcp =
      app.add_subcommand("mcp", "upload an autopilot panel block (at least one setting)");
  AddMcpOptions(mcp, &mcp_options);
  AddConnectionOptions(mcp, &connection);

  int clients = 1;
  double seconds = 5.0;
  CLI::App* bench =
      app.add_subcommand("bench", "N connections fetching frames flat out: rates and latency");
  bench->add_option("--clients", clients, "connections, 1 to 256 (default 1)")
      ->check(WholeNumber(1, kMaxBenchClients))
      ->type_name("N");
  bench->add_option("--seconds", seconds, "how long, at most 3600 (default 5)")
      ->check(Number(0.0, true, kMaxBenchSeconds, "takes seconds, more than 0 and at most 3600"))
      ->type_name("S");
  bench->footer(LatencyText() + "\n\n" + kExitStatusText);
  AddConnectionOptions(bench, &connection, "each frame");

  ServeOptions serve_options;
  CLI::App* serve = app.add_subcommand(
      "serve", "the gateway: a live instrument panel in the browser, WebSocket and MQTT");
  serve
      ->add_option("--http-port", serve_options.http_port,
                   "the panel's HTTP port, 0 for one the system picks (default 8080)")
      ->check(WholeNumber(0, 65535))
      ->type_name("PORT")
      ->group("Browser");
  serve
      ->add_option("--http-bind", serve_options.http_bind,
                   "address to serve on (default 127.0.0.1: this computer only)")
      ->check(CLI::ValidIPV4)
      ->type_name("ADDRESS")
      ->group("Browser");
  serve->add_flag("--no-http", serve_options.no_http, "no browser side (with --mqtt)")
      ->group("Browser");
  serve
      ->add_option("--max-clients", serve_options.max_web_clients,
                   "browsers and programs at once, 1 to 10000 (default 1000)")
      ->check(WholeNumber(1, 10000))
      ->type_name("N")
      ->group("Browser");
  serve
      ->add_option("--mqtt", serve_options.mqtt_url,
                   "also publish to a broker: mqtt://[USER[:PASS]@]HOST[:PORT], mqtts://...")
      ->type_name("URL")
      ->group("MQTT");
  serve->add_option("--mqtt-prefix", serve_options.mqtt_prefix, "topic prefix (default velkaro)")
      ->type_name("PREFIX")
      ->group("MQTT");
  serve->add_option("--mqtt-user", serve_options.mqtt_user, "user name at the broker")
      ->type_name("NAME")
      ->group("MQTT");
  serve->add_option("--mqtt-password", serve_options.mqtt_password, "password at the broker")
      ->type_name("TEXT")
      ->group("MQTT");
  serve
      ->add_option("--mqtt-deadband", serve_options.deadbands,
                   "a field's step: FIELD=VALUE or UNIT=VALUE (e.g. altitude=10, ft=5)")
      ->type_name("NAME=VALUE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("MQTT");
  serve->footer(
      "Open http://localhost:8080/ for the panel. --http-bind 0.0.0.0 opens the panel, and\n"
      "the autopilot with it, to the whole network. /ws sends every new frame as JSON and\n"
      "takes autopilot commands ({\"mcp\": {\"ap\": true, \"hdg\": 270}}); /status is the\n"
      "gateway's state and the add-on's. The gateway keeps one connection to the add-on and\n"
      "reconnects when it goes away. MQTT topics: docs/mqtt.md.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(serve, &connection, "each request to the add-on");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitDone;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
    return kExitDone;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zelm: %s (see %s --help)\n", UsageErrorText(app, e).c_str(),
                 CommandPath(app).c_str());
    return kExitUsage;
  }

  if (frame->parsed()) return CommandFrame(connection, json);
  if (watch->parsed()) return CommandWatch(connection);
  if (status->parsed()) return CommandStatus(connection, json);
  if (fmc_get->parsed()) return CommandFmcGet(connection, output);
  if (fmc_put->parsed()) return CommandPut(connection, Store::kFmc, path, version_text);
  if (fmc_version->parsed()) return CommandFmcVersion(connection);
  if (fpl_put->parsed()) return CommandPut(connection, Store::kFlightPlan, path, version_text);
  if (mcp->parsed()) return CommandMcp(connection, mcp_options);
  if (bench->parsed()) return CommandBench(connection, clients, seconds);
  if (serve->parsed()) return CommandServe(connection, serve_options);
  std::fputs(app.help().c_str(), stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SocketsStartup();
  platform::InstallInterruptHandler(&g_stop, "zelm: interrupted");
  platform::IgnoreBrokenPipe();
  // Nothing thrown leaves main: a failure is a message and an exit status.
  try {
    if (argc == 2 && std::strcmp(argv[1], "help") == 0) {
      char help[] = "--help";
      char* with_help[] = {argv[0], help, nullptr};
      return Run(2, with_help);
    }
    if (argc < 2) {
      char help[] = "--help";
      char* with_help[] = {argv[0], help, nullptr};
      Run(2, with_help);
      return kExitUsage;
    }
    return Run(argc, argv);
  } catch (const CommandFailed& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelm: %s\n", failure.message.c_str());
    return failure.status;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "zelm: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelm: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "zelm: failed for a reason of its own\n");
  }
  return kExitFailed;
}
