#include "serve/gateway.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>

#include "serve/flight_recorder.h"
#include "serve/messages.h"

namespace zelm::serve {

namespace {

void WatchStop(boost::asio::steady_timer& timer, const std::atomic<bool>& stop,
               boost::asio::io_context& io) {
  timer.expires_after(std::chrono::milliseconds(50));
  timer.async_wait([&timer, &stop, &io](const boost::system::error_code& ec) {
    if (ec) return;
    if (stop) {
      io.stop();
      return;
    }
    WatchStop(timer, stop, io);
  });
}

}  // namespace

int RunGateway(const GatewayOptions& options, const std::atomic<bool>& stop, std::FILE* out,
               const std::function<void(std::uint16_t)>& on_listening) {
  boost::asio::io_context io(1);
  std::uint64_t seq = 0;
  std::unique_ptr<WebServer> web;
  std::unique_ptr<MqttBridge> mqtt;
  const std::string addon = options.upstream.host + ":" + std::to_string(options.upstream.port);
  FrameFieldsWriter fields;  // (frames come on the io thread only)
  std::unique_ptr<FlightRecorder> recorder;
  if (!options.record_folder.empty()) {
    std::string error;
    if (!FlightRecorder::CreateFolder(options.record_folder, &error)) {
      std::fprintf(stderr, "zelm: %s\n", error.c_str());
      return 1;
    }
    recorder =
        std::make_unique<FlightRecorder>(options.record_folder, [out](const std::string& news) {
          std::fprintf(out, "zelm serve: %s\n", news.c_str());
          std::fflush(out);
        });
    std::fprintf(out, "zelm serve: recording every connection to the add-on into %s\n",
                 options.record_folder.c_str());
  }
  Upstream upstream(
      io, options.upstream,
      [&](const Frame& frame) {
        if (recorder) recorder->OnFrame(frame);
        const std::string& text = fields.Write(frame);
        if (web) web->PublishFrame(FrameMessage(text, ++seq));
        if (mqtt) mqtt->OnFrame(frame, text);
      },
      [&](const UpstreamState& state) {
        if (recorder) {
          if (state.connected) {
            recorder->OnConnected();
          } else {
            recorder->OnLost();
          }
        }
        if (state.connected) {
          std::fprintf(out, "zelm serve: connected to the add-on at %s\n", addon.c_str());
        } else {
          std::fprintf(out, "zelm serve: simulator connection lost (%s); retrying\n",
                       state.error.c_str());
        }
        std::fflush(out);
        if (web) web->PublishUpstream(state);
        if (mqtt) mqtt->OnUpstream(state);
      });
  std::string error;
  if (options.http) {
    web = std::make_unique<WebServer>(io, options.web, upstream);
    if (!web->Listen(&error)) {
      std::fprintf(stderr, "zelm: %s\n", error.c_str());
      return 1;
    }
    web->SetNews([out](const std::string& news) {
      std::fprintf(out, "zelm serve: %s\n", news.c_str());
      std::fflush(out);
    });
    const bool everywhere = options.web.bind == "0.0.0.0";
    const std::string scheme = web->access().options().tls ? "https" : "http";
    const std::string query =
        options.web.access.token.empty() ? "" : "?token=" + options.web.access.token;
    std::fprintf(out, "zelm serve: instrument panel at %s://%s:%u/%s (add-on at %s); Ctrl-C stops\n",
                 scheme.c_str(), everywhere ? "localhost" : options.web.bind.c_str(), web->port(),
                 query.c_str(), addon.c_str());
    if (everywhere) {
      boost::system::error_code ec;
      const std::string name = boost::asio::ip::host_name(ec);
      if (!ec && !name.empty()) {
        std::fprintf(out, "zelm serve: from other devices: %s://%s:%u/%s\n", scheme.c_str(),
                     name.c_str(), web->port(), query.c_str());
      }
    }
    if (options.web.access.token.empty()) {
      std::fprintf(out, "zelm serve: no control token: any program on this computer may fly\n");
    } else {
      std::fprintf(out,
                   "zelm serve: without the token, pages and programs may watch but not fly\n");
    }
    const std::size_t files = OpenFileLimit();
    if (files != 0) {
      std::fprintf(out, "zelm serve: at most %zu connections at once (the open-file limit is %zu)\n",
                   web->connection_cap(), files);
    }
  }
  if (options.mqtt) {
    mqtt = std::make_unique<MqttBridge>(*options.mqtt, upstream, [out](const std::string& news) {
      std::fprintf(out, "zelm serve: %s\n", news.c_str());
      std::fflush(out);
    });
    if (!mqtt->Start(&error)) {
      std::fprintf(stderr, "zelm: %s\n", error.c_str());
      return 1;
    }
    if (web) web->SetExtraStatus([&mqtt] { return nlohmann::json{{"mqtt", mqtt->Status()}}; });
    std::fprintf(out, "zelm serve: publishing to the MQTT broker at %s:%u under %s/\n",
                 options.mqtt->broker.host.c_str(), options.mqtt->broker.port,
                 options.mqtt->prefix.c_str());
  }
  std::fflush(out);
  if (on_listening) on_listening(web ? web->port() : 0);
  upstream.Start();
  boost::asio::steady_timer timer(io);
  WatchStop(timer, stop, io);
  io.run();
  // The add-on session first: commands still waiting get their answers while the MQTT side
  // can still send them.
  upstream.Stop();
  if (mqtt) mqtt->Stop();
  recorder.reset();  // the recording under way is finished with its index
  return 0;
}

}  // namespace zelm::serve
