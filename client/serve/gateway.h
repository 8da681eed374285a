// `zelm serve`: the gateway. One upstream session with the add-on (serve/upstream.h), fanned
// out to browsers and programs over HTTP and WebSocket (serve/web_server.h).
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "serve/mqtt_bridge.h"
#include "serve/upstream.h"
#include "serve/web_server.h"

namespace zelm::serve {

struct GatewayOptions {
  UpstreamOptions upstream;
  bool http = true;  // the browser side
  WebOptions web;
  std::optional<MqttOptions> mqtt;  // the MQTT side, when given
  std::string record_folder;        // when given, a flight recording per add-on connection
};

// Runs until `stop` becomes true; returns the exit status (0, or 1 when the HTTP port cannot be
// opened, the MQTT side cannot work at all or the recordings' folder cannot be made; a broker that is down is retried, not an error). Says
// what it does on `out` (where to open the panel, the add-on coming and going). `on_listening`,
// when given, is called once the HTTP side listens, with its port.
int RunGateway(const GatewayOptions& options, const std::atomic<bool>& stop, std::FILE* out,
               const std::function<void(std::uint16_t)>& on_listening = {});

}  // namespace zelm::serve
