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
//
// Who may connect and who may fly is serve/access.h's. Connections of every kind are capped below
// the open-file limit: at the cap, a new connection takes the place of the HTTP connection that has
// waited longest for a request, and an accept that finds no file descriptor pauses instead of
// spinning.
//
// With a TLS context (serve/tls.h) every connection is https and wss: the same sessions run over a
// TLS stream, after a handshake that has the deadline of a request. A connection that fails it
// (plain http to this port, a client that says nothing) is closed and counted.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "serve/access.h"
#include "serve/commands.h"
#include "serve/tls.h"
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
  AccessOptions access;
  std::size_t max_connections = 0;  // zero: as many as the open-file limit leaves room for
  // Null: plain http and ws. Otherwise https and wss only (and access.tls is taken as true).
  std::shared_ptr<TlsContext> tls;
};

// The most connections to serve at once when the open-file limit allows `open_files` (zero when
// the system has no such limit): room is kept for the gateway's own files and sockets.
std::size_t ConnectionCapFor(std::size_t open_files);
// This process's open-file limit, zero when it has none.
std::size_t OpenFileLimit();

class WebClient;
class HttpConnection;
template <class Stream>
class WebSession;
template <class Stream>
class HttpSession;
struct ConnectionTable;

class WebServer {
 public:
  WebServer(boost::asio::io_context& io, WebOptions options, Upstream& upstream);
  ~WebServer();

  // Starts listening; false with the reason in `error`.
  bool Listen(std::string* error);
  std::uint16_t port() const { return port_; }
  std::size_t connection_cap() const { return connection_cap_; }
  const Access& access() const { return *access_; }
  // Gets one line for the user now and then (a refused page, once per origin); io thread.
  void SetNews(std::function<void(const std::string&)> news) { news_ = std::move(news); }

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
  bool Join(WebClient* session);
  void Leave(WebClient* session);
  std::shared_ptr<const std::string> LatestFrame() const { return delivered_; }
  nlohmann::json LatestUpstream() const { return upstream_json_; }

 private:
  void Accept();
  void Serve(boost::asio::ip::tcp::socket socket);
  // Counts a refusal, and tells `news` the first time `what` (an origin, a host) is refused.
  void Refused(std::uint64_t* count, const std::string& what, const std::string& news);

  boost::asio::io_context& io_;
  const WebOptions options_;
  Upstream& upstream_;
  const CommandPath commands_;  // to upstream_
  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::optional<Access> access_;
  std::size_t connection_cap_ = 0;
  std::shared_ptr<ConnectionTable> connections_;
  boost::asio::steady_timer accept_pause_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  // io thread only.
  std::set<WebClient*> sessions_;
  std::shared_ptr<const std::string> delivered_;
  nlohmann::json upstream_json_;
  std::uint64_t frames_delivered_ = 0;
  std::uint64_t frames_dropped_ = 0;  // replaced before a slow client could take them
  std::uint64_t clients_refused_ = 0;
  std::uint64_t clients_stalled_ = 0;
  std::uint64_t hosts_refused_ = 0;
  std::uint64_t origins_refused_ = 0;
  std::uint64_t commands_refused_ = 0;  // from connections without the token
  std::uint64_t idle_closed_ = 0;       // HTTP connections closed for a new one at the cap
  std::uint64_t connections_refused_ = 0;
  std::uint64_t accept_pauses_ = 0;
  std::uint64_t tls_handshakes_failed_ = 0;  // connections closed: a handshake failed or was late
  std::set<std::string> refusals_told_;
  std::function<void(const std::string&)> news_;
  std::function<nlohmann::json()> extra_status_;
  template <class Stream>
  friend class WebSession;
  template <class Stream>
  friend class HttpSession;
};

}  // namespace zelm::serve
