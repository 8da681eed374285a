// The gateway's MQTT side: the aircraft published to a broker, autopilot commands taken from it.
//
// Topics, under a prefix (default "velkaro"):
//   PREFIX/frame        every new frame as one JSON object of the data-carrying fields (QoS 0)
//   PREFIX/field/NAME   one field's value as JSON (a number, a text, or an array of them),
//                       retained, published when it changes by more than the field's deadband
//                       (texts and flags on any change); all of them again after each
//                       (re)connection to the broker, so a broker that lost its retained values
//                       gets them back
//   PREFIX/status       retained JSON: online, gateway version, the add-on connection and the
//                       age of its last frame, frame rate, the add-on's own status, counters;
//                       the broker publishes {"online": false} when the gateway vanishes
//   PREFIX/mcp/set      commands in, as the browser's: {"mcp": {"ap": true, "hdg": 270}, "id": 1};
//                       a retained one is refused and deleted at the broker, an empty one ignored
//   PREFIX/mcp/result   {"id": 1, "ok": true} or {"id": 1, "ok": false, "error": "..."}
//
// Nothing queues without bound: at most `max_in_flight` messages are with the MQTT library at a
// time; past that the newest frame and the newest value of each field wait in one slot each,
// replacing older ones (counted as dropped). The library reconnects by itself, with a growing
// pause; the browser side and the add-on session do not wait for it.
//
// Commands go through the gateway's one command path (serve/commands.h).
//
// The side is built with libmosquitto (mqtt_bridge.cpp) where the build has it, the native builds;
// elsewhere (the Windows cross build: Debian has no MQTT library for it) mqtt_bridge_none.cpp
// builds the same interface, whose Start says that this build has no MQTT side.
//
// Thread-safety: OnFrame and OnUpstream come from the gateway's io thread, the library's callbacks
// from its own thread; both may be called at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serve/commands.h"
#include "serve/upstream.h"
#include "zelm_client.h"

struct mosquitto;
struct mosquitto_message;

namespace zelm::serve {

struct MqttEndpoint {
  std::string host;
  std::uint16_t port = 1883;
  bool tls = false;
  std::string user;
  std::string password;
};

// "mqtt://[user[:password]@]host[:port]" or "mqtts://..." (port 8883 by default).
bool ParseMqttUrl(const std::string& url, MqttEndpoint* endpoint, std::string* error);

// The deadband a field starts with, from its unit: e.g. 1 ft, 0.1 degree, 1 kt (latitude and
// longitude: 0.00001 degree, about a metre); 0 (any change) for texts, flags and values without
// a unit.
double DefaultDeadband(const velkaro::FrameField& field);

// Whether this build has the MQTT side (false: MqttBridge::Start refuses, saying so).
bool MqttBuilt();

struct MqttOptions {
  MqttEndpoint broker;
  std::string prefix = "velkaro";
  std::string client_id;  // empty: one of the library's making
  // Deadbands by field name, or by unit ("ft", "deg", ...), over the defaults.
  std::map<std::string, double> deadbands;
  std::chrono::milliseconds status_every{2000};
  std::size_t max_in_flight = 256;
};

class MqttBridge {
 public:
  // `say`, when given, hears of the broker coming and going (once per change; a broker that
  // cannot be reached is told after the first status period), on the bridge's own thread.
  MqttBridge(MqttOptions options, Upstream& upstream,
             std::function<void(const std::string&)> say = {});
  ~MqttBridge();  // Stop()
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Starts connecting (a broker that is down is retried, not an error); false with the reason
  // for what cannot work at all (no TLS in the library, a bad option).
  bool Start(std::string* error);
  // Publishes the offline status, disconnects and stops the library's thread.
  void Stop();

  // A new frame, and its fields as JSON text (FrameFieldsWriter), for PREFIX/frame.
  void OnFrame(const Frame& frame, std::string_view fields);
  void OnUpstream(const UpstreamState& state);

  // For the gateway's /status.
  nlohmann::json Status() const;

 private:
  struct Message {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
  };
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  void Queue(const std::string& key, Message message);  // newest wins per key
  void Flush();
  void PublishNow(const Message& message);  // status and results: past the frame slots
  void PublishStatus(bool online);
  void Command(std::string_view payload);
  void PublishResult(std::string reply);  // a command's reply, on PREFIX/mcp/result
  double Deadband(const velkaro::FrameField& field) const;
  std::size_t FrameRate() const;  // frames in the last second; mutex_ held

  void Announce();  // tells `say_` of a change of the broker connection

  const MqttOptions options_;
  Upstream& upstream_;
  const CommandPath commands_;  // to upstream_
  const std::function<void(const std::string&)> say_;
  int announced_ = -1;  // the connection state last told: -1 none yet, 0 down, 1 up, 2 refused
  mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;

  mutable std::mutex mutex_;
  std::map<std::string, Message> pending_;           // by topic
  std::vector<std::string> order_;                   // topics in the order they were first queued
  std::map<std::string, nlohmann::json> published_;  // last value queued per field
  bool connected_ = false;
  int protocol_ = 0;      // the MQTT version of the library's next connection attempt
  std::string refusal_;   // the broker's reason for refusing the last attempt, if it did
  std::string last_error_;
  std::uint64_t published_count_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t connects_ = 0;
  std::atomic<std::size_t> in_flight_{0};
  std::deque<std::chrono::steady_clock::time_point> frame_times_;  // the last second's

  std::thread status_thread_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
};

}  // namespace zelm::serve
