// What zelm's commands share: see command_support.h.
#include "command_support.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/system.h"

namespace zelm::cli {

namespace platform = velkaro::platform;

std::atomic<bool> g_stop{false};

[[noreturn]] void Fail(const std::string& message, int status) {
  throw CommandFailed{status, g_stop.load() && status == kExitFailed ? "interrupted" : message};
}

// ---------------------------------------------------------------------------------------------
// Checks of option values.

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

std::chrono::milliseconds ConnectionOptions::Timeout() const {
  return std::chrono::milliseconds(std::max(1LL, std::llround(timeout_seconds * 1000.0)));
}

bool ConnectionOptions::TimeoutGiven() const {
  return std::any_of(timeout_options.begin(), timeout_options.end(),
                     [](const CLI::Option* o) { return o->count() > 0; });
}

void AddConnectionOptions(CLI::App* command, ConnectionOptions* options,
                          const std::string& limits) {
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

std::unique_ptr<zelm::Connection> Connect(const ConnectionOptions& options, TimeLimit limit) {
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
// Commands.

void SetHandler(CLI::App* command, CommandContext* context, std::function<int()> handler) {
  command->callback([context, handler = std::move(handler)] { context->exit_status = handler(); });
}

// ---------------------------------------------------------------------------------------------
// Files and output.

std::string ReadUpload(const std::string& path) {
  std::string contents;
  const platform::FileReadResult result =
      platform::ReadRegularFile(path.c_str(), protocol::kMaxUploadBytes, contents);
  std::error_code ignored;
  const bool folder = std::filesystem::is_directory(platform::PathFromUtf8(path), ignored);
  switch (result) {
    case platform::FileReadResult::kRead:
      if (contents.empty()) Fail(path + " is empty; the add-on stores no empty data");
      return contents;
    case platform::FileReadResult::kTooLarge:
      Fail(path + " is larger than the add-on stores (" +
           std::to_string(protocol::kMaxUploadBytes) + " bytes)");
    case platform::FileReadResult::kCannotOpen:
      if (folder) break;
      if (!std::filesystem::exists(platform::PathFromUtf8(path), ignored))
        Fail("cannot read " + path + ": no such file");
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
  std::FILE* file = platform::OpenFile(path.c_str(), "wb");
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

}  // namespace zelm::cli
