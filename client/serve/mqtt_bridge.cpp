#include "serve/mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "common/frame_layout.h"
#include "common/version.h"
#include "frame_json.h"
#include "serve/messages.h"

namespace zelm::serve {

using Clock = std::chrono::steady_clock;
using velkaro::FrameField;
using velkaro::FrameRole;
using velkaro::FrameType;

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kFirstRetrySeconds = 1;
constexpr unsigned kLongestRetrySeconds = 30;
constexpr const char* kRetainedCommand =
    "a retained command is not executed (the broker would hand it over again at every "
    "reconnection): it was cleared from the broker; publish commands without the retain flag";

// Whether `now` differs from `before` by more than `deadband` in any element (texts: at all).
bool Changed(const nlohmann::json& before, const nlohmann::json& now, double deadband) {
  if (before.type() != now.type()) return true;
  if (now.is_array()) {
    if (before.size() != now.size()) return true;
    for (std::size_t i = 0; i < now.size(); ++i) {
      if (Changed(before[i], now[i], deadband)) return true;
    }
    return false;
  }
  if (now.is_number()) {
    const double a = before.get<double>();
    const double b = now.get<double>();
    return deadband > 0 ? std::fabs(a - b) >= deadband : a != b;
  }
  return before != now;
}

}  // namespace

double DefaultDeadband(const FrameField& f) {
  if (f.type == FrameType::kText || f.type == FrameType::kU8) return 0;
  // A position in degrees: a tenth of a degree is six miles; 0.00001 degree is about a metre.
  if (std::strcmp(f.name, "latitude") == 0 || std::strcmp(f.name, "longitude") == 0) return 1e-5;
  static const std::map<std::string, double> kByUnit = {
      {"ft", 1.0},     {"deg", 0.1},  {"kt", 1.0},   {"ft/min", 10.0}, {"%", 0.1},
      {"mbar", 0.1},   {"degC", 1.0}, {"psi", 0.5},  {"klb/h", 0.01},  {"nm", 0.1},
      {"MHz", 0.001},  {"kHz", 0.5},  {"g", 0.01},   {"gal", 1.0},     {"s", 1.0},
      {"in-lb", 10.0}, {"rpm", 10.0}, {"deg/s", 0.1}};
  const auto found = kByUnit.find(f.unit);
  return found == kByUnit.end() ? 0.0 : found->second;
}

MqttBridge::MqttBridge(MqttOptions options, Upstream& upstream,
                       std::function<void(const std::string&)> say)
    : options_(std::move(options)),
      upstream_(upstream),
      commands_(upstream),
      say_(std::move(say)) {}

bool MqttBuilt() {
  return true;
}

void MqttBridge::Announce() {
  if (!say_) return;
  std::string news;
  {
    std::lock_guard lock(mutex_);
    const int state = connected_ ? 1 : refusal_.empty() ? 0 : 2;
    if (state == announced_) return;
    announced_ = state;
    const std::string broker = options_.broker.host + ":" + std::to_string(options_.broker.port);
    if (connected_) {
      news = "connected to the MQTT broker at " + broker;
    } else if (!refusal_.empty()) {
      news = "the MQTT broker at " + broker + " refused the connection: " + refusal_ + "; retrying";
    } else {
      news = "the MQTT broker at " + broker + " cannot be reached" +
             (last_error_.empty() ? "" : " (" + last_error_ + ")") + "; retrying";
    }
  }
  say_(news);
}

MqttBridge::~MqttBridge() {
  Stop();
}

double MqttBridge::Deadband(const FrameField& f) const {
  if (auto by_name = options_.deadbands.find(f.name); by_name != options_.deadbands.end()) {
    return by_name->second;
  }
  if (f.type != FrameType::kText && f.type != FrameType::kU8) {
    if (auto by_unit = options_.deadbands.find(f.unit); by_unit != options_.deadbands.end()) {
      return by_unit->second;
    }
  }
  return DefaultDeadband(f);
}

