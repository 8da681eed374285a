#include "zelm_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "common/coding.h"
#include "common/protocol.h"
#include "frame_json.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace zelm {

namespace protocol = velkaro::protocol;
namespace platform = velkaro::platform;
using velkaro::FrameField;
using velkaro::FrameType;

// The handle is held in the public header as its integer type.
static_assert(std::is_same_v<platform::SocketHandle, std::uintptr_t>);

namespace {

// A system error's text, or a text of our own where the system has none (Wine has none for
// some socket errors).
std::string ErrorText(int code) {
  std::string text = velkaro::platform::SystemErrorText(code);
  return text.empty() ? "system error " + std::to_string(code) : text;
}

// How a failed wait begins its reason.
std::string StallText(bool for_sending) {
  return for_sending ? "sending stalled: " : "no reply from the add-on: ";
}

std::string Number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// JSON text of a value, in ASCII (non-ASCII characters escaped).
std::string JsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', true);
}

std::string ElementText(const std::uint8_t* bytes, const FrameField& f, std::size_t index) {
  const std::uint8_t* text = bytes + f.offset + f.text_length * index;
  std::size_t length = 0;
  while (length < f.text_length && text[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(text), length);
}

double ElementNumber(const std::uint8_t* bytes, const FrameField& f, std::size_t index) {
  const std::uint8_t* element = bytes + f.offset + velkaro::ElementWidth(f) * index;
  switch (f.type) {
    case FrameType::kF64:
      return velkaro::DecodeF64(element);
    case FrameType::kI32:
      return velkaro::DecodeI32(element);
    case FrameType::kU8:
      return *element;
    case FrameType::kText:
      break;
  }
  return 0.0;
}

}  // namespace

std::optional<double> Frame::Number(std::string_view name, std::size_t index) const {
  const FrameField* f = velkaro::FindFrameField(name);
  if (f == nullptr || f->type == FrameType::kText || index >= f->count) return std::nullopt;
  return ElementNumber(bytes.data(), *f, index);
}

std::optional<std::string> Frame::Text(std::string_view name, std::size_t index) const {
  const FrameField* f = velkaro::FindFrameField(name);
  if (f == nullptr || f->type != FrameType::kText || index >= f->count) return std::nullopt;
  return ElementText(bytes.data(), *f, index);
}

double Frame::NumberAt(const FrameField& f, std::size_t index) const {
  return f.type == FrameType::kText || index >= f.count ? 0.0
                                                        : ElementNumber(bytes.data(), f, index);
}

std::string Frame::TextAt(const FrameField& f, std::size_t index) const {
  return f.type != FrameType::kText || index >= f.count ? std::string()
                                                        : ElementText(bytes.data(), f, index);
}

std::string Frame::Format(const FrameField& f, std::size_t index) const {
  if (f.type == FrameType::kText) return ElementText(bytes.data(), f, index);
  return zelm::Number(ElementNumber(bytes.data(), f, index));
}

std::string Frame::ToJson() const {
  std::vector<const FrameField*> all;
  for (const FrameField& f : velkaro::kFrameFields) all.push_back(&f);
  return ToJson(all);
}

std::string Frame::ToJson(const std::vector<const FrameField*>& fields) const {
  std::string out = "{";
  bool first = true;
  for (const FrameField* field : fields) {
    const FrameField& f = *field;
    out += first ? "\n  " : ",\n  ";
    first = false;
    out += JsonText(f.name) + ": {\"unit\": " + JsonText(f.unit) + ", \"value\": ";
    if (f.count > 1) out += "[";
    for (std::size_t i = 0; i < f.count; ++i) {
      if (i > 0) out += ", ";
      out += JsonText(ElementJson(*this, f, i));
    }
    if (f.count > 1) out += "]";
    out += "}";
  }
  return out + "\n}\n";
}

McpRequestBuilder::McpRequestBuilder() {
  block_.fill(0);
  velkaro::ResetMcpBlock(block_);
}

McpRequestBuilder& McpRequestBuilder::State(velkaro::McpStateField field, bool on) {
  velkaro::McpChange(block_, field, on ? 1 : 0);
  return *this;
}

McpRequestBuilder& McpRequestBuilder::Reference(velkaro::McpReferenceField field, double value) {
  velkaro::McpChange(block_, field, value);
  return *this;
}

