// The broker's URL. Compiled into every build, since zelm's command line refers to it in every
// build, with or without the MQTT side.
#include <string>

#include "serve/mqtt_bridge.h"

namespace zelm::serve {

namespace {

bool ParsePort(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool ParseMqttUrl(const std::string& url, MqttEndpoint* endpoint, std::string* error) {
  MqttEndpoint e;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    e.tls = true;
    e.port = 8883;
  } else {
    *error =
        "the broker's URL starts with mqtt:// or mqtts:// (e.g. mqtt://127.0.0.1:1883): " + url;
    return false;
  }
  if (const std::size_t slash = rest.find('/'); slash != std::string::npos) {
    if (slash + 1 != rest.size()) {
      *error = "the broker's URL takes no path: " + url;
      return false;
    }
    rest.resize(slash);
  }
  if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const std::size_t colon = userinfo.find(':');
    e.user = userinfo.substr(0, colon);
    if (colon != std::string::npos) e.password = userinfo.substr(colon + 1);
  }
  if (!rest.empty() && rest.front() == '[') {
    *error = "IPv6 broker addresses are not supported: use an IPv4 address or a host name";
    return false;
  }
  const std::size_t colon = rest.rfind(':');
  e.host = rest.substr(0, colon);
  if (colon != std::string::npos && !ParsePort(rest.substr(colon + 1), &e.port)) {
    *error = "not a port in the broker's URL: " + url;
    return false;
  }
  if (e.host.empty()) {
    *error = "no host in the broker's URL: " + url;
    return false;
  }
  *endpoint = e;
  return true;
}

}  // namespace zelm::serve
