// The MQTT side of a build without an MQTT library (the Windows cross build): the bridge exists,
// so the gateway is the same in every build, but it cannot start and says why.
#include <utility>

#include "serve/mqtt_bridge.h"

namespace zelm::serve {

namespace {

constexpr const char* kNoMqtt = "this build has no MQTT side (no MQTT library for it)";

}  // namespace

bool MqttBuilt() {
  return false;
}

MqttBridge::MqttBridge(MqttOptions options, Upstream& upstream,
                       std::function<void(const std::string&)> say)
    : options_(std::move(options)),
      upstream_(upstream),
      commands_(upstream),
      say_(std::move(say)) {}

MqttBridge::~MqttBridge() = default;

bool MqttBridge::Start(std::string* error) {
  *error = kNoMqtt;
  return false;
}

void MqttBridge::Stop() {}

void MqttBridge::OnFrame(const Frame&, std::string_view) {}

void MqttBridge::OnUpstream(const UpstreamState&) {}

nlohmann::json MqttBridge::Status() const {
  return nlohmann::json{{"connected", false}, {"error", kNoMqtt}};
}

}  // namespace zelm::serve
