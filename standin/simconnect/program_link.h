// The private link between a SimConnect program outside the simulator (velkaro-bridge, the
// tests) and velkaro-sim: the stand-in SimConnect library's client side sends each SimConnect
// call over it, and velkaro-sim sends back the messages the program is to receive. Loopback TCP,
// at the address in VELKARO_SIM_ADDRESS ("HOST:PORT"; kDefaultSimAddress when unset), on both
// sides.
//
// Every message, in either direction, is length-prefixed; all words are little-endian:
//
//   offset 0   u32 size       bytes of the whole message, this word included
//   offset 4   u32 kind       a LinkKind
//   offset 8   u32 send_id    a call: the program's send id for it (what
//                             SimConnect_GetLastSentPacketID returns and an exception for the
//                             call carries); from velkaro-sim: 0
//   offset 12  body
//
// A call's body (program to velkaro-sim) holds its numeric arguments and then its texts:
//
//   u32 count of numbers (at most kMaxCallNumbers), then each number as a u32 (a float as its
//   bit pattern); u32 count of texts (at most kMaxCallTexts), then each text as a u32 length
//   (kNullText for a null pointer, else at most kMaxTextBytes) and that many bytes, no NUL.
//
// Each kind takes a fixed count of numbers and texts (kCallShapes):
//
//   kHello                       numbers: link version (kLinkVersion)   texts: program name
//   kAddToDataDefinition         define id, datum type, epsilon bits, datum id   texts: name, units
//   kSubscribeToSystemEvent      event id                               texts: event name
//   kRequestDataOnSimObjectType  request id, define id, radius, object type
//   kRequestSystemState          request id                             texts: state name
//   kMapClientEventToSimEvent    event id                               texts: event name
//   kTransmitClientEvent         object id, event id, data, group id, flags
//
// A kSimConnectMessage body (velkaro-sim to program) is one SimConnect message exactly as an
// in-process client receives it (a SIMCONNECT_RECV_* of simconnect/simconnect.h): its dwSize is
// the body's length, and at least sizeof(SIMCONNECT_RECV). The first one on a connection answers
// kHello with SIMCONNECT_RECV_ID_OPEN; the last, when velkaro-sim stops, is
// SIMCONNECT_RECV_ID_QUIT, after which it closes the connection. A program ends its connection
// by closing it.
//
// A message of a size outside its direction's bounds, of an unknown kind, or whose body does
// not match its kind, ends the connection it came on; nothing else happens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace velkaro::standin::link {

inline constexpr const char* kSimAddressVariable = "VELKARO_SIM_ADDRESS";
inline constexpr const char* kDefaultSimAddress = "127.0.0.1:5195";

inline constexpr std::uint32_t kLinkVersion = 1;
inline constexpr std::size_t kHeaderBytes = 4 + 4 + 4;  // size, kind, send id
inline constexpr std::size_t kMaxCallNumbers = 6;
inline constexpr std::size_t kMaxCallTexts = 2;
inline constexpr std::size_t kMaxTextBytes = 1024;
inline constexpr std::uint32_t kNullText = 0xFFFFFFFFu;
// A call: header, two counts, the numbers, and the texts with their lengths.
inline constexpr std::size_t kMaxCallBytes =
    kHeaderBytes + 4 + 4 * kMaxCallNumbers + 4 + kMaxCallTexts * (4 + kMaxTextBytes);
// A record of a definition of kMaxDatumsPerDefinition of the widest datums (256 bytes) fits
// with room to spare.
inline constexpr std::size_t kMaxDatumsPerDefinition = 1000;
inline constexpr std::size_t kMaxSimulatorMessageBytes = 1u << 20;
// Messages waiting for a program (velkaro-sim's side) or for its dispatch (the library's side)
// beyond this many make the oldest record or frame event make way (QueueOfMessages).
inline constexpr std::size_t kMaxQueuedMessages = 4096;
// SimConnect_Open gives up on a velkaro-sim that does not answer within these.
inline constexpr int kConnectTimeoutMs = 1000;
inline constexpr int kOpenAnswerTimeoutMs = 2000;

enum class LinkKind : std::uint32_t {
  kHello = 1,
  kAddToDataDefinition = 2,
  kSubscribeToSystemEvent = 3,
  kRequestDataOnSimObjectType = 4,
  kRequestSystemState = 5,
  kMapClientEventToSimEvent = 6,
  kTransmitClientEvent = 7,
  kSimConnectMessage = 64,
};

// One call as it travels.
struct Call {
  LinkKind kind = LinkKind::kHello;
  std::uint32_t send_id = 0;
  std::vector<std::uint32_t> numbers;
  std::vector<std::optional<std::string>> texts;  // empty optional: a null pointer
};

// The whole message for `call`.
std::vector<std::uint8_t> EncodeCall(const Call& call);
// The call in a whole message (header included) from a program; empty when the message is
// malformed: a size word that disagrees with `message`, an unknown kind, counts that do not fit
// the kind, texts too long, or bytes left over.
std::optional<Call> DecodeCall(const std::vector<std::uint8_t>& message);

// The whole message carrying one SimConnect message to a program.
std::vector<std::uint8_t> EncodeSimConnectMessage(const std::vector<std::uint8_t>& recv);

// The SimConnect message a whole message from velkaro-sim carries; empty when the message is
// malformed: a size word that disagrees with `message`, another kind, or a SimConnect message
// whose dwSize is not the rest of the message or that is shorter than SIMCONNECT_RECV.
std::optional<std::vector<std::uint8_t>> DecodeSimConnectMessage(
    const std::vector<std::uint8_t>& message);

// Receives one whole message of at most `max_bytes` from `s`, header included; false when the
// connection ended or failed, or the size word is below kHeaderBytes or above `max_bytes`.
bool ReceiveMessage(platform::SocketHandle s, std::size_t max_bytes,
                    std::vector<std::uint8_t>* message);
// Sends all of `message`; false when the connection failed.
bool SendAll(platform::SocketHandle s, const std::vector<std::uint8_t>& message);

// "HOST:PORT" split at its last colon, the port 1 to 65535; false when it is not one.
bool ParseAddress(std::string_view text, std::string* host, std::uint16_t* port);
// $VELKARO_SIM_ADDRESS when set and not empty, else kDefaultSimAddress.
std::string SimAddressFromEnvironment();

// SimConnect messages waiting, oldest first, bounded by kMaxQueuedMessages: when full, the
// oldest data record or frame event is dropped for the new one (a program that falls behind
// misses frames, never the open, exception, system state or quit messages), or the oldest
// message when none of those waits. Not thread-safe: its owner locks.
class QueueOfMessages {
 public:
  void Push(std::vector<std::uint8_t> message);
  bool Empty() const { return messages_.empty(); }
  std::size_t Size() const { return messages_.size(); }
  std::vector<std::uint8_t> Pop();
  void Clear() { messages_.clear(); }
  std::deque<std::vector<std::uint8_t>> TakeAll();
  // Messages dropped to keep the bound since the queue was made.
  std::uint64_t Dropped() const { return dropped_; }

 private:
  std::deque<std::vector<std::uint8_t>> messages_;
  std::uint64_t dropped_ = 0;
};

}  // namespace velkaro::standin::link
