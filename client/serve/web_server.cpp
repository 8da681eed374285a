#include "serve/web_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <list>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(VELKARO_TLS)
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#endif

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "common/version.h"
#include "serve/commands.h"
#include "serve/messages.h"

namespace zelm::serve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The sessions are the same over both transports, templates on the stream: plain TCP, or TLS over
// it in builds with TLS.
using PlainStream = beast::tcp_stream;
#if defined(VELKARO_TLS)
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
#endif
template <class Stream>
constexpr bool kTls = !std::is_same_v<Stream, PlainStream>;

namespace {

constexpr std::size_t kMaxRequestBytes = 8 * 1024;
// Control messages (command results, connection news) waiting for one client: a client that lets
// more pile up is not reading and is let go.
constexpr std::size_t kMaxQueuedControl = 64;
// The longest a connection may take to send a request's header (and its small body), waiting
// between requests included: a client that sends slowly, or not at all, holds a connection no
// longer than this.
constexpr auto kRequestDeadline = std::chrono::seconds(10);
// How long accepting rests when the system has no file descriptor for a new connection.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// File descriptors kept for the gateway's own: the add-on session, the broker, files, the system.
constexpr std::size_t kOwnFiles = 64;
// Connections kept for HTTP when WebSocket clients are at their cap: a browser can still get the
// page and /status.
constexpr std::size_t kHttpRoom = 16;
// Origins and host names told about when refused; after that, refusals are only counted.
constexpr std::size_t kMaxRefusalsTold = 64;

constexpr const char* kViewOnly =
    "this connection may watch but not fly: open the panel at the address zelm serve printed at "
    "start (it ends in ?token=...), or connect to /ws?token=TOKEN";
// The system's send buffer of a WebSocket client: room for a few dozen frames. A client that
// reads slowly fills it soon, then gets the latest frame when it has room again, and one that
// does not read at all is found out within the stall bound, with little memory held for it.
constexpr int kClientSendBufferBytes = 128 * 1024;

// The addresses of the instruments that stand alone: each is the panel's page, which shows the
// instrument its path names, filling the window.
constexpr std::string_view kInstrumentPages[] = {"/pfd",     "/nd",  "/map",
                                                 "/engines", "/mcp", "/history"};

const WebAsset* FindAsset(std::string_view target) {
  if (target == "/") target = "/index.html";
  for (std::string_view page : kInstrumentPages) {
    if (target == page) target = "/index.html";
  }
  for (const WebAsset& a : WebAssets()) {
    if (target == a.path) return &a;
  }
  return nullptr;
}

}  // namespace

// A WebSocket client, as the server hands it frames and news.
class WebClient {
 public:
  // A new frame: written now, or kept as the next one (replacing a frame that was waiting).
  virtual void SendFrame(const std::shared_ptr<const std::string>& frame) = 0;
  virtual void SendControl(std::string message) = 0;

 protected:
  ~WebClient() = default;
};

// An HTTP connection, as the connection table sees it.
class HttpConnection {
 public:
  // Whether the connection is between requests (or still sending one, or still in its TLS
  // handshake): closing it loses nothing that was asked.
  virtual bool Idle() const = 0;
  virtual void Close() = 0;

 protected:
  ~HttpConnection() = default;
};

// Every connection served, shared with the sessions, which can outlive the server when the
// io_context drops them at the end.
struct ConnectionTable {
  std::size_t open = 0;
  std::list<HttpConnection*> http;  // oldest first
};

// One WebSocket client.
template <class Stream>
class WebSession final : public WebClient, public std::enable_shared_from_this<WebSession<Stream>> {
 public:
  WebSession(Stream&& stream, WebServer& server, bool control)
      : ws_(std::move(stream)),
        server_(server),
        timer_(ws_.get_executor()),
        connections_(server.connections_),
        control_allowed_(control) {
    ++connections_->open;
  }
  ~WebSession() { --connections_->open; }

