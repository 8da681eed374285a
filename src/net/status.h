// The add-on's status as the "rSTATUS010" command reports it (docs/protocol.md): what DLLStart,
// the simulator's thread and the socket server know about the running add-on, gathered where
// a session can read it, and the reply a session builds from it.
//
// Thread-safety.
//   - The simulator's thread records each published frame with three atomic stores (the count,
//     the time of the newest and its place in a ring of the newest kFrameTimesKept times, from
//     which the rate is worked out): no lock, no allocation, nothing that waits.
//   - What changes rarely (the settings, the configuration file, the log, the aircraft's title
//     and path, the flap detents, the warnings) lies behind one short lock. It is written where
//     it changes (DLLStart, an aircraft change, a server failure), never per frame, and a session
//     copies it out under the lock and builds its reply after letting go. Nobody holds the lock
//     across input or output.
//   - The counters and flags the server and DLLStart keep (clients, refused connections,
//     listening, SimConnect open) are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aircraft/flaps_table.h"
#include "config/settings.h"
#include "platform/mutex.h"

namespace velkaro {

// The frame rate is the number of frames published within kFrameRateWindowMs before the reply.
// Publication times kept for it: when every time kept lies within the window (a rate above this
// many frames per second, or frames that began less than a window ago), the rate is worked out
// over their span instead.
inline constexpr std::size_t kFrameTimesKept = 256;
inline constexpr int kFrameRateWindowMs = 1000;
// Warnings the reply carries; later ones are counted in a last line ("... more in the log").
inline constexpr std::size_t kMaxStatusWarnings = 16;
// Longest warning text kept (bytes); a longer one is cut and ends with "...".
inline constexpr std::size_t kMaxStatusWarningBytes = 256;
// Longest other text in the reply (paths, the title, the allow list), cut the same way.
inline constexpr std::size_t kMaxStatusTextBytes = 512;

class StatusBoard {
 public:
  // A recording replayed in place of a simulator (zelm replay serves with this same code): what
  // it plays and where it is.
  struct ReplayState {
    std::string file;
    std::int64_t duration_us = 0;  // the time of the recording's last frame
    std::int64_t position_us = 0;  // the time of the frame served now
    double speed = 1.0;
    bool loop = false;
    bool paused = false;
    bool ended = false;  // at the end, the last frame kept (not looping)
  };

  // What DLLStart put in force.
  struct Configuration {
    Settings settings;        // its warnings are not used: AddWarning takes them
    std::string config_file;  // empty: none was read
    bool log_enabled = false;
    std::string log_path;
  };

  // A copy of everything, as a session reads it for one reply.
  struct View {
    std::int64_t uptime_ms = 0;
    bool simconnect = false;
    std::int64_t simconnect_since_ms = 0;  // since the connection opened or closed (or the start)
    std::uint32_t frames = 0;
    double frame_rate_hz = 0.0;
    std::int64_t frame_age_ms = -1;  // -1: no frame published yet
    int clients = 0;
    std::uint32_t refused_connections = 0;
    bool listening = false;
    Configuration configuration;
    std::string aircraft_title;
    std::string aircraft_path;
    FlapsTable flaps{};
    std::vector<std::string> warnings;
    // Only while a recording is replayed (zelm replay) in place of a simulator.
    bool replay = false;
    ReplayState replay_state;
  };

  StatusBoard();
  StatusBoard(const StatusBoard&) = delete;
  StatusBoard& operator=(const StatusBoard&) = delete;

  // DLLStart, before the add-on starts any thread: a new start at `now_ms` (platform's steady
  // clock) with `configuration` in force and `flaps` in use. Counts, times, warnings, the
  // aircraft and the flags start again.
  void Start(std::int64_t now_ms, Configuration configuration, const FlapsTable& flaps);

  // The simulator's thread only, once per published frame: atomic stores, nothing else.
  void RecordPublication(std::int64_t now_ms) noexcept;
  // The simulator's thread only, once per accepted record: `title` (ending within
  // kAircraftTitleBytes) is compared with the one noted last, and only a new title takes the
  // lock. Allocates nothing.
  void NoteAircraftTitle(const char* title) noexcept;

