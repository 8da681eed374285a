// The gateway (zelm serve) between the add-on, hosted by the stand-in simulator, and WebSocket
// clients over loopback: frames fan out to many clients, one that stops reading is dropped
// without holding the others back, commands are checked before anything reaches the add-on, and
// the gateway finds the add-on again after it went away. Over TLS, the same, and a client that does
// not speak TLS is turned away without holding the gateway up.
#include "serve/gateway.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "serve/commands.h"
#include "serve/tls.h"
#include "support/addon_harness.h"

#if defined(VELKARO_TLS)
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "support/test_files.h"
#endif

namespace velkaro::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using namespace std::chrono_literals;
using Json = nlohmann::json;

// The gateway on a port of its own, in this process, with the add-on as its upstream.
class Gateway {
 public:
  static zelm::serve::GatewayOptions Options(std::chrono::milliseconds stall = 10s) {
    zelm::serve::GatewayOptions options;
    options.web.port = 0;
    options.web.stall = stall;
    options.upstream.longest_retry = 500ms;
    return options;
  }
  explicit Gateway(std::chrono::milliseconds stall = 10s) : Gateway(Options(stall)) {}
  explicit Gateway(const zelm::serve::GatewayOptions& options) {
    out_ = std::tmpfile();
    thread_ = std::thread([this, options] {
      zelm::serve::RunGateway(options, stop_, out_, [this](std::uint16_t port) { port_ = port; });
    });
    WaitUntil([this] { return port_ != 0; });
  }
  ~Gateway() {
    stop_ = true;
    thread_.join();
    std::fclose(out_);
  }
  std::uint16_t port() const { return port_; }
  // What the gateway has told its user so far.
  std::string Output() const {
    std::string text;
    std::rewind(out_);
    for (int c = std::fgetc(out_); c != EOF; c = std::fgetc(out_)) text += static_cast<char>(c);
    return text;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint16_t> port_{0};
  std::FILE* out_;
  std::thread thread_;
};

// The simulator running on a thread of its own, at 60 frames a second.
class FramePump {
 public:
  explicit FramePump(AddOnHarness& addon) : addon_(addon) {
    thread_ = std::thread([this] {
      while (!stop_) {
        if (!paused_) addon_.Frames(1, 1.0 / 60.0);
        std::this_thread::sleep_for(16ms);
      }
    });
  }
  ~FramePump() {
    stop_ = true;
    thread_.join();
  }
  void Pause(bool paused) { paused_ = paused; }

 private:
  AddOnHarness& addon_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::thread thread_;
};

// A blocking WebSocket client with a read timeout, over plain TCP or TLS.
template <class Stream>
class BasicClient {
 public:
  explicit BasicClient(std::uint16_t port, const std::string& target = "/ws") : ws_(io_) {
    Open(port, "", target);
  }
#if defined(VELKARO_TLS)
  // A browser's: the page's origin in Origin.
  BasicClient(std::uint16_t port, asio::ssl::context& tls, const std::string& origin)
      : ws_(io_, tls) {
    Open(port, origin, "/ws");
  }
#endif
  void Send(const std::string& text) { ws_.write(asio::buffer(text)); }
  // The next message of `type`, skipping others; null after `limit`.
  Json Next(const std::string& type, std::chrono::milliseconds limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      beast::flat_buffer buffer;
      beast::error_code ec = asio::error::timed_out;
      bool done = false;
      ws_.async_read(buffer, [&](beast::error_code e, std::size_t) {
        ec = e;
        done = true;
      });
      io_.restart();
      io_.run_until(until);
      if (!done) {
        beast::get_lowest_layer(ws_).cancel();  // (the read ends with an error, then is run out)
        io_.restart();
        io_.run();
        return nullptr;
      }
      if (ec) return nullptr;
      Json m = Json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
      if (m.is_object() && m["type"] == type) return m;
    }
    return nullptr;
  }

 private:
  void Open(std::uint16_t port, const std::string& origin, const std::string& target) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
      ws_.next_layer().handshake(Stream::client);
    }
    if (!origin.empty()) {
      ws_.set_option(websocket::stream_base::decorator(
          [origin](websocket::request_type& request) { request.set("Origin", origin); }));
    }
    // (Host with the port, as a browser sends it: the gateway compares it with Origin.)
    ws_.handshake("127.0.0.1:" + std::to_string(port), target);
  }

  asio::io_context io_;
  websocket::stream<Stream> ws_;
};
using Client = BasicClient<beast::tcp_stream>;