namespace mcp = velkaro::mcp;
McpRequestBuilder& McpRequestBuilder::ApMaster(bool on) {
  return State(mcp::kApMaster, on);
}
McpRequestBuilder& McpRequestBuilder::Autothrottle(bool on) {
  return State(mcp::kAutothrottleArm, on);
}
McpRequestBuilder& McpRequestBuilder::FlightDirector(bool on) {
  return State(mcp::kFlightDirector, on);
}
McpRequestBuilder& McpRequestBuilder::SpeedHold(bool on) {
  return State(mcp::kSpeedHold, on);
}
McpRequestBuilder& McpRequestBuilder::N1Hold(bool on) {
  return State(mcp::kN1Hold, on);
}
McpRequestBuilder& McpRequestBuilder::MachHold(bool on) {
  return State(mcp::kMachHold, on);
}
McpRequestBuilder& McpRequestBuilder::AltitudeHold(bool on) {
  return State(mcp::kAltitudeHold, on);
}
McpRequestBuilder& McpRequestBuilder::HeadingHold(bool on) {
  return State(mcp::kHeadingHold, on);
}
McpRequestBuilder& McpRequestBuilder::LocHold(bool on) {
  return State(mcp::kLocHold, on);
}
McpRequestBuilder& McpRequestBuilder::ApproachHold(bool on) {
  return State(mcp::kApproachHold, on);
}
McpRequestBuilder& McpRequestBuilder::SpeedReference(double v) {
  return Reference(mcp::kSpeedReference, v);
}
McpRequestBuilder& McpRequestBuilder::N1Reference(double v) {
  return Reference(mcp::kN1Reference, v);
}
McpRequestBuilder& McpRequestBuilder::MachReference(double v) {
  return Reference(mcp::kMachReference, v);
}
McpRequestBuilder& McpRequestBuilder::AltitudeReference(double v) {
  return Reference(mcp::kAltitudeReference, v);
}
McpRequestBuilder& McpRequestBuilder::VerticalSpeedReference(double v) {
  return Reference(mcp::kVerticalSpeedReference, v);
}
McpRequestBuilder& McpRequestBuilder::HeadingBug(double v) {
  return Reference(mcp::kHeadingBug, v);
}
McpRequestBuilder& McpRequestBuilder::Nav1Course(double v) {
  return Reference(mcp::kNav1Course, v);
}

McpRequestBuilder& McpRequestBuilder::Altitude(double feet) {
  velkaro::McpSetF64(block_, mcp::kAltitudeRequest, feet);
  return *this;
}
McpRequestBuilder& McpRequestBuilder::VerticalSpeed(double fpm) {
  velkaro::McpSetF64(block_, mcp::kVerticalSpeedRequest, fpm);
  return *this;
}
McpRequestBuilder& McpRequestBuilder::Speed(double value) {
  velkaro::McpSetF64(block_, mcp::kSpeedRequest, value);
  return *this;
}
McpRequestBuilder& McpRequestBuilder::Heading(double degrees) {
  velkaro::McpSetF64(block_, mcp::kHeadingRequest, degrees);
  return *this;
}

McpRequestBuilder& McpRequestBuilder::Write(const velkaro::McpSetting& setting, double value) {
  velkaro::McpWriteSetting(block_, setting, value);
  return *this;
}

std::uint32_t McpRequestBuilder::CheckValue() const {
  return velkaro::McpCheckValue(block_.data());
}

// ---------------------------------------------------------------------------------------------

std::string HostProblem(std::string_view host) {
  const std::size_t colon = host.find(':');
  if (colon == std::string_view::npos) return "";
  const std::string_view after = host.substr(colon + 1);
  if (!after.empty() && after.find_first_not_of("0123456789") == std::string_view::npos) {
    return "give the port on its own (--port " + std::string(after) + "), not in the host name";
  }
  return "IPv6 is not supported: use an IPv4 address";
}

namespace {

ErrorKind KindOf(platform::ConnectFailure failure) {
  switch (failure) {
    case platform::ConnectFailure::kNone:
      return ErrorKind::kNone;
    case platform::ConnectFailure::kNameNotResolved:
      return ErrorKind::kNameNotResolved;
    case platform::ConnectFailure::kRefused:
      return ErrorKind::kRefused;
    case platform::ConnectFailure::kTimedOut:
      return ErrorKind::kTimedOut;
    case platform::ConnectFailure::kInterrupted:
      return ErrorKind::kInterrupted;
    case platform::ConnectFailure::kOther:
      break;
  }
  return ErrorKind::kOther;
}

}  // namespace