  // A session leaves the server in Drop, which every ending of a served session goes through; a
  // session destroyed otherwise is one the io_context drops at the end, server and all.
  void Start(http::request<http::string_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(
        asio::socket_base::send_buffer_size(kClientSendBufferBytes), ignored);
    // Each frame goes out as it is written, not held back for the acknowledgement of the last.
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kMaxCommandBytes);
    // A frame message (3 KiB and more) goes out as one WebSocket frame in one write, not in pieces
    // of the stream's write buffer, each of which waits for the last to complete.
    ws_.auto_fragment(false);
    ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code ec) {
      if (!ec) self->Accepted();
    });
  }

  void SendFrame(const std::shared_ptr<const std::string>& frame) override {
    if (closing_) return;
    if (waiting_frame_ != nullptr) ++server_.frames_dropped_;
    waiting_frame_ = frame;
    Write();
  }

  void SendControl(std::string message) override {
    if (closing_) return;
    if (control_.size() >= kMaxQueuedControl) {
      Drop();
      return;
    }
    control_.push_back(std::make_shared<const std::string>(std::move(message)));
    Write();
  }

 private:
  void Accepted() {
    if (!server_.Join(this)) {
      ws_.async_close(
          websocket::close_reason(websocket::close_code::try_again_later, "too many clients"),
          [self = this->shared_from_this()](beast::error_code) {});
      return;
    }
    joined_ = true;
    nlohmann::json hello{{"type", "hello"},
                         {"gateway", VELKARO_VERSION_TEXT},
                         {"units", FrameUnits()},
                         {"control", control_allowed_},
                         {"upstream", server_.LatestUpstream()}};
    SendControl(Dump(hello));
    if (auto frame = server_.LatestFrame()) SendFrame(frame);
    Read();
    Watch();
  }

  void Read() {
    ws_.async_read(in_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->Drop();
        return;
      }
      self->Command(beast::buffers_to_string(self->in_.data()));
      self->in_.consume(self->in_.size());
      self->Read();
    });
  }

  void Command(const std::string& text) {
    if (!control_allowed_) {
      ++server_.commands_refused_;
      SendControl(CommandPath::Refuse(text, ReplyForm::kWebSocket, kViewOnly));
      return;
    }
    // A reply that comes later comes from the add-on session (or from its Stop); it is brought
    // back to this session's executor.
    std::weak_ptr<WebSession> weak = this->shared_from_this();
    auto executor = ws_.get_executor();
    std::optional<std::string> reply =
        server_.commands().Run(text, ReplyForm::kWebSocket, [weak, executor](std::string later) {
          asio::post(executor, [weak, later = std::move(later)]() mutable {
            if (auto self = weak.lock()) self->SendControl(std::move(later));
          });
        });
    if (reply) SendControl(std::move(*reply));
  }

  void Write() {
    if (writing_ != nullptr || closing_) return;
    if (!control_.empty()) {
      writing_ = control_.front();
      control_.pop_front();
    } else if (waiting_frame_ != nullptr) {
      writing_ = std::move(waiting_frame_);
      waiting_frame_ = nullptr;
      ++server_.frames_delivered_;
    } else {
      return;
    }
    write_started_ = Clock::now();
    ws_.text(true);
    ws_.async_write(asio::buffer(*writing_),
                    [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = nullptr;
                      if (ec) {
                        self->Drop();
                        return;
                      }
                      self->Write();
                    });
  }

  // Every second: a write that has made no progress for the stall bound ends the client.
  void Watch() {
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (ec || self->closing_) return;
      if (self->writing_ != nullptr &&
          Clock::now() - self->write_started_ > self->server_.options_.stall) {
        ++self->server_.clients_stalled_;
        self->Drop();
        return;
      }
      self->Watch();
    });
  }

  // Ends the client at once: the socket is closed, which ends every operation still going.
  void Drop() {
    if (closing_) return;
    closing_ = true;
    waiting_frame_ = nullptr;
    control_.clear();
    timer_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
    if (joined_) {
      server_.Leave(this);
      joined_ = false;
    }
  }

  websocket::stream<Stream> ws_;
  WebServer& server_;
  asio::steady_timer timer_;
  beast::flat_buffer in_;
  std::shared_ptr<const std::string> writing_;
  std::shared_ptr<const std::string> waiting_frame_;
  std::deque<std::shared_ptr<const std::string>> control_;
  Clock::time_point write_started_{};
  std::shared_ptr<ConnectionTable> connections_;
  const bool control_allowed_;
  bool joined_ = false;
  bool closing_ = false;
};