class GatewayTest : public AddOnTest {};

TEST_F(GatewayTest, EveryClientGetsFramesAndOneThatStopsReadingIsDropped) {
  FramePump pump(addon);
  // (The bound is short for a test, long enough that a client that reads is never let go while
  // a loaded machine holds the reading thread back for a moment.)
  Gateway gateway(/*stall=*/3s);
#if defined(_WIN32)
  // (Under Wine the clients, the gateway and the add-on of this one process share an emulated
  // network stack that is several times slower: fewer clients, the same checks.)
  constexpr int kClients = 50;
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // (The sanitizers look for memory faults and races, which fewer clients show as well; a
  // sanitized build reads several times slower, and the native build takes the full count.)
  constexpr int kClients = 100;
#else
  constexpr int kClients = 200;
#endif

  // One that connects, upgrades and never reads again: its frames pile up in the buffers until
  // its writes stall.
  asio::io_context stuck_io;
  websocket::stream<tcp::socket> stuck(stuck_io);
  stuck.next_layer().open(tcp::v4());
  stuck.next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
  stuck.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), gateway.port()));
  stuck.handshake("127.0.0.1", "/ws");

  // The others read every message, all in one io_context on a thread of its own, which runs
  // while the rest connect: a client that joined early is read from the start, as a browser is.
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread io_thread([&io] { io.run(); });
  struct Reader {
    explicit Reader(asio::io_context& io) : ws(io) {}
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    // The first frame is the newest one when the client joined: the gateway sends it at once.
    std::uint64_t first_seq = 0, last_seq = 0;
    int frames = 0;
    bool closed = false;  // the gateway ended it
  };
  std::vector<std::unique_ptr<Reader>> readers;
  // (Only the sequence number is read from the start of a frame message: 200 clients' whole
  // frames parsed on one thread under a sanitizer on a loaded machine would fall behind, and the
  // gateway would rightly let them go.)
  std::function<void(Reader&)> read = [&](Reader& r) {
    r.ws.async_read(r.buffer, [&, rp = &r](beast::error_code ec, std::size_t) {
      if (ec) {
        rp->closed = ec != asio::error::operation_aborted;
        return;
      }
      constexpr std::string_view kFramePrefix = R"({"type":"frame","seq":)";
      const auto data = rp->buffer.data();
      const std::string_view text(static_cast<const char*>(data.data()), data.size());
      if (text.substr(0, kFramePrefix.size()) == kFramePrefix) {
        const std::uint64_t seq = std::strtoull(text.data() + kFramePrefix.size(), nullptr, 10);
        if (rp->frames++ == 0) rp->first_seq = seq;
        rp->last_seq = seq;
      }
      rp->buffer.consume(rp->buffer.size());
      read(*rp);
    });
  };
  for (int i = 0; i < kClients; ++i) {
    readers.push_back(std::make_unique<Reader>(io));
    Reader& r = *readers.back();
    // (Connected and upgraded here, before any operation of its own runs on the io thread.)
    beast::get_lowest_layer(r.ws).connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), gateway.port()));
    r.ws.handshake("127.0.0.1", "/ws");
    asio::post(io, [&read, &r] { read(r); });
  }
  std::this_thread::sleep_for(5s);
  io.stop();
  io_thread.join();

  // Every client got frames to the end, most of the ones published while it was connected (a
  // client that fell behind for a moment got the latest, never a queue). Clients that joined
  // late are measured from when they joined: the gateway's sequence number counts from its start.
  int starved = 0, closed = 0;
  std::uint64_t newest = 0;
  for (const auto& r : readers) newest = std::max(newest, r->last_seq);
  std::string worst;
  for (const auto& r : readers) {
    closed += r->closed ? 1 : 0;
    const std::uint64_t published = newest - r->first_seq + 1;
    if (r->frames == 0 || static_cast<std::uint64_t>(r->frames) < published / 3 ||
        newest - r->last_seq > 30) {
      if (++starved == 1) {
        worst = std::to_string(r->frames) + " of the " + std::to_string(published) +
                " published since it joined at " + std::to_string(r->first_seq) + ", last " +
                std::to_string(r->last_seq);
      }
    }
  }
  EXPECT_EQ(starved, 0) << "of " << kClients << " clients, newest frame " << newest
                        << "; the first starved one got " << worst << "; " << closed
                        << " were let go by the gateway";

  // The one that stopped reading was let go, once its writes made no progress for the bound:
  // what it is sent now ends with the close.
  std::array<char, 65536> sink;
  std::size_t drained = 0;
  beast::error_code end;
  std::function<void()> drain = [&] {
    stuck.next_layer().async_read_some(asio::buffer(sink),
                                       [&](beast::error_code ec, std::size_t n) {
                                         drained += n;
                                         if (ec) {
                                           end = ec;
                                           return;
                                         }
                                         drain();
                                       });
  };
  drain();
  stuck_io.run_for(20s);  // (ends with the close, within the bound and a second after it)
  EXPECT_TRUE(end == asio::error::eof || end == asio::error::connection_reset)
      << (end ? end.message() : "still open after 20 s");
  EXPECT_GT(drained, 0u);
}

