// The gateway's browser side: HTTP for the instrument panel page, its assets and /status, and a
// WebSocket endpoint at /ws that sends every new frame as JSON (serve/messages.h) and takes
// autopilot commands.
//
// All of it runs on one io_context thread, the thread the add-on's frames arrive on (the
// gateway's Upstream): PublishFrame starts a frame's writes to every client at once. Each
// WebSocket client has at most one frame being written and one waiting; a newer frame replaces
// the waiting one (a slow browser gets the latest frame when it is ready again, never a queue). A
// client whose write makes no progress for `stall` is disconnected, and at most `max_clients` are
// served at once, so memory stays bounded whatever the browsers do.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <string>

#include "serve/commands.h"
#include "serve/upstream.h"

namespace zelm::serve {

struct WebAsset {
  const char* path;  // "/index.html"
  const char* content_type;
  const unsigned char* data;
  std::size_t size;
};
// The page and its assets, compiled into the program.
std::span<const WebAsset> WebAssets();

struct WebOptions {
  std::string bind = "127.0.0.1";
  std::uint16_t port = 8080;  // zero for a port the system picks
  std::size_t max_clients = 1000;
  std::chrono::milliseconds stall{10000};
};

class WebSession;

class WebServer {
 public:
  WebServer(boost::asio::io_context& io, WebOptions options, Upstream& upstream);
  ~WebServer();

  // Starts listening; false with the reason in `error`.
  bool Listen(std::string* error);
  std::uint16_t port() const { return port_; }

  // io thread only.
  void PublishFrame(std::string message);
  void PublishUpstream(const UpstreamState& state);

  // The io thread's own view, for /status and the hello message.
  nlohmann::json Status() const;
  // More for /status (e.g. the MQTT side's state), merged in at the top level.
  void SetExtraStatus(std::function<nlohmann::json()> extra) { extra_status_ = std::move(extra); }
  const WebOptions& options() const { return options_; }
  Upstream& upstream() { return upstream_; }
  const CommandPath& commands() const { return commands_; }

  // Sessions register themselves (io thread only).
  bool Join(WebSession* session);
  void Leave(WebSession* session);
  std::shared_ptr<const std::string> LatestFrame() const { return delivered_; }
  nlohmann::json LatestUpstream() const { return upstream_json_; }

 private:
  void Accept();

  boost::asio::io_context& io_;
  const WebOptions options_;
  Upstream& upstream_;
  const CommandPath commands_;  // to upstream_
  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  // io thread only.
  std::set<WebSession*> sessions_;
  std::shared_ptr<const std::string> delivered_;
  nlohmann::json upstream_json_;
  std::uint64_t frames_delivered_ = 0;
  std::uint64_t frames_dropped_ = 0;  // replaced before a slow client could take them
  std::uint64_t clients_refused_ = 0;
  std::uint64_t clients_stalled_ = 0;
  std::function<nlohmann::json()> extra_status_;
  friend class WebSession;
};

}  // namespace zelm::serve