// One HTTP connection: requests one after another until it closes or upgrades to a WebSocket.
template <class Stream>
class HttpSession final : public HttpConnection,
                          public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, WebServer& server)
      : stream_(std::move(stream)), server_(server), connections_(server.connections_) {
    ++connections_->open;
    place_ = connections_->http.insert(connections_->http.end(), this);
  }
  ~HttpSession() {
    if (!upgraded_) --connections_->open;
    connections_->http.erase(place_);
  }

  void Start() {
    if constexpr (kTls<Stream>) {
      // The handshake has a request's deadline, and counts as waiting for one.
      beast::get_lowest_layer(stream_).expires_after(kRequestDeadline);
      reading_ = true;
      stream_.async_handshake(Stream::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                self->reading_ = false;
                                if (ec) {
                                  self->HandshakeFailed(ec);
                                  return;
                                }
                                self->Read();
                              });
    } else {
      Read();
    }
  }

  bool Idle() const override { return reading_ && !upgraded_; }
  void Close() override {
    beast::error_code ignored;
    socket().close(ignored);
  }

 private:
  tcp::socket& socket() { return beast::get_lowest_layer(stream_).socket(); }

  // Plain http to the https port, a client that sent nothing in time, one whose TLS is not ours:
  // the connection is closed without a word (there is no way to answer in words without TLS).
  void HandshakeFailed(const beast::error_code& ec) {
    beast::error_code ignored;
    socket().close(ignored);
    if (ec == asio::error::operation_aborted) return;  // closed here, for a new connection
    const std::string reason =
        ec == beast::error::timeout ? "none within the deadline" : ec.message();
    server_.Refused(&server_.tls_handshakes_failed_, "tls " + reason,
                    "a connection failed the TLS handshake (" + reason +
                        "): this port serves https:// only");
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestBytes);
    parser_->body_limit(kMaxRequestBytes);
    beast::get_lowest_layer(stream_).expires_after(kRequestDeadline);
    reading_ = true;
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                       self->reading_ = false;
                       if (ec) {
                         beast::error_code ignored;
                         self->socket().shutdown(tcp::socket::shutdown_both, ignored);
                         return;
                       }
                       self->Handle(self->parser_->release());
                     });
  }

  void Handle(http::request<http::string_body> request) {
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    const auto host_field = request[http::field::host];
    const std::string_view host(host_field.data(), host_field.size());
    if (auto refused = server_.access().HostRefused(host)) {
      server_.Refused(&server_.hosts_refused_, "host " + std::string(host),
                      "refused requests for " + std::string(host) +
                          ", not a name of this gateway (--public-name adds one)");
      Reply(Text(request, http::status::forbidden, *refused + "\n"));
      return;
    }
    if (websocket::is_upgrade(request)) {
      if (path != "/ws") {
        Reply(Text(request, http::status::not_found, "no WebSocket here: use /ws\n"));
        return;
      }
      const auto origin_field = request[http::field::origin];
      const std::string_view origin(origin_field.data(), origin_field.size());
      if (auto refused = server_.access().OriginRefused(origin, host)) {
        server_.Refused(&server_.origins_refused_, "origin " + std::string(origin),
                        "refused a WebSocket from a page at " + std::string(origin) +
                            ", not this panel's origin (--allow-origin adds one)");
        Reply(Text(request, http::status::forbidden, *refused + "\n"));
        return;
      }
      upgraded_ = true;
      --connections_->open;  // (the WebSocket session counts it from here)
      // (The stream moves to the WebSocket session, with its TLS state when it has one.)
      std::make_shared<WebSession<Stream>>(std::move(stream_), server_,
                                           server_.access().MayControl(target))
          ->Start(std::move(request));
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      auto response = Text(request, http::status::method_not_allowed, "GET only\n");
      response.set(http::field::allow, "GET, HEAD");
      Reply(std::move(response));
      return;
    }
    if (path == "/status") {
      auto response = Text(
          request, http::status::ok,
          server_.Status().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
      response.set(http::field::content_type, "application/json");
      Reply(std::move(response));
      return;
    }
    if (const WebAsset* asset = FindAsset(path)) {
      auto response = Text(request, http::status::ok,
                           std::string(reinterpret_cast<const char*>(asset->data), asset->size));
      response.set(http::field::content_type, asset->content_type);
      response.set(http::field::cache_control, "no-cache");
      Reply(std::move(response));
      return;
    }
    Reply(Text(request, http::status::not_found, "not found: " + path + "\n"));
  }

  static http::response<http::string_body> Text(const http::request<http::string_body>& request,
                                                http::status status, std::string body) {
    http::response<http::string_body> response{status, request.version()};
    response.set(http::field::server, std::string("zelm-serve/") + VELKARO_VERSION_TEXT);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.keep_alive(request.keep_alive());
    if (request.method() == http::verb::head) {
      response.content_length(body.size());
    } else {
      response.body() = std::move(body);
      response.prepare_payload();
    }
    return response;
  }

  void Reply(http::response<http::string_body> response) {
    auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
    http::async_write(stream_, *shared,
                      [self = this->shared_from_this(), shared](beast::error_code ec, std::size_t) {
                        if (ec || !shared->keep_alive()) {
                          beast::error_code ignored;
                          self->socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->Read();
                      });
  }

  Stream stream_;
  WebServer& server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<ConnectionTable> connections_;
  std::list<HttpConnection*>::iterator place_;
  bool reading_ = false;
  bool upgraded_ = false;
};

std::size_t OpenFileLimit() {
#if defined(_WIN32)
  return 0;  // sockets are not files there, and have no such limit
#else
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::size_t>(limit.rlim_cur);
#endif
}

std::size_t ConnectionCapFor(std::size_t open_files) {
  constexpr std::size_t kWithoutLimit = 16384;
  if (open_files == 0) return kWithoutLimit;
  return std::min(kWithoutLimit, open_files > kOwnFiles + kHttpRoom ? open_files - kOwnFiles
                                                                     : kHttpRoom);
}

WebServer::WebServer(asio::io_context& io, WebOptions options, Upstream& upstream)
    : io_(io),
      options_(std::move(options)),
      upstream_(upstream),
      commands_(upstream),
      acceptor_(io),
      connections_(std::make_shared<ConnectionTable>()),
      accept_pause_(io) {
  upstream_json_ = UpstreamJson(UpstreamState{});
}

WebServer::~WebServer() = default;

bool WebServer::Listen(std::string* error) {
  // Pages come from https:// exactly when the gateway serves TLS, whatever the options said.
  AccessOptions access = options_.access;
  access.tls = options_.tls != nullptr;
  access_ = Access::Make(std::move(access), error);
  if (!access_) return false;
  connection_cap_ = options_.max_connections != 0 ? options_.max_connections
                                                  : ConnectionCapFor(OpenFileLimit());
  beast::error_code ec;
  const auto address = asio::ip::make_address(options_.bind, ec);
  if (ec) {
    *error = "not an IP address: " + options_.bind;
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  if (acceptor_.open(endpoint.protocol(), ec) ||
      acceptor_.set_option(asio::socket_base::reuse_address(true), ec) ||
      acceptor_.bind(endpoint, ec) ||
      acceptor_.listen(asio::socket_base::max_listen_connections, ec)) {
    *error = "cannot listen on " + options_.bind + ":" + std::to_string(options_.port) + ": " +
             ec.message();
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  Accept();
  return true;
}

void WebServer::Accept() {
  // Every connection runs on the one io thread, with the add-on session: no strands are needed.
  acceptor_.async_accept(io_, [this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
        ec == asio::error::no_memory || ec == boost::system::errc::too_many_files_open_in_system) {
      // The connection waits in the system's queue; trying again at once would only spin.
      ++accept_pauses_;
      accept_pause_.expires_after(kAcceptPause);
      accept_pause_.async_wait([this](beast::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    if (!ec) {
      if (connections_->open >= connection_cap_) {
        // The HTTP connection that has waited longest for a request makes room; with none idle,
        // the new connection is turned away.
        const auto idle = std::find_if(connections_->http.begin(), connections_->http.end(),
                                       [](HttpConnection* c) { return c->Idle(); });
        if (idle != connections_->http.end()) {
          ++idle_closed_;
          (*idle)->Close();
        } else {
          ++connections_refused_;
          beast::error_code ignored;
          socket.close(ignored);
        }
      }
      if (socket.is_open()) Serve(std::move(socket));
    }
    Accept();
  });
}

void WebServer::Serve(tcp::socket socket) {
#if defined(VELKARO_TLS)
  if (options_.tls != nullptr) {
    std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), options_.tls->ssl),
                                             *this)
        ->Start();
    return;
  }
#endif
  std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), *this)->Start();
}