TEST_F(GatewayTest, CommandsAreCheckedAndOnlyValidOnesReachTheAddOn) {
  FramePump pump(addon);
  Gateway gateway;
  Client client(gateway.port());
  ASSERT_FALSE(client.Next("frame").is_null());

  struct Row {
    const char* message;
    const char* error;  // part of the expected error; empty: accepted
  };
  const Row rows[] = {
      {"not json", "not a command"},
      {R"({"hello": 1})", "not a command"},
      {R"({"mcp": 5, "id": 1})", "takes an object"},
      {R"({"mcp": {}, "id": 2})", "takes an object"},
      {R"({"mcp": {"warp": 9}, "id": 3})",
       "unknown autopilot setting \"warp\"; the settings are alt, vs, spd, hdg, spd_ref,"},
      {R"({"mcp": {"ap": 1}, "id": 4})", "ap takes true or false"},
      {R"({"mcp": {"hdg": "270"}, "id": 5})", "hdg takes a number"},
      {R"({"mcp": {"hdg": 2700}, "id": 6})", "hdg takes 0 to 360 deg, not 2700"},
      {R"({"mcp": {"heading": 2700}, "id": 6})", "hdg takes 0 to 360 deg, not 2700"},
      {R"({"mcp": {"alt": -1}, "id": 7})", "alt -1 means no request"},
      {R"({"mcp": {"ap": true, "hdg": 400}, "id": 8})", "hdg takes 0 to 360 deg, not 400"},
      {R"({"mcp": {"hdg": 270, "heading": 90}, "id": 8})",
       "hdg is given twice, as \"hdg\" and as \"heading\""},
      {R"({"mcp": {"ap_master": true, "hdg": 400}, "id": 8})", "hdg takes 0 to 360 deg"},
      // The older spellings, lowerCamelCase and snake_case, beside the short names.
      {R"({"mcp": {"apMaster": true, "heading": 270, "alt": 12000, "nav1_course": 90},
           "id": 9})",
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    client.Send(row.message);
    const bool is_command = std::string(row.error) != "not a command";
    const Json reply = client.Next(is_command ? "mcp_result" : "error");
    ASSERT_FALSE(reply.is_null());
    if (*row.error == '\0') {
      EXPECT_TRUE(reply["ok"].get<bool>()) << reply.dump();
    } else {
      EXPECT_NE(reply["error"].get<std::string>().find(row.error), std::string::npos)
          << reply.dump();
      if (is_command) {
        EXPECT_FALSE(reply["ok"].get<bool>());
      }
    }
  }
  // Only the valid block reached the simulator: the autopilot is on, with heading 270 (the
  // refused "ap true, hdg 400" would have engaged it alone).
  EXPECT_TRUE(WaitUntil([&] {
    const Json frame = client.Next("frame");
    return !frame.is_null() && frame["fields"]["apMaster"] == 1 &&
           frame["fields"]["apHeading"] == 270 && frame["fields"]["apAltitude"] == 12000;
  }));
}

