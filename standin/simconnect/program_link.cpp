#include "simconnect/program_link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/coding.h"
#include "simconnect/simconnect.h"

namespace velkaro::standin::link {
namespace {

struct CallShape {
  LinkKind kind;
  std::size_t numbers;
  std::size_t texts;
};

constexpr CallShape kCallShapes[] = {
    {LinkKind::kHello, 1, 1},
    {LinkKind::kAddToDataDefinition, 4, 2},
    {LinkKind::kSubscribeToSystemEvent, 1, 1},
    {LinkKind::kRequestDataOnSimObjectType, 4, 0},
    {LinkKind::kRequestSystemState, 1, 1},
    {LinkKind::kMapClientEventToSimEvent, 1, 1},
    {LinkKind::kTransmitClientEvent, 5, 0},
};

const CallShape* ShapeOf(std::uint32_t kind) {
  for (const CallShape& shape : kCallShapes) {
    if (static_cast<std::uint32_t>(shape.kind) == kind) return &shape;
  }
  return nullptr;
}

void PutU32(std::vector<std::uint8_t>* out, std::uint32_t value) {
  const std::size_t at = out->size();
  out->resize(at + 4);
  EncodeU32(out->data() + at, value);
}

std::vector<std::uint8_t> Header(LinkKind kind, std::uint32_t send_id) {
  std::vector<std::uint8_t> message;
  PutU32(&message, 0);  // the size, once known
  PutU32(&message, static_cast<std::uint32_t>(kind));
  PutU32(&message, send_id);
  return message;
}

void FinishSize(std::vector<std::uint8_t>* message) {
  EncodeU32(message->data(), static_cast<std::uint32_t>(message->size()));
}

// Reads the body of a call front to back; any read past the end sets `failed`.
struct BodyReader {
  const std::vector<std::uint8_t>& bytes;
  std::size_t at;
  bool failed = false;