bool MqttBridge::Start(std::string* error) {
  mosquitto_lib_init();
  mosq_ =
      mosquitto_new(options_.client_id.empty() ? nullptr : options_.client_id.c_str(), true, this);
  if (mosq_ == nullptr) {
    *error = "cannot create an MQTT client";
    return false;
  }
  // MQTT 5, for the subscription option that keeps a command's retain flag as it was published
  // (OnMessage); a broker of MQTT 3.1.1 only is met with that instead (OnConnect).
  protocol_ = MQTT_PROTOCOL_V5;
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, protocol_);
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);
  mosquitto_reconnect_delay_set(mosq_, kFirstRetrySeconds, kLongestRetrySeconds, true);
  const MqttEndpoint& broker = options_.broker;
  if (!broker.user.empty() &&
      mosquitto_username_pw_set(mosq_, broker.user.c_str(),
                                broker.password.empty() ? nullptr : broker.password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    *error = "the MQTT user name or password cannot be used";
    return false;
  }
  if (broker.tls) {
    if (mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_SUCCESS) {
      *error = "this build's MQTT library has no TLS: use mqtt://";
      return false;
    }
  }
  const std::string offline =
      Dump(nlohmann::json{{"online", false}, {"gateway", VELKARO_VERSION_TEXT}});
  const std::string status_topic = options_.prefix + "/status";
  mosquitto_will_set(mosq_, status_topic.c_str(), static_cast<int>(offline.size()), offline.data(),
                     1, true);
  // A broker that is not there yet is no error: the library's thread keeps trying.
  const int rc =
      mosquitto_connect_async(mosq_, broker.host.c_str(), broker.port, kKeepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard lock(mutex_);
    last_error_ = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  }
  if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
    *error = "cannot start the MQTT client's thread";
    return false;
  }
  loop_started_ = true;
  status_thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      stop_cv_.wait_for(lock, options_.status_every);
      if (stopping_) break;
      lock.unlock();
      Announce();
      PublishStatus(true);
      lock.lock();
    }
  });
  return true;
}

void MqttBridge::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (status_thread_.joinable()) status_thread_.join();
  if (mosq_ == nullptr) return;
  if (loop_started_) {
    bool connected;
    {
      std::lock_guard lock(mutex_);
      connected = connected_;
    }
    if (connected) PublishStatus(false);
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  mosquitto_lib_cleanup();
}

void MqttBridge::OnConnect(mosquitto*, void* self_pointer, int rc) {
  auto* self = static_cast<MqttBridge*>(self_pointer);
  int protocol;
  {
    std::lock_guard lock(self->mutex_);
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && self->protocol_ == MQTT_PROTOCOL_V5) {
      // The library's next attempt speaks MQTT 3.1.1.
      self->protocol_ = MQTT_PROTOCOL_V311;
      mosquitto_int_option(self->mosq_, MOSQ_OPT_PROTOCOL_VERSION, self->protocol_);
      self->last_error_ = "the broker does not speak MQTT 5; trying MQTT 3.1.1";
      return;
    }
    if (rc != 0) {
      // The broker's reason (e.g. not authorised, bad user name or password), which the
      // disconnection that follows keeps.
      self->refusal_ = self->protocol_ == MQTT_PROTOCOL_V5 ? mosquitto_reason_string(rc)
                                                           : mosquitto_connack_string(rc);
      self->last_error_ = "the broker refused the connection: " + self->refusal_;
      return;
    }
    self->connected_ = true;
    self->refusal_.clear();
    self->last_error_.clear();
    protocol = self->protocol_;
    ++self->connects_;
    // Messages queued before the break went with the old connection; every field is published
    // again, so the broker has each current value retained.
    self->in_flight_ = 0;
    self->published_.clear();
  }
  const std::string commands = self->options_.prefix + "/mcp/set";
  if (protocol == MQTT_PROTOCOL_V5) {
    // Retain as published: a command published retained while the gateway is subscribed is
    // refused as one delivered from the broker's store. No local: the empty message that clears
    // a retained command does not come back.
    mosquitto_subscribe_v5(self->mosq_, nullptr, commands.c_str(), 1,
                           MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_NO_LOCAL, nullptr);
  } else {
    // MQTT 3.1.1 marks retained only what the broker hands over from its store when the gateway
    // subscribes; that, the command that would come back at each reconnection, is refused.
    mosquitto_subscribe(self->mosq_, nullptr, commands.c_str(), 1);
  }
  self->PublishStatus(true);
  self->Flush();
}

void MqttBridge::OnDisconnect(mosquitto*, void* self_pointer, int rc) {
  auto* self = static_cast<MqttBridge*>(self_pointer);
  std::lock_guard lock(self->mutex_);
  self->connected_ = false;
  if (rc != 0 && self->refusal_.empty()) self->last_error_ = "the connection to the broker was lost";
}

void MqttBridge::OnPublish(mosquitto*, void* self_pointer, int) {
  auto* self = static_cast<MqttBridge*>(self_pointer);
  if (self->in_flight_ > 0) --self->in_flight_;
  self->Flush();
}

