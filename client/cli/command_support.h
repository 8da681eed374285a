// What zelm's commands share: exit statuses and failing with a message, the Ctrl-C flag, checks
// of option values, the connection options (--host, --port, --timeout) and connecting, how a
// command's handler is run, the files of fmc and fpl, the hex dump, and joining the threads a
// command starts.
//
// A command fails by calling Fail: main catches the CommandFailed it throws, writes
// "zelm: MESSAGE" and exits with its status.
//
// Thread-safety: g_stop is set by the Ctrl-C handler and read by every thread; everything else
// runs on the program's own thread.
#pragma once

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "zelm_client.h"

namespace zelm::cli {

namespace protocol = velkaro::protocol;
using Clock = std::chrono::steady_clock;

// Exit statuses.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The end of zelm's help and of the help of the commands that have a footer of their own.
inline constexpr const char* kExitStatusText =
    "Exit status: 0 done (watch and bench also when stopped with Ctrl-C); 1 the command failed:\n"
    "the add-on could not be reached, the connection dropped, the add-on did not answer in\n"
    "time or not as the protocol allows, a file could not be read or written, or Ctrl-C;\n"
    "2 the command line is wrong (an unknown command or option, a missing or bad value).";

// Set by Ctrl-C; every wait of a connection looks at it.
extern std::atomic<bool> g_stop;

// Ends the command: caught in main, which writes "zelm: MESSAGE" and exits with `status`.
struct CommandFailed {
  int status;
  std::string message;
};

// Throws CommandFailed; a failure after Ctrl-C says "interrupted" instead of `message`.
[[noreturn]] void Fail(const std::string& message, int status = kExitFailed);

// ---------------------------------------------------------------------------------------------
// Checks of option values, with messages that say what the option takes. CLI11 runs them on the
// text before converting it, and names the option in front ("--port: takes ...").

// A whole number from `low` to `high`.
CLI::Validator WholeNumber(long long low, long long high);

// A finite number, within `low` (exclusive when `low_open`) and `high`; `what` is the message.
CLI::Validator Number(double low, bool low_open, double high, const std::string& what);

// Any finite number.
extern const CLI::Validator kAnyNumber;

// on or off (also 1/0, true/false).
extern const CLI::Validator kOnOff;

// A host name or an IPv4 address.
extern const CLI::Validator kHost;

// A version word: 32 bits, in decimal, 0x hexadecimal or 0 octal. ParseWord is true when
// `text` is one, and sets `word`.
bool ParseWord(const std::string& text, std::uint32_t* word);
extern const CLI::Validator kWord;

// ---------------------------------------------------------------------------------------------
// Connecting.

inline constexpr double kDefaultTimeoutSeconds = 10.0;
inline constexpr double kMaxTimeoutSeconds = 86400.0;

// --host, --port and --timeout, which zelm and every command take (one set of values for all).
struct ConnectionOptions {
  std::string host = zelm::kDefaultHost;
  int port = zelm::kDefaultPort;
  double timeout_seconds = kDefaultTimeoutSeconds;
  std::vector<CLI::Option*> timeout_options;  // one per command that takes it

  std::chrono::milliseconds Timeout() const;
  // Whether --timeout was given, to zelm or to the command.
  bool TimeoutGiven() const;
  std::string Where() const { return host + ":" + std::to_string(port); }
};

// Adds the connection options to `command`, in the group "Connection". `limits`: what --timeout
// bounds once connected ("the command", "each frame").
void AddConnectionOptions(CLI::App* command, ConnectionOptions* options,
                          const std::string& limits = "the command");

// What --timeout bounds once connected: the whole command, or each frame of one that fetches
// frames until it is stopped (which sets the deadline itself).
enum class TimeLimit { kWholeCommand, kEachFrame };

// A connection to the add-on, or Fail with the reason (and a hint when nothing listens there).
std::unique_ptr<zelm::Connection> Connect(const ConnectionOptions& options,
                                          TimeLimit limit = TimeLimit::kWholeCommand);

// ---------------------------------------------------------------------------------------------
// Commands.

// What main hands every command's registrar: the connection options, and where the command
// that ran leaves zelm's exit status.
struct CommandContext {
  ConnectionOptions connection;
  std::optional<int> exit_status;  // empty until a command has run
};

// Makes `handler` the callback of `command`: CLI11 runs it once the whole command line is parsed
// and checked, and what it returns becomes zelm's exit status.
void SetHandler(CLI::App* command, CommandContext* context, std::function<int()> handler);

// ---------------------------------------------------------------------------------------------
// Files and output.

// The data of an upload: a regular file of 1 to protocol::kMaxUploadBytes bytes; otherwise Fail
// with what is wrong with it.
std::string ReadUpload(const std::string& path);

std::span<const std::uint8_t> Bytes(const std::string& data);

// Writes `data` to the file at `path`, or to standard output for "-", byte for byte; Fail when
// it cannot.
void WriteOutput(const std::string& path, const std::vector<std::uint8_t>& data);

// Offset, 16 bytes in hex and their printable ASCII, a line each, to standard output.
void HexDump(const std::uint8_t* data, std::size_t length);

// ---------------------------------------------------------------------------------------------
// Threads.

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

}  // namespace zelm::cli