std::unique_ptr<Connection> Connection::Open(const std::string& host, std::uint16_t port,
                                             std::string* error, int timeout_ms,
                                             const std::atomic<bool>* cancel,
                                             ConnectFailure* failure) {
  // Windows Sockets must be started before the first socket: once for the process, so an
  // application needs no start-up of its own, and never cleaned up here, as the application may
  // have sockets of its own. Elsewhere a no-op.
  static const int sockets_startup = platform::SocketsStartup();
  if (sockets_startup != 0) {
    if (error != nullptr) *error = "cannot start Windows Sockets: " + ErrorText(sockets_startup);
    if (failure != nullptr) *failure = ErrorKind::kOther;
    return nullptr;
  }
  const std::string where = "cannot connect to " + host + ":" + std::to_string(port) + ": ";
  if (const std::string problem = HostProblem(host); !problem.empty()) {
    if (error != nullptr) *error = where + problem;
    if (failure != nullptr) *failure = ErrorKind::kOther;
    return nullptr;
  }
  std::string reason;
  platform::ConnectFailure platform_why = platform::ConnectFailure::kNone;
  const platform::SocketHandle socket =
      platform::ConnectTcp(host, port, &reason, timeout_ms, cancel, &platform_why);
  const ErrorKind why = KindOf(platform_why);
  if (failure != nullptr) *failure = why;
  if (socket == platform::kInvalidSocket) {
    if (error != nullptr) {
      switch (why) {
        case ErrorKind::kNameNotResolved:
          *error = where + "the host name could not be resolved" +
                   (reason.empty() ? "" : " (" + reason + ")");
          break;
        case ErrorKind::kRefused:
          // The systems' texts differ, and Wine has none for it.
          *error = where + "connection refused";
          break;
        default:
          *error = where + (reason.empty() ? "the system gave no reason" : reason);
          break;
      }
    }
    return nullptr;
  }
  platform::SetReceiveTimeout(socket, timeout_ms);
  platform::SetNoDelay(socket);
  return std::unique_ptr<Connection>(
      new Connection(socket, std::chrono::milliseconds(timeout_ms), cancel));
}

Connection::~Connection() {
  platform::CloseSocket(socket_);
}

void Connection::SetDeadline(std::chrono::milliseconds limit) {
  has_deadline_ = true;
  deadline_ = Clock::now() + limit;
  deadline_limit_ = limit;
}

void Connection::ShutdownSending() {
  platform::Shutdown(socket_, platform::ShutdownHow::kSend);
}

void Connection::Shutdown() {
  platform::Shutdown(socket_, platform::ShutdownHow::kBoth);
}

bool Connection::Fail(Failure failure) {
  failure_ = std::move(failure);
  return false;
}

// False, with the reason in failure_, once the cancel flag is set or the deadline has passed.
bool Connection::InTime(bool for_sending) {
  if (cancel_ != nullptr && cancel_->load()) return Fail({ErrorKind::kInterrupted, "interrupted"});
  if (has_deadline_ && Clock::now() >= deadline_) {
    const Failure timed_out = TimedOut(deadline_limit_);
    return Fail({timed_out.kind, StallText(for_sending) + timed_out.text});
  }
  return true;
}

// One slice of a wait for room to send or for bytes to receive: at most until `wait_end` or the
// deadline, and short enough to notice the cancel flag. `*ready` tells whether the socket is
// ready; false, with the reason in failure_, once the wait is cancelled, out of time or failed.
bool Connection::WaitSlice(bool for_sending, Clock::time_point wait_end, bool* ready) {
  if (!InTime(for_sending)) return false;
  const Clock::time_point now = Clock::now();
  if (now >= wait_end) {
    const Failure timed_out = TimedOut(wait_);
    return Fail({timed_out.kind, StallText(for_sending) + timed_out.text});
  }
  const Clock::time_point end = has_deadline_ ? std::min(wait_end, deadline_) : wait_end;
  auto slice = std::chrono::ceil<std::chrono::milliseconds>(end - now);
  if (cancel_ != nullptr) {
    slice = std::min(slice, std::chrono::milliseconds(platform::kCancelCheckMs));
  }
  const int result = platform::WaitSocket(socket_, for_sending, static_cast<int>(slice.count()));
  if (result < 0) {
    return Fail(
        {ErrorKind::kOther, StallText(for_sending) + ErrorText(platform::LastSocketError())});
  }
  *ready = result > 0;
  return true;
}

bool Connection::SendAll(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  Clock::time_point wait_end = Clock::now() + wait_;
  while (length > 0) {
    // Only what fits now: a peer that stops reading must not hold a send beyond the limits.
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    const int n = platform::SendSome(socket_, bytes, chunk);
    if (n > 0) {
      // A peer that takes a little now and then must not stretch the send past the limits.
      bytes += n;
      length -= static_cast<std::size_t>(n);
      wait_end = Clock::now() + wait_;
      if (length > 0 && !InTime(true)) return false;
      continue;
    }
    const int code = platform::LastSocketError();
    if (n < 0 && !platform::IsWouldBlockError(code) && !platform::IsSendRetryError(code)) {
      if (!answered_ && commands_sent_ <= 1) return Fail(ClosedAtOnce());
      return Fail(
          {ErrorKind::kClosed, "the connection was lost while sending: " + ErrorText(code)});
    }
    bool ready = false;
    if (!WaitSlice(true, wait_end, &ready)) return false;
  }
  return true;
}