TEST_F(GatewayTest, TheGatewayTellsWhenTheAddOnGoesAndReconnectsWhenItComesBack) {
  auto pump = std::make_unique<FramePump>(addon);
  Gateway gateway;
  Client client(gateway.port());
  ASSERT_FALSE(client.Next("frame").is_null());

  pump.reset();
  addon.Stop();
  const Json lost = client.Next("upstream");
  ASSERT_FALSE(lost.is_null());
  EXPECT_FALSE(lost["connected"].get<bool>());
  client.Send(R"({"mcp": {"ap": true}, "id": 1})");
  const Json refused = client.Next("mcp_result");
  ASSERT_FALSE(refused.is_null());
  EXPECT_NE(refused["error"].get<std::string>().find("simulator connection lost"),
            std::string::npos)
      << refused.dump();

  addon.Start();
  pump = std::make_unique<FramePump>(addon);
  // (News of further failed attempts may come first: each new reason is told.)
  Json back;
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < until) {
    back = client.Next("upstream", 15s);
    if (back.is_null() || back["connected"].get<bool>()) break;
  }
  ASSERT_FALSE(back.is_null());
  EXPECT_TRUE(back["connected"].get<bool>());
  EXPECT_FALSE(client.Next("frame", 10s).is_null()) << "frames again after the reconnection";
}

#if defined(VELKARO_TLS)

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// A new P-256 key and a certificate for 127.0.0.1 signed by that key, in PEM.
struct KeyAndCertificate {
  std::string key, cert;
  std::string encrypted_key;  // the key again, with the passphrase "secret"
};

