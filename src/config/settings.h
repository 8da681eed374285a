// The add-on's settings: what Velkaro.ini beside the add-on may change, as one typed, validated
// value. No file, or a key left out, gives the defaults (the protocol's port on all interfaces,
// at most kMaxSessionsLimit clients, everyone allowed, the log off); a value that is not valid
// or a key that is not known keeps the default for that key and adds a warning. Reading the
// settings never fails.
//
// Mistakes never widen access. A `bind` that is not valid serves 127.0.0.1 instead of every
// interface; an `allow` with an entry that is not valid lets only 127.0.0.1 connect (the warning
// names the entry and why). A file that is there but not used (a NUL byte in it, too large, not
// readable) gives the defaults with bind and allow narrowed to 127.0.0.1. A key given twice in a
// section takes its last value, with a warning.
//
//   [server]
//   port = 5193            TCP port, 1 to 65535
//   bind = ANY             ANY, or a local IPv4 address
//   max_clients = 64       1 to 64
//   max_clients_per_address = 16
//                          1 to 64: how many of the places one client address may hold
//   allow = ANY            ANY, or IPv4 addresses and CIDR ranges, separated by commas
//   [log]
//   enabled = false        true/false, yes/no, on/off, 1/0
//   path = Velkaro.log     a relative path is taken from the add-on's folder
//   max_size = 10M         bytes, or with K or M (1024-based); 64K to 1024M. At that size the
//                          log moves to <path>.1 (replacing it) and starts again
//
// Read once, by DLLStart, from the folder of the add-on's own module file (never the current
// directory), before any thread of the add-on's exists; read-only afterwards. velkaro-sim reads
// the same file to learn where the add-on serves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/protocol.h"

namespace velkaro {

inline constexpr int kMaxSessionsLimit = 64;
inline constexpr int kDefaultSessionsPerAddress = 16;
inline constexpr const char* kSettingsFileName = "Velkaro.ini";
// The largest settings file read: a larger one is not read at all (defaults and a warning), so a
// stray file cannot make the host spend its address space on it.
inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;
// [log] max_size: its default and the values taken.
inline constexpr std::uint64_t kDefaultLogMaxBytes = 10 * 1024 * 1024;
inline constexpr std::uint64_t kSmallestLogMaxBytes = 64 * 1024;
inline constexpr std::uint64_t kLargestLogMaxBytes = 1024ull * 1024 * 1024;

// IPv4 addresses allowed to connect: empty means everyone.
struct AllowList {
  struct Range {
    std::uint32_t network;  // host byte order
    std::uint32_t mask;
  };
  std::vector<Range> ranges;

  bool AllowsEveryone() const { return ranges.empty(); }
  // `address` in host byte order.
  bool Allows(std::uint32_t address) const;
  // "ANY", or the ranges as "a.b.c.d/n, ...".
  std::string ToString() const;
};

struct Settings {
  std::uint16_t port = protocol::kDefaultPort;
  std::string bind = "ANY";  // "ANY" or a dotted IPv4 address
  int max_clients = kMaxSessionsLimit;
  int max_clients_per_address = kDefaultSessionsPerAddress;
  AllowList allow;
  bool log_enabled = false;
  std::string log_path = "Velkaro.log";
  std::uint64_t log_max_bytes = kDefaultLogMaxBytes;

  // One line per value not taken or key not known.
  std::vector<std::string> warnings;

  // The settings in force as one line, for the log's first line and the status reply.
  std::string Describe() const;
};

// Settings from the text of an INI file (which may hold any bytes).
Settings ParseSettings(std::string_view ini_text);

// Settings and the file they came from.
struct LoadedSettings {
  Settings settings;
  std::string file;  // the file read, as a full path; empty when none was
};

// The settings of kSettingsFileName in `folder` (a full path ending with a separator). No file
// there gives the defaults without a warning; a file that is not read (larger than
// kMaxSettingsFileBytes, not a regular file, not permitted, a read error) gives the defaults
// served to 127.0.0.1 only, and a warning that names it and says why. Throws only std::bad_alloc.
LoadedSettings LoadSettings(const std::string& folder);
// The same for the settings file at `path`.
LoadedSettings LoadSettingsFile(const std::string& path);

// The log file's full path: log_path, taken from `folder` when it is relative.
std::string LogFilePath(const Settings& settings, const std::string& folder);

// A dotted IPv4 address ("192.168.1.20") in host byte order; false for anything else (no
// shorthand forms, no leading zeros beyond a single "0", every part 0 to 255).
bool ParseIpv4(std::string_view text, std::uint32_t* address);
std::string Ipv4Text(std::uint32_t address);

}  // namespace velkaro