bool Connection::ReceiveAll(void* data, std::size_t length) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  Clock::time_point wait_end = Clock::now() + wait_;
  while (length > 0) {
    // Received only once there is something to receive, so no receive blocks.
    bool ready = false;
    if (!WaitSlice(false, wait_end, &ready)) return false;
    if (!ready) continue;
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    const int n = platform::Receive(socket_, bytes, chunk);
    const bool refused = !answered_ && commands_sent_ <= 1;
    if (n == 0) return Fail(refused ? ClosedAtOnce() : Closed());
    if (n < 0) {
      // A receive that ran into the socket's own timeout says so in the words of the others,
      // not in the system's ("Resource temporarily unavailable"); a reset before any answer is
      // the add-on's refusal (it closed the connection with the request unread).
      const int code = platform::LastSocketError();
      if (refused && !platform::IsTimeoutError(code)) return Fail(ClosedAtOnce());
      const Failure failure = platform::IsTimeoutError(code)
                                  ? TimedOut(wait_)
                                  : Failure{ErrorKind::kOther, ErrorText(code)};
      return Fail({failure.kind, StallText(false) + failure.text});
    }
    answered_ = true;
    bytes += n;
    length -= static_cast<std::size_t>(n);
    wait_end = Clock::now() + wait_;
  }
  return true;
}

bool Connection::Send(Command command) {
  ++commands_sent_;
  const std::string_view tag = CommandTag(command);
  return SendAll(tag.data(), tag.size());
}

bool Connection::Receive(ReplyReader* reader) {
  while (!reader->complete()) {
    const std::span<std::uint8_t> needed = reader->Needed();
    if (!ReceiveAll(needed.data(), needed.size())) return false;
    if (!reader->Filled()) return Fail(reader->failure());
  }
  return true;
}

bool Connection::FetchFrame(Frame* frame) {
  ReplyReader reader(Command::kFrame);
  if (!Send(Command::kFrame) || !Receive(&reader)) return false;
  frame->bytes = reader.frame();
  return true;
}

bool Connection::FetchFmc(std::vector<std::uint8_t>* data, std::uint32_t* version) {
  ReplyReader reader(Command::kFmcRead);
  if (!Send(Command::kFmcRead) || !Receive(&reader)) return false;
  *data = std::move(reader.data());
  *version = reader.version();
  return true;
}

bool Connection::FetchStatus(std::string* json) {
  ReplyReader reader(Command::kStatus);
  if (!Send(Command::kStatus)) return false;
  if (!Receive(&reader)) {
    if (!reader.started()) failure_ = NoStatusReply(failure_, answered_);
    return false;
  }
  *json = reader.text();
  return true;
}

bool Connection::FetchFmcHead(std::array<std::uint8_t, protocol::kFmcHeadBytes>* head) {
  ReplyReader reader(Command::kFmcHead);
  if (!Send(Command::kFmcHead) || !Receive(&reader)) return false;
  *head = reader.head();
  return true;
}

bool Connection::Sync() {
  std::array<std::uint8_t, protocol::kFmcHeadBytes> head;
  return FetchFmcHead(&head);
}

bool Connection::UploadMcp(const velkaro::McpBlock& block) {
  const McpUploadMessage message = McpUpload(block);
  ++commands_sent_;
  return SendAll(message.data(), message.size());
}

bool Connection::Store(Command command, std::span<const std::uint8_t> data, std::uint32_t version) {
  StoreMessage message;
  if (Failure failure = StoreUpload(command, data.size(), version, &message);
      failure.kind != ErrorKind::kNone) {
    return Fail(std::move(failure));
  }
  ++commands_sent_;
  return SendAll(message.head.data(), message.head.size()) && SendAll(data.data(), data.size()) &&
         SendAll(message.tail.data(), message.tail.size());
}

bool Connection::StoreFmc(std::span<const std::uint8_t> data, std::uint32_t version) {
  return Store(Command::kFmcStore, data, version);
}

bool Connection::StoreFlightPlan(std::span<const std::uint8_t> data, std::uint32_t version) {
  return Store(Command::kFlightPlanStore, data, version);
}

}  // namespace zelm