void WebServer::Refused(std::uint64_t* count, const std::string& what, const std::string& news) {
  ++*count;
  if (!news_ || refusals_told_.size() >= kMaxRefusalsTold || !refusals_told_.insert(what).second) {
    return;
  }
  news_(news);
  if (refusals_told_.size() == kMaxRefusalsTold) {
    news_("further refusals are counted in /status, not told here");
  }
}

void WebServer::PublishFrame(std::string message) {
  delivered_ = std::make_shared<const std::string>(std::move(message));
  // (A copy: a session may leave while it is being served.)
  const std::vector<WebClient*> sessions(sessions_.begin(), sessions_.end());
  for (WebClient* session : sessions) session->SendFrame(delivered_);
}

void WebServer::PublishUpstream(const UpstreamState& state) {
  upstream_json_ = UpstreamJson(state);
  nlohmann::json message = upstream_json_;
  message["type"] = "upstream";
  const std::string text = Dump(message);
  const std::vector<WebClient*> sessions(sessions_.begin(), sessions_.end());
  for (WebClient* session : sessions) session->SendControl(text);
}

bool WebServer::Join(WebClient* session) {
  const std::size_t cap = std::min(options_.max_clients,
                                   connection_cap_ > kHttpRoom ? connection_cap_ - kHttpRoom : 1);
  if (sessions_.size() >= cap) {
    ++clients_refused_;
    return false;
  }
  sessions_.insert(session);
  return true;
}

