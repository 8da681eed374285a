#include "replay_player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "common/mcp_block.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace zelm::replay {

namespace {

// Autopilot blocks told at most this often; those in between are counted in the next.
constexpr std::chrono::seconds kBlockTellEvery{1};
// How long a loop's last frame is served when the recording gives no gap before it (a single
// frame, or frames of one time): a frame at 60 Hz, so that a loop never spins.
constexpr std::int64_t kLoopGapUs = 16667;

std::string Seconds(std::int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(us) / 1e6);
  return text;
}

// What an accepted block asks for: the requests it makes and the fields it marks changed.
std::string DescribeBlock(const velkaro::McpBlock& block) {
  using velkaro::McpType;
  std::string text;
  const std::uint32_t flags = velkaro::McpChangeFlags(block);
  for (const velkaro::McpField& f : velkaro::kMcpFields) {
    const bool request = f.bit == velkaro::kNoFlag && f.type == McpType::kF64 && f.start == -1.0 &&
                         std::string_view(f.name).ends_with("Request");
    const bool changed = f.bit != velkaro::kNoFlag && (flags >> f.bit & 1u) != 0;
    if (!request && !changed) continue;
    char value[48];
    if (f.type == McpType::kF64) {
      const double v = velkaro::DecodeF64(block.data() + f.offset);
      if (request && v < 0) continue;  // no request
      std::snprintf(value, sizeof value, "%g", v);
    } else {
      std::snprintf(value, sizeof value, "%s", block[f.offset] != 0 ? "on" : "off");
    }
    text += (text.empty() ? "" : ", ") + std::string(f.name) + " " + value;
  }
  return text.empty() ? "nothing" : text;
}

}  // namespace

Player::Player(std::unique_ptr<FrameSource> source, ReplaySettings settings)
    : source_(std::move(source)),
      settings_(std::move(settings)),
      duration_us_(source_->DurationUs()) {}

Player::~Player() {
  Stop();
}

bool Player::Rewind(std::int64_t* time_us, std::string* error) {
  if (!source_->Seek(settings_.from_us, error)) return false;
  std::string why;
  if (!source_->Next(time_us, next_.data(), &why)) {
    *error = why.empty() ? "the recording holds no frame" : why;
    return false;
  }
  return true;
}

bool Player::Start(std::string* error, int listen_wait_ms) {
  error->clear();
  // Windows sockets work only once started in the process (the add-on does this in its start);
  // a replay may be the first thing in zelm to use them. Nothing to do elsewhere.
  if (const int failed = velkaro::platform::SocketsStartup(); failed != 0) {
    *error = "cannot start the system's sockets (error " + std::to_string(failed) + ")";
    return false;
  }
  std::int64_t first_us = 0;
  if (!Rewind(&first_us, error)) return false;
  // The frame at the first position is served at once, as the simulator's latest would be.
  velkaro::StatusBoard::Configuration configuration;
  configuration.settings = settings_.server;
  const std::int64_t now_ms = velkaro::platform::SteadyMilliseconds();
  status_.Start(now_ms, configuration, velkaro::FlapsTable{});
  status_.SetReplay(settings_.file, duration_us_, settings_.loop);
  mcp_.Reset();
  std::int64_t next_us = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next_us_ = first_us;
    base_us_ = first_us;
    base_time_ = Clock::now();
    PublishNext();
  }
  const bool more = ReadNext(&next_us);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next_us_ = next_us;
    have_next_ = more;
  }

  running_.store(true);
  const velkaro::SessionShared shared{frames_,  fmc_,     flight_plan_, mcp_,
                                      uploads_, running_, log_,         status_};
  server_ = std::make_unique<velkaro::SocketServer>(shared, running_,
                                                    velkaro::ServerSettingsFor(settings_.server));
  if (!server_->Start()) {
    *error = "cannot start the server's thread: " +
             velkaro::platform::SystemErrorText(velkaro::platform::LastSystemError());
    server_.reset();
    running_.store(false);
    return false;
  }
  // The server reports a failed bind or listen as a warning of the status ("Zelm Socket: ...").
  const std::int64_t until = now_ms + listen_wait_ms;
  while (server_->port() == 0) {
    const velkaro::StatusBoard::View view = status_.Read(velkaro::platform::SteadyMilliseconds());
    for (const std::string& warning : view.warnings) {
      if (warning.rfind("Zelm Socket:", 0) == 0) *error = warning;
    }
    if (error->empty() && velkaro::platform::SteadyMilliseconds() >= until) {
      *error = "the server did not listen within " + std::to_string(listen_wait_ms) + " ms";
    }
    if (!error->empty()) {
      server_->Stop();
      server_.reset();
      return false;
    }
    velkaro::platform::SleepMilliseconds(10);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The pace starts now that clients can connect.
    base_time_ = Clock::now();
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Player::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (server_) {
    server_->Stop();
    server_.reset();
  }
}

std::uint16_t Player::port() const {
  return server_ ? server_->port() : 0;
}

