#include "serve/gateway.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>

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
  const std::string addon = options.upstream.host + ":" + std::to_string(options.upstream.port);
  Upstream upstream(
      options.upstream, [&](const Frame& frame) { web->PublishFrame(FrameMessage(frame, ++seq)); },
      [&](const UpstreamState& state) {
        if (state.connected) {
          std::fprintf(out, "zelm serve: connected to the add-on at %s\n", addon.c_str());
        } else {
          std::fprintf(out, "zelm serve: simulator connection lost (%s); retrying\n",
                       state.error.c_str());
        }
        std::fflush(out);
        web->PublishUpstream(state);
      });
  web = std::make_unique<WebServer>(io, options.web, upstream);
  std::string error;
  if (!web->Listen(&error)) {
    std::fprintf(stderr, "zelm: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(out, "zelm serve: instrument panel at http://%s:%u/ (add-on at %s); Ctrl-C stops\n",
               options.web.bind == "0.0.0.0" ? "localhost" : options.web.bind.c_str(), web->port(),
               addon.c_str());
  std::fflush(out);
  if (on_listening) on_listening(web->port());
  upstream.Start();
  boost::asio::steady_timer timer(io);
  WatchStop(timer, stop, io);
  io.run();
  upstream.Stop();
  return 0;
}

}  // namespace zelm::serve