KeyAndCertificate SelfSigned() {
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                 EVP_PKEY_free);
  const std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  const auto pem = [](const std::function<int(BIO*)>& write) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    EXPECT_EQ(write(bio.get()), 1);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
  };
  KeyAndCertificate made;
  made.key = pem([&](BIO* b) {
    return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  made.cert = pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
  made.encrypted_key = pem([&](BIO* b) {
    return PEM_write_bio_PrivateKey(b, key.get(), EVP_aes_128_cbc(), nullptr, 0, nullptr,
                                    const_cast<char*>("secret"));
  });
  return made;
}

TEST(GatewayTlsFiles, ACertificateOrKeyThatCannotServeIsToldAtStart) {
  const KeyAndCertificate pair = SelfSigned(), other = SelfSigned();
  const ScratchFolder folder;
  const std::string cert = folder.Write("cert.pem", pair.cert);
  const std::string key = folder.Write("key.pem", pair.key);
  struct Row {
    std::string cert, key;
    const char* error;  // part of the expected error; empty: the pair serves
  };
  const Row rows[] = {
      {cert, key, ""},
      // One file with both, given twice, as some tools write them.
      {folder.Write("both.pem", pair.cert + pair.key), folder.path() + "both.pem", ""},
      {folder.path() + "absent.pem", key, "cannot read the TLS certificate file"},
      {cert, folder.path() + "absent.pem", "cannot read the TLS key file"},
      {key, cert, "holds no certificate"},
      {cert, cert, "holds no private key"},
      {cert, folder.Write("other.pem", other.key), "is not the key of the certificate"},
      // (Never a question on the terminal, where the gateway would wait unseen.)
      {cert, folder.Write("encrypted.pem", pair.encrypted_key), "protected by a passphrase"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cert + " " + row.key);
    std::string error;
    const auto tls = zelm::serve::MakeTlsContext(row.cert, row.key, &error);
    if (*row.error == '\0') {
      EXPECT_NE(tls, nullptr) << error;
    } else {
      EXPECT_EQ(tls, nullptr);
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
  }
}

TEST_F(GatewayTest, OverTlsThePanelIsServedAndPlainHttpIsTurnedAway) {
  const KeyAndCertificate pair = SelfSigned();
  const ScratchFolder folder;
  zelm::serve::GatewayOptions options = Gateway::Options();
  std::string error;
  options.web.tls = zelm::serve::MakeTlsContext(folder.Write("cert.pem", pair.cert),
                                                folder.Write("key.pem", pair.key), &error);
  ASSERT_NE(options.web.tls, nullptr) << error;
  FramePump pump(addon);
  Gateway gateway(options);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), gateway.port());
  // The clients trust the gateway's certificate, and only it.
  asio::ssl::context trust(asio::ssl::context::tls_client);
  trust.add_certificate_authority(asio::buffer(pair.cert));
  trust.set_verify_mode(asio::ssl::verify_peer);

  // Plain http: the connection ends at once, with no answer.
  {
    asio::io_context io;
    beast::tcp_stream plain(io);
    plain.connect(endpoint);
    const std::string request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    asio::write(plain, asio::buffer(request));
    std::string got;
    beast::error_code end;
    plain.expires_after(5s);
    asio::async_read(plain, asio::dynamic_buffer(got),
                     [&](beast::error_code ec, std::size_t) { end = ec; });
    io.run();
    EXPECT_TRUE(end == asio::error::eof || end == asio::error::connection_reset) << end.message();
    EXPECT_EQ(got.find("HTTP/"), std::string::npos) << got;
  }

  // The next client, over TLS: the WebSocket from the panel's https origin gets frames; one from
  // the http origin of the same host and port is another origin, and is refused.
  const std::string origin = "://127.0.0.1:" + std::to_string(gateway.port());
  BasicClient<TlsStream> client(gateway.port(), trust, "https" + origin);
  EXPECT_FALSE(client.Next("frame").is_null());
  EXPECT_THROW(BasicClient<TlsStream>(gateway.port(), trust, "http" + origin),
               boost::system::system_error);

  // And /status over https, which counted the plain connection.
  asio::io_context io;
  TlsStream https(io, trust);
  beast::get_lowest_layer(https).connect(endpoint);
  https.handshake(TlsStream::client);
  namespace http = beast::http;
  http::request<http::empty_body> request{http::verb::get, "/status", 11};
  request.set(http::field::host, "127.0.0.1");
  http::write(https, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(https, buffer, response);
  ASSERT_EQ(response.result(), http::status::ok);
  const Json status = Json::parse(response.body());
  EXPECT_TRUE(status["gateway"]["tls"].get<bool>());
  EXPECT_EQ(status["gateway"]["tls_handshake_failures"], 1) << status["gateway"].dump();
}

#endif  // VELKARO_TLS

// One HTTP request with the headers given; the response's status code, 0 when none came.
int Request(std::uint16_t port, const std::string& target,
            const std::vector<std::pair<beast::http::field, std::string>>& headers,
            bool upgrade) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  stream.expires_after(10s);
  beast::http::request<beast::http::empty_body> request(beast::http::verb::get, target, 11);
  request.set(beast::http::field::host, "127.0.0.1:" + std::to_string(port));
  if (upgrade) {
    request.set(beast::http::field::connection, "Upgrade");
    request.set(beast::http::field::upgrade, "websocket");
    request.set(beast::http::field::sec_websocket_version, "13");
    request.set(beast::http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  }
  for (const auto& [field, value] : headers) request.set(field, value);
  beast::error_code ec;
  beast::http::write(stream, request, ec);
  if (ec) return 0;
  beast::flat_buffer buffer;
  beast::http::response_parser<beast::http::string_body> parser;
  parser.skip(upgrade);  // a 101 has no body
  beast::http::read_header(stream, buffer, parser, ec);
  return ec ? 0 : parser.get().result_int();
}

// Each instrument that stands alone has an address of its own, serving the panel's page (which
// shows the instrument its path names); a path that names none is not found.
TEST_F(GatewayTest, EachInstrumentHasAnAddressOfItsOwn) {
  Gateway gateway;
  const std::pair<const char*, int> rows[] = {
      {"/pfd", 200},           {"/nd", 200},
      {"/map", 200},           {"/engines", 200},
      {"/mcp", 200},           {"/history", 200},
      {"/mcp?token=abc", 200}, {"/vendor/leaflet/leaflet.js", 200},
      {"/pfd/", 404},          {"/pfd.html", 404},
      {"/radar", 404},
  };
  for (const auto& [target, status] : rows) {
    EXPECT_EQ(Request(gateway.port(), target, {}, false), status) << target;
  }
}

// Pages on other sites and names pointed at this computer are refused; whoever connects may watch,
// and only a connection with the token may fly.
TEST_F(GatewayTest, OnlyThePanelsOwnPagesConnectAndOnlyTheTokenFlies) {
  FramePump pump(addon);
  const std::string token = "0123456789abcdef0123456789abcdef";
  zelm::serve::GatewayOptions options = Gateway::Options();
  options.web.access.token = token;
  options.web.access.allow_origins = {"https://cockpit.example"};
  Gateway gateway(options);
  const std::uint16_t port = gateway.port();
  const std::string own = "http://127.0.0.1:" + std::to_string(port);
  using F = beast::http::field;
  struct Row {
    const char* what;
    std::string target;
    std::vector<std::pair<F, std::string>> headers;
    bool upgrade;
    int status;
  };
  const Row rows[] = {
      {"a program's WebSocket (no Origin)", "/ws", {}, true, 101},
      {"the panel's own page", "/ws", {{F::origin, own}}, true, 101},
      {"an --allow-origin page", "/ws", {{F::origin, "https://cockpit.example"}}, true, 101},
      {"a page on another site", "/ws", {{F::origin, "http://evil.example"}}, true, 403},
      {"the same page again (told once)", "/ws", {{F::origin, "http://evil.example"}}, true, 403},
      {"the own host on another port", "/ws", {{F::origin, "http://127.0.0.1:1"}}, true, 403},
      {"a name pointed at this computer", "/ws",
       {{F::host, "evil.example:" + std::to_string(port)}, {F::origin, "http://evil.example"}},
       true, 403},
      {"its /status", "/status", {{F::host, "evil.example"}}, false, 403},
      {"/status by address", "/status", {}, false, 200},
      {"/status by localhost", "/status", {{F::host, "localhost:8080"}}, false, 200},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Request(port, row.target, row.headers, row.upgrade), row.status) << row.what;
  }

  Client watcher(port);
  Client pilot(port, "/ws?token=" + token);
  const Json watcher_hello = watcher.Next("hello");
  const Json pilot_hello = pilot.Next("hello");
  ASSERT_FALSE(watcher_hello.is_null());
  ASSERT_FALSE(pilot_hello.is_null());
  EXPECT_EQ(watcher_hello["control"], false);
  EXPECT_EQ(pilot_hello["control"], true);
  ASSERT_FALSE(watcher.Next("frame").is_null());  // watching is open

  watcher.Send(R"({"mcp": {"ap": true, "hdg": 123}, "id": 1})");
  const Json refused = watcher.Next("mcp_result");
  ASSERT_FALSE(refused.is_null());
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["id"], 1);
  EXPECT_NE(refused["error"].get<std::string>().find("may watch but not fly"), std::string::npos)
      << refused.dump();

  // Hostile messages on the pilot's connection leave the gateway answering.
  pilot.Send(R"({"mcp": {"hdg": 1}, "id": )" + std::string(8000, '[') + std::string(8000, ']') +
             "}");
  EXPECT_FALSE(pilot.Next("error").is_null());
  pilot.Send(R"({"mcp": {"ap": true, "hdg": 270}, "id": 2})");
  const Json applied = pilot.Next("mcp_result");
  ASSERT_FALSE(applied.is_null());
  EXPECT_EQ(applied["ok"], true) << applied.dump();
  EXPECT_TRUE(WaitUntil([&] {
    const Json frame = watcher.Next("frame");
    return !frame.is_null() && frame["fields"]["apMaster"] == 1 &&
           frame["fields"]["apHeading"] == 270;
  }));
  {
    Client flooder(port, "/ws?token=" + token);
    flooder.Send(std::string(zelm::serve::kMaxCommandBytes + 1, ' '));
    EXPECT_TRUE(flooder.Next("mcp_result", 3s).is_null());  // closed, unanswered
  }

  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  beast::http::request<beast::http::empty_body> request(beast::http::verb::get, "/status", 11);
  request.set(beast::http::field::host, "localhost");
  beast::http::write(stream, request);
  beast::flat_buffer buffer;
  beast::http::response<beast::http::string_body> response;
  beast::http::read(stream, buffer, response);
  const Json status = Json::parse(response.body())["gateway"];
  EXPECT_EQ(status["token_required"], true);
  EXPECT_EQ(status["requests_refused_for_host"], 2);
  EXPECT_EQ(status["websockets_refused_for_origin"], 3);
  EXPECT_EQ(status["commands_refused_without_token"], 1);

  const std::string said = gateway.Output();
  const std::string told = "refused a WebSocket from a page at http://evil.example";
  EXPECT_NE(said.find(told), std::string::npos) << said;
  EXPECT_EQ(said.find(told), said.rfind(told)) << said;
}

}  // namespace
}  // namespace velkaro::testing
