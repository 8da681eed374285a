// The replay of a flight recording (zelm replay): the recording's frames served to clients as the
// add-on serves the simulator's, at the times they were recorded (scaled by the speed), by the
// add-on's own client service (src/net: the socket server, the sessions, the upload stores and
// the status). So "rSIMDATA30" with its wait for a fresh frame, the FMC and flight-plan stores,
// the checks of autopilot blocks and every bound behave as they do in the simulator; only the
// autopilot blocks a session accepts are not applied to anything: the replay's thread takes
// them, as the simulator's thread would, and says so instead.
//
// The replay's thread plays the part of the simulator's: it reads the next frame from the
// source, waits until it is due and publishes it. It never waits on a client, and reads the file
// without holding the lock the controls take. The controls (pause, step) and the position may be
// used from any thread.
//
// At the end of the recording it starts again from the first position (loop), or keeps serving
// the last frame: clients then get that frame again after the fresh-frame wait, as from a paused
// simulator.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "autopilot/mcp_exchange.h"
#include "common/frame_layout.h"
#include "config/settings.h"
#include "log/log.h"
#include "net/socket_server.h"
#include "net/status.h"
#include "net/upload_store.h"
#include "simdata/frame_exchange.h"

namespace zelm::replay {

using Clock = std::chrono::steady_clock;

// Where the replay's frames come from: a recording read front to back, which can begin again at
// any time in it. Used by the replay's thread only.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The time of the recording's last frame, in microseconds from its start.
  virtual std::int64_t DurationUs() const = 0;
  // Goes to `time_us`: the next frame is then the first one at or after that time. False, with
  // the reason in `error`, when it cannot.
  virtual bool Seek(std::int64_t time_us, std::string* error) = 0;
  // The next frame (velkaro::kFrameSize bytes into `frame`) and its time. False at the end of
  // the recording; `error` then says why it ended early (a file cut short or damaged), or is
  // empty at its proper end.
  virtual bool Next(std::int64_t* time_us, std::uint8_t* frame, std::string* error) = 0;
};

// The replay's speeds: a quarter to sixteen times the recorded pace.
inline constexpr double kSlowestSpeed = 0.25;
inline constexpr double kFastestSpeed = 16.0;
// The longest the replay's thread waits without looking at the autopilot blocks and the stop.
inline constexpr int kLongestWaitMs = 100;

struct ReplaySettings {
  std::string file;  // for the status reply and the messages
  double speed = 1.0;
  bool loop = false;
  std::int64_t from_us = 0;  // where the replay starts, and where a loop begins again
  // The server's port, bind and allow (as Velkaro.ini gives them to the add-on).
  velkaro::Settings server;
};

class Player {
 public:
  struct Position {
    std::int64_t position_us = 0;  // the time of the frame being served
    std::int64_t duration_us = 0;
    double speed = 1.0;
    bool paused = false;
    bool ended = false;           // at the end, serving the last frame
    std::uint64_t published = 0;  // frames served since the start
    int clients = 0;
  };

  Player(std::unique_ptr<FrameSource> source, ReplaySettings settings);
  ~Player();  // stops
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Goes to the first position and serves its frame, starts the server and waits (at most
  // `listen_wait_ms`) until it listens, then starts the replay's thread. False, with the reason
  // in `error`, when the recording cannot be read or the server cannot listen.
  bool Start(std::string* error, int listen_wait_ms = 5000);
  // Ends the replay's thread and the server (joining every session).
  void Stop();
  // The port listened on (the one the system picked for port 0); 0 before Start.
  std::uint16_t port() const;

  // Pauses, or plays on from where it paused.
  void TogglePause();
  // Pauses (when playing) and serves the next frame.
  void Step();
  Position Now() const;

  // What the replay has to say since the last call, oldest first: autopilot blocks not applied,
  // the end of the recording, a loop, a file that ends early.
  std::vector<std::string> TakeMessages();

  // When the frame of recorded time `time_us` is (or was) due, with the pace in force now: for a
  // benchmark that measures how late frames reach clients.
  Clock::time_point DueAt(std::int64_t time_us) const;

 private:
  void Run();
  // Reads the next frame into next_ and its time into `time_us`; false at the end (after saying
  // why, if it came early). Without the lock.
  bool ReadNext(std::int64_t* time_us);
  // Serves next_. Under the lock.
  void PublishNext();
  // Goes to settings_.from_us and reads the frame there into next_; false when it cannot.
  // Without the lock.
  bool Rewind(std::int64_t* time_us, std::string* error);
  // The autopilot blocks accepted since the last look: taken and told, not applied.
  void DropAutopilotBlocks();
  void Say(std::string message);
  // A span of recorded time as it passes at the speed.
  Clock::duration Scaled(std::int64_t recorded_us) const;
  void UpdateStatus();

  std::unique_ptr<FrameSource> source_;
  const ReplaySettings settings_;
  const std::int64_t duration_us_;

  // What the sessions share, as the add-on holds it.
  velkaro::FrameExchange frames_;
  velkaro::UploadAllowance uploads_;  // before the stores, whose data gives its charge back
  velkaro::UploadStore fmc_;
  velkaro::UploadStore flight_plan_;
  velkaro::McpExchange mcp_;
  std::atomic<bool> running_{false};
  velkaro::DiagnosticLog log_;
  velkaro::StatusBoard status_;
  std::unique_ptr<velkaro::SocketServer> server_;

  // The replay thread's own: the next frame to serve, and the autopilot blocks dropped.
  std::array<std::uint8_t, velkaro::kFrameSize> next_{};
  std::uint64_t blocks_dropped_ = 0;
  Clock::time_point last_block_told_{};

  // The pace: position(now) = base_us_ + (now - base_time_) * speed while playing; base_us_
  // while paused.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool paused_ = false;
  bool step_ = false;
  bool ended_ = false;
  bool have_next_ = false;  // next_ holds the next frame, of time next_us_
  std::int64_t next_us_ = 0;
  std::int64_t base_us_ = 0;
  Clock::time_point base_time_{};
  std::int64_t served_us_ = 0;    // the time of the frame served
  std::int64_t last_gap_us_ = 0;  // between it and the one before
  std::uint64_t published_ = 0;

  std::mutex messages_mutex_;
  std::vector<std::string> messages_;

  std::thread thread_;
};

}  // namespace zelm::replay
