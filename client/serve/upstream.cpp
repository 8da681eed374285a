#include "serve/upstream.h"

#include <algorithm>
#include <utility>

namespace zelm::serve {

using Clock = std::chrono::steady_clock;

Upstream::Upstream(UpstreamOptions options, std::function<void(const Frame&)> on_frame,
                   std::function<void(const UpstreamState&)> on_state)
    : options_(std::move(options)),
      on_frame_(std::move(on_frame)),
      on_state_(std::move(on_state)) {}

Upstream::~Upstream() {
  Stop();
}

void Upstream::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Upstream::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool Upstream::Submit(const McpRequestBuilder& block, McpDone done) {
  std::lock_guard lock(mutex_);
  if (!state_.connected || pending_.size() >= kMaxPendingCommands) return false;
  pending_.push_back(Command{block, std::move(done)});
  return true;
}

UpstreamState Upstream::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::string Upstream::AddonStatus() const {
  std::lock_guard lock(mutex_);
  return addon_status_;
}

void Upstream::SetConnected(bool connected, const std::string& error) {
  UpstreamState copy;
  {
    std::lock_guard lock(mutex_);
    if (state_.connected == connected && state_.error == error) return;
    if (connected && !state_.connected && state_.frames > 0) ++state_.reconnects;
    state_.connected = connected;
    state_.error = error;
    if (!connected) addon_status_.clear();
    copy = state_;
  }
  on_state_(copy);
}

void Upstream::FailPending(const std::string& error) {
  std::deque<Command> failed;
  {
    std::lock_guard lock(mutex_);
    failed.swap(pending_);
  }
  for (Command& c : failed) c.done(error);
}

void Upstream::Run() {
  auto retry = options_.first_retry;
  while (!stop_) {
    std::string error;
    auto connection = Connection::Open(options_.host, options_.port, &error,
                                       static_cast<int>(options_.timeout.count()), &stop_);
    if (connection != nullptr) {
      retry = options_.first_retry;
      Serve(*connection);
      continue;
    }
    if (stop_) break;
    status_unanswered_ = false;  // the add-on that comes back may be another
    SetConnected(false, error);
    // Pauses in short steps, so that a stop is seen at once.
    const auto until = Clock::now() + retry;
    while (!stop_ && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    retry = std::min(retry * 2, options_.longest_retry);
  }
  FailPending("the gateway is stopping");
}

void Upstream::Serve(Connection& connection) {
  SetConnected(true, "");
  auto status_due = Clock::now();
  Frame frame;
  Frame last;
  bool have_last = false;
  std::string failure;
  while (!stop_) {
    std::deque<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(pending_);
    }
    for (Command& c : commands) {
      connection.SetDeadline(options_.timeout);
      // The add-on does not acknowledge a block; a round trip after it proves it was read.
      if (connection.UploadMcp(c.block.block()) && connection.Sync()) {
        c.done("");
      } else {
        failure = connection.error();
        c.done("the add-on did not take the block: " + failure);
      }
    }
    if (!failure.empty()) break;

    if (!status_unanswered_ && Clock::now() >= status_due) {
      status_due = Clock::now() + options_.status_every;
      connection.SetDeadline(options_.status_wait);
      std::string status;
      if (!connection.FetchStatus(&status)) {
        // An add-on before 1.1 ignores the command. A reply that is only late would arrive where
        // a frame is awaited, so the connection is made afresh, and not asked again until the
        // add-on has gone and come back.
        if (connection.error().find("closed") == std::string::npos) status_unanswered_ = true;
        failure = connection.error();
        break;
      }
      std::lock_guard lock(mutex_);
      addon_status_ = std::move(status);
    }

    connection.SetDeadline(options_.timeout);
    if (!connection.FetchFrame(&frame)) {
      failure = connection.error();
      break;
    }
    if (have_last && frame.bytes == last.bytes) continue;
    last = frame;
    have_last = true;
    {
      std::lock_guard lock(mutex_);
      ++state_.frames;
      state_.last_frame = Clock::now();
    }
    on_frame_(frame);
  }
  if (stop_) return;
  FailPending("the connection to the add-on was lost");
  SetConnected(false, failure.empty() ? "the connection to the add-on was lost" : failure);
}

}  // namespace zelm::serve