  std::uint32_t U32() {
    if (bytes.size() - at < 4) {
      failed = true;
      return 0;
    }
    const std::uint32_t value = DecodeU32(bytes.data() + at);
    at += 4;
    return value;
  }
  std::optional<std::string> Text() {
    const std::uint32_t length = U32();
    if (failed || length == kNullText) return std::nullopt;
    if (length > kMaxTextBytes || bytes.size() - at < length) {
      failed = true;
      return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(bytes.data() + at), length);
    at += length;
    return text;
  }
};

bool IsDroppable(const std::vector<std::uint8_t>& message) {
  if (message.size() < sizeof(SIMCONNECT_RECV)) return true;
  const std::uint32_t id = DecodeU32(message.data() + 8);
  return id == SIMCONNECT_RECV_ID_SIMOBJECT_DATA ||
         id == SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE || id == SIMCONNECT_RECV_ID_EVENT_FRAME;
}

}  // namespace

std::vector<std::uint8_t> EncodeCall(const Call& call) {
  std::vector<std::uint8_t> message = Header(call.kind, call.send_id);
  PutU32(&message, static_cast<std::uint32_t>(call.numbers.size()));
  for (std::uint32_t number : call.numbers) PutU32(&message, number);
  PutU32(&message, static_cast<std::uint32_t>(call.texts.size()));
  for (const std::optional<std::string>& text : call.texts) {
    if (!text) {
      PutU32(&message, kNullText);
      continue;
    }
    // Longer names than any the simulator knows travel cut to the bound.
    const std::size_t length = std::min(text->size(), kMaxTextBytes);
    PutU32(&message, static_cast<std::uint32_t>(length));
    message.insert(message.end(), text->begin(),
                   text->begin() + static_cast<std::ptrdiff_t>(length));
  }
  FinishSize(&message);
  return message;
}

std::optional<Call> DecodeCall(const std::vector<std::uint8_t>& message) {
  if (message.size() < kHeaderBytes || message.size() > kMaxCallBytes ||
      DecodeU32(message.data()) != message.size()) {
    return std::nullopt;
  }
  const CallShape* shape = ShapeOf(DecodeU32(message.data() + 4));
  if (shape == nullptr) return std::nullopt;
  Call call;
  call.kind = shape->kind;
  call.send_id = DecodeU32(message.data() + 8);
  BodyReader reader{message, kHeaderBytes};
  if (reader.U32() != shape->numbers || reader.failed) return std::nullopt;
  for (std::size_t i = 0; i < shape->numbers; ++i) call.numbers.push_back(reader.U32());
  if (reader.U32() != shape->texts || reader.failed) return std::nullopt;
  for (std::size_t i = 0; i < shape->texts; ++i) call.texts.push_back(reader.Text());
  if (reader.failed || reader.at != message.size()) return std::nullopt;
  return call;
}

std::vector<std::uint8_t> EncodeSimConnectMessage(const std::vector<std::uint8_t>& recv) {
  std::vector<std::uint8_t> message = Header(LinkKind::kSimConnectMessage, 0);
  message.insert(message.end(), recv.begin(), recv.end());
  FinishSize(&message);
  return message;
}

std::optional<std::vector<std::uint8_t>> DecodeSimConnectMessage(
    const std::vector<std::uint8_t>& message) {
  if (message.size() < kHeaderBytes + sizeof(SIMCONNECT_RECV) ||
      message.size() > kMaxSimulatorMessageBytes || DecodeU32(message.data()) != message.size() ||
      DecodeU32(message.data() + 4) != static_cast<std::uint32_t>(LinkKind::kSimConnectMessage) ||
      DecodeU32(message.data() + kHeaderBytes) != message.size() - kHeaderBytes) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(message.begin() + kHeaderBytes, message.end());
}

bool ReceiveMessage(platform::SocketHandle s, std::size_t max_bytes,
                    std::vector<std::uint8_t>* message) {
  const auto receive_all = [s](std::uint8_t* into, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
      const int n = platform::Receive(s, into + got, static_cast<int>(length - got));
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  };
  std::uint8_t size_word[4];
  if (!receive_all(size_word, sizeof size_word)) return false;
  const std::uint32_t size = DecodeU32(size_word);
  if (size < kHeaderBytes || size > max_bytes) return false;
  message->resize(size);
  std::memcpy(message->data(), size_word, sizeof size_word);
  return receive_all(message->data() + 4, size - 4);
}

bool SendAll(platform::SocketHandle s, const std::vector<std::uint8_t>& message) {
  std::size_t sent = 0;
  while (sent < message.size()) {
    const int n = platform::Send(s, message.data() + sent, static_cast<int>(message.size() - sent));
    if (n < 0 && platform::IsSendRetryError(platform::LastSocketError())) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool ParseAddress(std::string_view text, std::string* host, std::uint16_t* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  const std::string_view digits = text.substr(colon + 1);
  if (digits.size() > 5) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *host = std::string(text.substr(0, colon));
  *port = static_cast<std::uint16_t>(value);
  return true;
}

std::string SimAddressFromEnvironment() {
  const char* address = std::getenv(kSimAddressVariable);
  return address != nullptr && *address != '\0' ? address : kDefaultSimAddress;
}

void QueueOfMessages::Push(std::vector<std::uint8_t> message) {
  if (messages_.size() >= kMaxQueuedMessages) {
    auto victim = messages_.begin();
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
      if (IsDroppable(*it)) {
        victim = it;
        break;
      }
    }
    messages_.erase(victim);
    ++dropped_;
  }
  messages_.push_back(std::move(message));
}

std::vector<std::uint8_t> QueueOfMessages::Pop() {
  std::vector<std::uint8_t> message = std::move(messages_.front());
  messages_.pop_front();
  return message;
}

std::deque<std::vector<std::uint8_t>> QueueOfMessages::TakeAll() {
  std::deque<std::vector<std::uint8_t>> all;
  all.swap(messages_);
  return all;
}

}  // namespace velkaro::standin::link
