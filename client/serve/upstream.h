// The gateway's one session with the add-on: a thread of its own that connects (and reconnects,
// with a growing pause, whenever the add-on goes away), fetches frame after frame, sends the
// autopilot blocks handed to it between frames, and asks for the add-on's status now and then.
//
// It tells its owner through callbacks, on its own thread: each new frame (a frame whose bytes
// differ from the last one: the add-on repeats the latest frame when the simulator has none
// newer), and each change of connection state. Nothing is queued without bound: a frame not yet
// taken is replaced by a newer one by the owner, and at most kMaxPendingCommands blocks wait.
//
// Thread-safety: Submit, State and AddonStatus may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "zelm_client.h"

namespace zelm::serve {

struct UpstreamOptions {
  std::string host = kDefaultHost;
  std::uint16_t port = kDefaultPort;
  std::chrono::milliseconds timeout{10000};  // connecting, and each operation
  std::chrono::milliseconds status_every{2000};
  std::chrono::milliseconds status_wait{3000};  // an add-on before 1.1 never answers
  std::chrono::milliseconds first_retry{250};
  std::chrono::milliseconds longest_retry{5000};
};

struct UpstreamState {
  bool connected = false;
  std::string error;         // why the last connection ended or could not be made
  std::uint64_t frames = 0;  // new frames received since the gateway started
  std::uint64_t reconnects = 0;
  std::optional<std::chrono::steady_clock::time_point> last_frame;
};

// The outcome of a submitted autopilot block: empty error when the add-on took it.
using McpDone = std::function<void(const std::string& error)>;

class Upstream {
 public:
  static constexpr std::size_t kMaxPendingCommands = 32;

  // `on_frame` gets each new frame; `on_state` each change between connected and not.
  Upstream(UpstreamOptions options, std::function<void(const Frame&)> on_frame,
           std::function<void(const UpstreamState&)> on_state);
  ~Upstream();  // stops and joins
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  void Start();
  void Stop();

  // Queues a block for the add-on; `done` is called on the upstream thread once it was sent (or
  // could not be). False, without calling `done`, when kMaxPendingCommands already wait or the
  // add-on is not connected.
  bool Submit(const McpRequestBuilder& block, McpDone done);

  UpstreamState State() const;
  // The add-on's last status reply (JSON text), empty when it has none or does not answer it.
  std::string AddonStatus() const;

 private:
  struct Command {
    McpRequestBuilder block;
    McpDone done;
  };
  void Run();
  void Serve(Connection& connection);
  void SetConnected(bool connected, const std::string& error);
  void FailPending(const std::string& error);

  const UpstreamOptions options_;
  const std::function<void(const Frame&)> on_frame_;
  const std::function<void(const UpstreamState&)> on_state_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  bool status_unanswered_ = false;  // upstream thread only

  mutable std::mutex mutex_;
  UpstreamState state_;
  std::string addon_status_;
  std::deque<Command> pending_;
};

}  // namespace zelm::serve