  // Where they change, on any thread (never per frame). May allocate.
  void SetAircraftPath(const std::string& path);
  void SetFlaps(const FlapsTable& flaps);
  // A configuration warning or a failure of the server; cut to kMaxStatusWarningBytes, and only
  // the first kMaxStatusWarnings are kept (the rest are counted).
  void AddWarning(const std::string& text);

  // The simulator connection opened or closed at `now_ms`.
  void SetSimConnectOpen(bool open, std::int64_t now_ms) noexcept {
    simconnect_.store(open);
    simconnect_changed_ms_.store(now_ms);
  }
  void SetListening(bool listening) noexcept { listening_.store(listening); }

  // A replay, once before its server starts: the file it plays (cut to kMaxStatusTextBytes),
  // its duration and whether it loops. From then on the reply carries a "replay" object.
  void SetReplay(const std::string& file, std::int64_t duration_us, bool loop);
  // The replay's thread, as it goes: atomic stores, no lock.
  void SetReplayPosition(std::int64_t position_us, double speed, bool paused,
                         bool ended) noexcept;
  void SessionStarted() noexcept { clients_.fetch_add(1); }
  void SessionEnded() noexcept { clients_.fetch_sub(1); }
  void CountRefusedConnection() noexcept { refused_.fetch_add(1); }

  // Any thread: a copy of everything as of `now_ms`. May allocate.
  View Read(std::int64_t now_ms) const;

  static constexpr std::size_t kAircraftTitleBytes = 256;

 private:
  static constexpr std::int64_t kNoTime = INT64_MIN;
  static_assert(std::atomic<std::int64_t>::is_always_lock_free,
                "the simulator's thread stores publication times without a lock");

  // Written by the simulator's thread alone.
  std::atomic<std::uint32_t> frames_{0};
  std::atomic<std::int64_t> newest_ms_{kNoTime};
  std::array<std::atomic<std::int64_t>, kFrameTimesKept> times_ms_;
  // The simulator's thread's own copy of the title it noted last, to see a change without a lock.
  std::array<char, kAircraftTitleBytes> noted_title_{};

  std::atomic<bool> simconnect_{false};
  std::atomic<std::int64_t> simconnect_changed_ms_{0};
  std::atomic<bool> listening_{false};
  std::atomic<int> clients_{0};
  std::atomic<std::uint32_t> refused_{0};
  std::atomic<std::int64_t> replay_position_us_{0};
  std::atomic<std::int64_t> replay_speed_millis_{1000};
  std::atomic<bool> replay_paused_{false};
  std::atomic<bool> replay_ended_{false};

  mutable platform::Mutex lock_;
  std::int64_t started_ms_ VELKARO_GUARDED_BY(lock_) = 0;
  Configuration configuration_ VELKARO_GUARDED_BY(lock_);
  std::array<char, kAircraftTitleBytes> title_ VELKARO_GUARDED_BY(lock_){};
  std::string aircraft_path_ VELKARO_GUARDED_BY(lock_);
  FlapsTable flaps_ VELKARO_GUARDED_BY(lock_){};
  std::vector<std::string> warnings_ VELKARO_GUARDED_BY(lock_);
  std::size_t warnings_dropped_ VELKARO_GUARDED_BY(lock_) = 0;
  bool replay_ VELKARO_GUARDED_BY(lock_) = false;
  ReplayState replay_state_ VELKARO_GUARDED_BY(lock_);  // its file, duration and loop
};

// The "rSTATUS010" reply's JSON text (UTF-8, at most protocol::kMaxStatusBytes) for the board as
// of `now_ms`. Texts in the system's encoding are turned into UTF-8; bytes that are not text
// become U+FFFD. May throw std::bad_alloc.
std::string StatusJson(const StatusBoard& board, std::int64_t now_ms);

}  // namespace velkaro
