// zelm watch: the live view of the main instruments. One thread fetches frames and reconnects
// when the add-on goes; the program's own thread shows them, so that the frame age moves and
// "STALE" shows while no frame comes. What the view looks like is watch_view's.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "platform/system.h"
#include "watch_view.h"

namespace zelm::cli {

namespace {

namespace platform = velkaro::platform;

// How long watch waits between attempts to reach an add-on that has gone.
constexpr std::chrono::milliseconds kReconnectPause{1000};
// How often watch redraws its panel on a terminal (the frame age moves even without frames),
// and writes a line when its output is a file or a pipe.
constexpr std::chrono::milliseconds kRedrawEvery{100};
constexpr std::chrono::milliseconds kLineEvery{1000};

// What the fetching thread hands the showing one, under a lock.
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

}  // namespace

void AddWatchCommand(CLI::App& app, CommandContext& context) {
  CLI::App* watch = app.add_subcommand("watch", "live view of the main instruments (Ctrl-C stops)");
  watch->footer(
      "The frame age is the time since the frame last changed; after 1.5 s without a change\n"
      "the view says STALE. When the add-on goes away, watch says so and reconnects by itself.\n"
      "On a terminal the panel is redrawn in place; into a file or a pipe goes a line a "
      "second.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(watch, &context.connection, "each frame");
  SetHandler(watch, &context, [&context] { return CommandWatch(context.connection); });
}

}  // namespace zelm::cli
