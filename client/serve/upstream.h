// The gateway's one session with the add-on. It runs on the gateway's io thread, as a coroutine
// among the browsers' sessions: it connects (and reconnects, with a growing pause, whenever the
// add-on goes away), fetches frame after frame, sends the autopilot blocks handed to it between
// frames, and asks for the add-on's status now and then. A frame is handed on on the thread it
// arrived on, so it reaches the browsers without a hop between threads.
//
// It tells its owner through callbacks, on the io thread: each new frame (a frame whose bytes
// differ from the last one: the add-on repeats the latest frame when the simulator has none
// newer), and each change of connection state. Nothing is queued without bound: at most
// kMaxPendingCommands blocks wait.
//
// Thread-safety: Submit, State and AddonStatus may be called from any thread; Start and Stop on
// the io thread, or while it does not run.
#pragma once

// clang-format off
#include <utility>  // (before Asio, whose awaitable.hpp uses std::exchange without it)
// clang-format on
#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "zelm_client.h"
#include "zelm_protocol.h"

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
  bool connected = false;                   // from the first frame of a connection to its end
  std::string error;                        // why the last connection ended or could not be made
  ErrorKind error_kind = ErrorKind::kNone;  // and that reason's kind
  std::uint64_t frames = 0;                 // new frames received since the gateway started
  std::uint64_t reconnects = 0;
  std::optional<std::chrono::steady_clock::time_point> last_frame;
};

// The outcome of a submitted autopilot block: empty error when the add-on took it.
using McpDone = std::function<void(const std::string& error)>;

class Upstream {
 public:
  static constexpr std::size_t kMaxPendingCommands = 32;

  // `on_frame` gets each new frame; `on_state` each change between connected and not.
  Upstream(boost::asio::io_context& io, UpstreamOptions options,
           std::function<void(const Frame&)> on_frame,
           std::function<void(const UpstreamState&)> on_state);
  ~Upstream();
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  void Start();
  // Ends the session; blocks still waiting are answered that the gateway is stopping.
  void Stop();

  // Queues a block for the add-on; `done` is called on the io thread once it was sent (or could
  // not be), or from Stop. False, without calling `done`, when kMaxPendingCommands already wait
  // or the add-on is not connected.
  bool Submit(const McpRequestBuilder& block, McpDone done);

  UpstreamState State() const;
  // The add-on's last status reply (JSON text), empty when it has none or does not answer it.
  std::string AddonStatus() const;

 private:
  struct Command {
    McpRequestBuilder block;
    McpDone done;
  };
  boost::asio::awaitable<void> Run();
  boost::asio::awaitable<bool> Connect(boost::beast::tcp_stream& stream, Failure* failure);
  // Until the connection fails (the reason) or the session stops (kNone).
  boost::asio::awaitable<Failure> Serve(boost::beast::tcp_stream& stream);
  // Sends `request`, then receives the reply `reader` reads, to its end: the request with the
  // reply's first part within `limit`, and each further part within `limit` again. False with
  // the reason in `failure`.
  boost::asio::awaitable<bool> Exchange(boost::beast::tcp_stream& stream,
                                        boost::asio::const_buffer request, ReplyReader* reader,
                                        std::chrono::milliseconds limit, Failure* failure);
  void SetConnected(bool connected, const Failure& failure);
  void FailPending(const std::string& error);

  boost::asio::io_context& io_;
  const UpstreamOptions options_;
  const std::function<void(const Frame&)> on_frame_;
  const std::function<void(const UpstreamState&)> on_state_;

  // io thread only.
  bool stopped_ = false;
  bool status_unanswered_ = false;
  boost::beast::tcp_stream* stream_ = nullptr;  // the connection being made or served
  boost::asio::steady_timer pause_;             // between attempts to connect

  mutable std::mutex mutex_;
  UpstreamState state_;
  std::string addon_status_;
  std::deque<Command> pending_;
};

}  // namespace zelm::serve