void Player::TogglePause() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (paused_) {
      base_time_ = now;
    } else {
      // Paused where the pace has got to, which is never past the next frame's time.
      const double moved =
          std::chrono::duration<double, std::micro>(now - base_time_).count() * settings_.speed;
      base_us_ = std::min(base_us_ + static_cast<std::int64_t>(moved),
                          have_next_ ? next_us_ : duration_us_);
    }
    paused_ = !paused_;
    UpdateStatus();
  }
  changed_.notify_all();
}

void Player::Step() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!paused_) {
      const double moved =
          std::chrono::duration<double, std::micro>(Clock::now() - base_time_).count() *
          settings_.speed;
      base_us_ = base_us_ + static_cast<std::int64_t>(moved);
      paused_ = true;
    }
    step_ = true;
  }
  changed_.notify_all();
}

Player::Position Player::Now() const {
  Position position;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    position.position_us = served_us_;
    position.paused = paused_;
    position.ended = ended_;
    position.published = published_;
  }
  position.duration_us = duration_us_;
  position.speed = settings_.speed;
  position.clients = status_.Read(velkaro::platform::SteadyMilliseconds()).clients;
  return position;
}

std::vector<std::string> Player::TakeMessages() {
  std::lock_guard<std::mutex> lock(messages_mutex_);
  return std::exchange(messages_, {});
}

Clock::time_point Player::DueAt(std::int64_t time_us) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return base_time_ + Scaled(time_us - base_us_);
}

Clock::duration Player::Scaled(std::int64_t recorded_us) const {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(
      static_cast<double>(recorded_us) / settings_.speed));
}

void Player::Say(std::string message) {
  std::lock_guard<std::mutex> lock(messages_mutex_);
  messages_.push_back(std::move(message));
}

void Player::UpdateStatus() {
  status_.SetReplayPosition(served_us_, settings_.speed, paused_, ended_);
}

void Player::PublishNext() {
  if (published_ != 0) last_gap_us_ = next_us_ - served_us_;
  frames_.Publish(next_.data());
  status_.RecordPublication(velkaro::platform::SteadyMilliseconds());
  served_us_ = next_us_;
  ++published_;
  UpdateStatus();
}

bool Player::ReadNext(std::int64_t* time_us) {
  std::string why;
  if (source_->Next(time_us, next_.data(), &why)) return true;
  if (!why.empty()) Say(why + "; the recording ends there");
  return false;
}

void Player::DropAutopilotBlocks() {
  velkaro::McpBlock block{};
  if (!mcp_.TakePending(&block)) return;
  ++blocks_dropped_;
  const Clock::time_point now = Clock::now();
  if (now - last_block_told_ < kBlockTellEvery) return;
  last_block_told_ = now;
  std::string text =
      "autopilot block accepted but not applied (a replay does not fly): " + DescribeBlock(block);
  if (blocks_dropped_ > 1) {
    text += " (and " + std::to_string(blocks_dropped_ - 1) + " more since the last told)";
  }
  blocks_dropped_ = 0;
  Say(std::move(text));
}

void Player::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    DropAutopilotBlocks();
    lock.lock();
    if (stop_) break;
    const Clock::time_point now = Clock::now();
    const Clock::time_point longest = now + std::chrono::milliseconds(kLongestWaitMs);

    if (!have_next_) {
      if (settings_.loop) {
        lock.unlock();
        std::string error;
        std::int64_t first_us = 0;
        const bool rewound = Rewind(&first_us, &error);
        lock.lock();
        if (rewound) {
          // The last frame is served as long as it was recorded to be, taken to be as long as
          // the gap before it; then the first comes (or at the next step, while paused).
          const std::int64_t gap_us = last_gap_us_ > 0 ? last_gap_us_ : kLoopGapUs;
          base_time_ = paused_ ? Clock::now() : base_time_ + Scaled(served_us_ - base_us_ + gap_us);
          base_us_ = first_us;
          next_us_ = first_us;
          have_next_ = true;
          Say("from the start again at " + Seconds(settings_.from_us));
          continue;
        }
        Say("cannot go back to the start (" + error + "); serving the last frame");
      }
      if (!ended_) {
        ended_ = true;
        step_ = false;
        UpdateStatus();
        Say("end of the recording at " + Seconds(served_us_) +
            ": serving its last frame until stopped");
      }
      changed_.wait_until(lock, longest);
      continue;
    }

    bool due = false;
    if (paused_) {
      due = std::exchange(step_, false);
      if (due) base_us_ = next_us_;
    } else {
      const Clock::time_point at = base_time_ + Scaled(next_us_ - base_us_);
      due = now >= at;
      if (!due) {
        changed_.wait_until(lock, std::min(at, longest));
        continue;
      }
    }
    if (!due) {
      changed_.wait_until(lock, longest);
      continue;
    }
    PublishNext();
    // The file is read without the lock, so the controls never wait for it.
    lock.unlock();
    std::int64_t next_us = 0;
    const bool more = ReadNext(&next_us);
    lock.lock();
    next_us_ = next_us;
    have_next_ = more;
  }
}

}  // namespace zelm::replay