void MqttBridge::OnMessage(mosquitto*, void* self_pointer, const mosquitto_message* message) {
  auto* self = static_cast<MqttBridge*>(self_pointer);
  // An empty message is how a retained message is deleted, by the gateway (below) or anyone
  // else; it is no command and gets no reply.
  if (message->payloadlen <= 0 || message->payload == nullptr) return;
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen));
  if (message->retain) {
    // A retained command would be executed again at every reconnection (after the pilot had
    // changed the settings since): it is deleted at the broker and refused.
    self->PublishNow(Message{self->options_.prefix + "/mcp/set", "", 1, true});
    self->PublishResult(CommandPath::Refuse(payload, ReplyForm::kMqtt, kRetainedCommand));
    return;
  }
  self->Command(payload);
}

void MqttBridge::Queue(const std::string& key, Message message) {
  auto [slot, fresh] = pending_.try_emplace(key, std::move(message));
  if (fresh) {
    order_.push_back(key);
  } else {
    slot->second = std::move(message);
    ++dropped_;  // the older one never went out
  }
}

void MqttBridge::Flush() {
  std::vector<Message> out;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return;
    std::size_t taken = 0;
    while (taken < order_.size() && in_flight_ < options_.max_in_flight) {
      auto found = pending_.find(order_[taken]);
      out.push_back(std::move(found->second));
      pending_.erase(found);
      ++in_flight_;
      ++taken;
    }
    order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(taken));
  }
  for (const Message& m : out) {
    const int rc =
        mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                          m.payload.data(), m.qos, m.retain);
    std::lock_guard lock(mutex_);
    if (rc == MOSQ_ERR_SUCCESS) {
      ++published_count_;
    } else {
      if (in_flight_ > 0) --in_flight_;
      ++dropped_;
    }
  }
}

void MqttBridge::PublishNow(const Message& m) {
  mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                    m.payload.data(), m.qos, m.retain);
}

void MqttBridge::OnFrame(const Frame& frame, std::string_view fields) {
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    frame_times_.push_back(now);
    while (!frame_times_.empty() && now - frame_times_.front() > std::chrono::seconds(1)) {
      frame_times_.pop_front();
    }
    if (!connected_) return;  // nothing waits for a broker that is not there
    Queue(options_.prefix + "/frame",
          Message{options_.prefix + "/frame", std::string(fields), 0, false});
    for (const FrameField& f : velkaro::kFrameFields) {
      if (f.role != FrameRole::kValue) continue;
      nlohmann::json value = FieldJson(frame, f);
      auto last = published_.find(f.name);
      if (last != published_.end() && !Changed(last->second, value, Deadband(f))) continue;
      const std::string topic = options_.prefix + "/field/" + f.name;
      Queue(topic, Message{topic, Dump(value), 0, true});
      published_[f.name] = std::move(value);
    }
  }
  Flush();
}

void MqttBridge::OnUpstream(const UpstreamState&) {
  PublishStatus(true);
}

void MqttBridge::PublishStatus(bool online) {
  nlohmann::json status;
  if (online) {
    status = Status();
    status["online"] = true;
    status["gateway"] = VELKARO_VERSION_TEXT;
    status["upstream"] = UpstreamJson(upstream_.State());
    status["addon"] = AddonStatusJson(upstream_);
  } else {
    status = {{"online", false}, {"gateway", VELKARO_VERSION_TEXT}};
  }
  PublishNow(Message{options_.prefix + "/status", Dump(status), 1, true});
}

std::size_t MqttBridge::FrameRate() const {
  const auto now = Clock::now();
  std::size_t count = 0;
  for (const auto& t : frame_times_) count += now - t <= std::chrono::seconds(1) ? 1 : 0;
  return count;
}

nlohmann::json MqttBridge::Status() const {
  std::lock_guard lock(mutex_);
  return nlohmann::json{
      {"broker", options_.broker.host + ":" + std::to_string(options_.broker.port)},
      {"connected", connected_},
      {"error", last_error_},
      {"connects", connects_},
      {"frame_rate_hz", FrameRate()},
      {"published", published_count_},
      {"dropped", dropped_}};
}

void MqttBridge::Command(std::string_view payload) {
  std::optional<std::string> reply = commands_.Run(
      payload, ReplyForm::kMqtt, [this](std::string later) { PublishResult(std::move(later)); });
  if (reply) PublishResult(std::move(*reply));
}

void MqttBridge::PublishResult(std::string reply) {
  PublishNow(Message{options_.prefix + "/mcp/result", std::move(reply), 1, false});
}

}  // namespace zelm::serve