void WebServer::Leave(WebClient* session) {
  sessions_.erase(session);
}

nlohmann::json WebServer::Status() const {
  nlohmann::json gateway{
      {"version", VELKARO_VERSION_TEXT},
      {"uptime_s",
       std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count()},
      {"http_bind", options_.bind},
      {"http_port", port_},
      {"websocket_clients", sessions_.size()},
      {"max_websocket_clients", options_.max_clients},
      {"frames_delivered", frames_delivered_},
      {"frames_dropped_for_slow_clients", frames_dropped_},
      {"clients_refused", clients_refused_},
      {"clients_dropped_for_not_reading", clients_stalled_},
      {"connections", connections_->open},
      {"max_connections", connection_cap_},
      {"idle_connections_closed_for_new_ones", idle_closed_},
      {"connections_refused_at_cap", connections_refused_},
      {"accept_pauses_without_descriptors", accept_pauses_},
      {"token_required", access_ && access_->token_required()},
      {"tls", access_ && access_->options().tls},
      {"tls_handshake_failures", tls_handshakes_failed_},
      {"requests_refused_for_host", hosts_refused_},
      {"websockets_refused_for_origin", origins_refused_},
      {"commands_refused_without_token", commands_refused_}};
  const nlohmann::json addon = AddonStatusJson(upstream_);
  nlohmann::json status{
      {"gateway", gateway}, {"upstream", UpstreamJson(upstream_.State())}, {"addon", addon}};
  if (extra_status_) status.update(extra_status_());
  return status;
}

}  // namespace zelm::serve
