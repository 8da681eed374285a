#include "net/status.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "common/protocol.h"
#include "common/version.h"
#include "platform/system.h"

namespace velkaro {

namespace {

// A text cut to `limit` bytes, marked as cut.
std::string Cut(const std::string& text, std::size_t limit) {
  constexpr std::string_view kMark = "...";
  if (text.size() <= limit) return text;
  return text.substr(0, limit - kMark.size()) + std::string(kMark);
}

// The largest reply the bounds allow: every text escaped at six characters per byte (a control
// character becomes \u00XX), the names, numbers and punctuation well within the rest.
constexpr std::size_t kTexts = 7;  // title, aircraft path, log path, configuration file, bind,
                                   // allow, a replay's file
constexpr std::size_t kLongestReply =
    6 * (kTexts * kMaxStatusTextBytes + (kMaxStatusWarnings + 1) * kMaxStatusWarningBytes) + 4096;
static_assert(kLongestReply <= protocol::kMaxStatusBytes, "the status reply fits its bound");

}  // namespace

StatusBoard::StatusBoard() {
  for (auto& time : times_ms_) time.store(kNoTime, std::memory_order_relaxed);
}

void StatusBoard::Start(std::int64_t now_ms, Configuration configuration, const FlapsTable& flaps) {
  frames_.store(0);
  newest_ms_.store(kNoTime);
  for (auto& time : times_ms_) time.store(kNoTime, std::memory_order_relaxed);
  noted_title_.fill('\0');
  simconnect_.store(false);
  simconnect_changed_ms_.store(now_ms);
  listening_.store(false);
  clients_.store(0);
  refused_.store(0);
  configuration.settings.warnings.clear();
  platform::MutexLock guard(lock_);
  started_ms_ = now_ms;
  configuration_ = std::move(configuration);
  title_.fill('\0');
  aircraft_path_.clear();
  flaps_ = flaps;
  warnings_.clear();
  warnings_dropped_ = 0;
  replay_ = false;
}

void StatusBoard::RecordPublication(std::int64_t now_ms) noexcept {
  // Only this thread writes the count, so it is read and written back rather than added to
  // with a locked instruction.
  const std::uint32_t count = frames_.load(std::memory_order_relaxed);
  times_ms_[count % kFrameTimesKept].store(now_ms, std::memory_order_relaxed);
  newest_ms_.store(now_ms, std::memory_order_relaxed);
  frames_.store(count + 1, std::memory_order_release);
}

void StatusBoard::NoteAircraftTitle(const char* title) noexcept {
  const std::size_t length = strnlen(title, kAircraftTitleBytes - 1);
  if (std::memcmp(noted_title_.data(), title, length) == 0 && noted_title_[length] == '\0') return;
  std::memcpy(noted_title_.data(), title, length);
  std::fill(noted_title_.begin() + static_cast<std::ptrdiff_t>(length), noted_title_.end(), '\0');
  platform::MutexLock guard(lock_);
  title_ = noted_title_;
}

void StatusBoard::SetAircraftPath(const std::string& path) {
  std::string copy = Cut(path, kMaxStatusTextBytes);
  platform::MutexLock guard(lock_);
  aircraft_path_.swap(copy);
}

void StatusBoard::SetFlaps(const FlapsTable& flaps) {
  platform::MutexLock guard(lock_);
  flaps_ = flaps;
}

void StatusBoard::AddWarning(const std::string& text) {
  std::string copy = Cut(text, kMaxStatusWarningBytes);
  platform::MutexLock guard(lock_);
  if (warnings_.size() < kMaxStatusWarnings) {
    warnings_.push_back(std::move(copy));
  } else {
    ++warnings_dropped_;
  }
}

void StatusBoard::SetReplay(const std::string& file, std::int64_t duration_us, bool loop) {
  std::string copy = Cut(file, kMaxStatusTextBytes);
  platform::MutexLock guard(lock_);
  replay_ = true;
  replay_state_.file.swap(copy);
  replay_state_.duration_us = duration_us;
  replay_state_.loop = loop;
}

void StatusBoard::SetReplayPosition(std::int64_t position_us, double speed, bool paused,
                                    bool ended) noexcept {
  replay_position_us_.store(position_us, std::memory_order_relaxed);
  replay_speed_millis_.store(std::llround(speed * 1000.0), std::memory_order_relaxed);
  replay_paused_.store(paused, std::memory_order_relaxed);
  replay_ended_.store(ended, std::memory_order_relaxed);
}

StatusBoard::View StatusBoard::Read(std::int64_t now_ms) const {
  View view;
  const std::uint32_t count = frames_.load(std::memory_order_acquire);
  view.frames = count;
  if (count != 0) {
    view.frame_age_ms = std::max<std::int64_t>(0, now_ms - newest_ms_.load());
    // The frames published within the window, among the newest kept.
    std::size_t within = 0;
    std::int64_t oldest = now_ms, newest = kNoTime;
    const std::size_t kept = std::min<std::size_t>(count, kFrameTimesKept);
    for (std::size_t i = 0; i < kept; ++i) {
      const std::int64_t time = times_ms_[i].load(std::memory_order_relaxed);
      if (time == kNoTime || now_ms - time >= kFrameRateWindowMs) continue;
      ++within;
      oldest = std::min(oldest, time);
      newest = std::max(newest, time);
    }
    if (within == kept && within >= 2 && newest > oldest) {
      // Every time kept lies within the window (the frames came faster than the ring holds, or
      // began less than a window ago): the rate over their span.
      view.frame_rate_hz =
          1000.0 * static_cast<double>(within - 1) / static_cast<double>(newest - oldest);
    } else {
      view.frame_rate_hz = 1000.0 * static_cast<double>(within) / kFrameRateWindowMs;
    }
  }
  view.simconnect = simconnect_.load();
  view.simconnect_since_ms = std::max<std::int64_t>(0, now_ms - simconnect_changed_ms_.load());
  view.listening = listening_.load();
  view.clients = clients_.load();
  view.refused_connections = refused_.load();
  view.replay_state.position_us = replay_position_us_.load(std::memory_order_relaxed);
  view.replay_state.speed =
      static_cast<double>(replay_speed_millis_.load(std::memory_order_relaxed)) / 1000.0;
  view.replay_state.paused = replay_paused_.load(std::memory_order_relaxed);
  view.replay_state.ended = replay_ended_.load(std::memory_order_relaxed);

  platform::MutexLock guard(lock_);
  view.uptime_ms = std::max<std::int64_t>(0, now_ms - started_ms_);
  view.configuration = configuration_;
  view.aircraft_title.assign(title_.data(), strnlen(title_.data(), title_.size()));
  view.aircraft_path = aircraft_path_;
  view.flaps = flaps_;
  view.warnings = warnings_;
  view.replay = replay_;
  view.replay_state.file = replay_state_.file;
  view.replay_state.duration_us = replay_state_.duration_us;
  view.replay_state.loop = replay_state_.loop;
  if (warnings_dropped_ != 0) {
    view.warnings.push_back("and " + std::to_string(warnings_dropped_) +
                            " more warnings: see the log");
  }
  return view;
}

std::string StatusJson(const StatusBoard& board, std::int64_t now_ms) {
  using json = nlohmann::ordered_json;
  const StatusBoard::View view = board.Read(now_ms);
  // Paths, settings and warnings are UTF-8 already; the title comes as the simulator gave it, in
  // the system's code page.
  const auto text = [](const std::string& utf8) { return Cut(utf8, kMaxStatusTextBytes); };
  const Settings& settings = view.configuration.settings;

  // The detents up to the last one known; an unknown one before it is null.
  json detents = json::array();
  std::size_t used = view.flaps.size();
  while (used > 0 && !(view.flaps[used - 1] >= 0.0f)) --used;
  for (std::size_t i = 0; i < used; ++i) {
    const float angle = view.flaps[i];
    detents.push_back(angle >= 0.0f ? json(static_cast<double>(angle)) : json(nullptr));
  }
  json warnings = json::array();
  for (const std::string& warning : view.warnings) warnings.push_back(warning);

  json status = {
      {"version", VELKARO_VERSION_TEXT},
      {"uptime_s", view.uptime_ms / 1000},
      {"simconnect", view.simconnect},
      {"simconnect_since_s", view.simconnect_since_ms / 1000},
      {"frames", view.frames},
      {"frame_rate_hz", std::round(view.frame_rate_hz * 10.0) / 10.0},
      {"frame_age_ms", view.frame_age_ms < 0 ? json(nullptr) : json(view.frame_age_ms)},
      {"clients", view.clients},
      {"max_clients", settings.max_clients},
      {"port", settings.port},
      {"bind", text(settings.bind)},
      {"allow", text(settings.allow.ToString())},
      {"server", view.listening},
      {"refused_connections", view.refused_connections},
      {"aircraft_title", platform::SystemTextToUtf8(text(view.aircraft_title))},
      {"aircraft_path", text(view.aircraft_path)},
      {"flaps_detents", std::move(detents)},
      {"log_enabled", view.configuration.log_enabled},
      {"log_path", text(view.configuration.log_path)},
      {"config_file", view.configuration.config_file.empty()
                          ? json(nullptr)
                          : json(text(view.configuration.config_file))},
      {"warnings", std::move(warnings)},
  };
  if (view.replay) {
    const StatusBoard::ReplayState& replay = view.replay_state;
    const auto seconds = [](std::int64_t us) { return std::round(us / 1000.0) / 1000.0; };
    status["replay"] = {
        {"file", text(replay.file)},
        {"position_s", seconds(replay.position_us)},
        {"duration_s", seconds(replay.duration_us)},
        {"speed", replay.speed},
        {"paused", replay.paused},
        {"loop", replay.loop},
        {"ended", replay.ended},
    };
  }
  // Bytes that are not UTF-8 (a title in another encoding) become U+FFFD instead of an error.
  std::string reply = status.dump(-1, ' ', false, json::error_handler_t::replace);
  if (reply.size() > protocol::kMaxStatusBytes) {
    // Not reached while the bounds above hold; a reply must never pass the protocol's bound.
    reply =
        json{{"version", VELKARO_VERSION_TEXT}, {"warnings", {"status too large to send"}}}.dump();
  }
  return reply;
}

}  // namespace velkaro
