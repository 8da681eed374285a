// libzelm's protocol layer: the bytes of each command's request, and its reply read step by step
// with every check a client makes, without any I/O of its own. Connection (blocking sockets) and
// the gateway's asynchronous session both walk the protocol through it, so a reply is bounded,
// checked and its failure worded the same way whatever carries the bytes.
//
// A failure carries its kind, for a caller that acts on the reason, and the text the tools print.
//
// Thread-safety: the functions keep no state; a ReplyReader is used by one thread at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "common/protocol.h"

namespace zelm {

// What went wrong, for a caller that acts on the reason rather than on the words.
enum class ErrorKind {
  kNone,             // nothing went wrong
  kNameNotResolved,  // the host name has no IPv4 address, or looking it up failed
  kRefused,          // the host answered that nothing listens on the port
  kTimedOut,         // a wait for the peer, or a whole operation, ran out of time
  kInterrupted,      // the caller's cancel flag was set, or the caller stopped the operation
  kClosed,           // the peer closed the connection, or it was lost
  kTooLong,          // a reply announced more bytes than the protocol allows
  kBadReply,         // a reply that is not what the command answers (a frame without its magic)
  kBadRequest,       // a request the protocol cannot carry (an upload of no bytes, or too many)
  kOther,            // any other error of the system's or of the transport's
};

// A failure's kind and its text ("timed out after 10 s"); kNone with no text when none.
struct Failure {
  ErrorKind kind = ErrorKind::kNone;
  std::string text;
};

// The commands of the protocol (common/protocol.h has their tags).
enum class Command {
  kFrame,            // "rSIMDATA30" -> a frame
  kFmcRead,          // "rFMCDATA20" -> u32 N, N bytes of FMC data, u32 version word
  kFmcHead,          // "vFMCDATA20" -> the first kFmcHeadBytes of the FMC data
  kStatus,           // "rSTATUS010" -> u32 N, N bytes of status JSON
  kMcpStore,         // "sMCPDATA20" + block + check value, no reply
  kFmcStore,         // "sFMCDATA20" + u32 N + N bytes + u32 version word, no reply
  kFlightPlanStore,  // "sFPLDATA10" + u32 N + N bytes + u32 version word, no reply
};

// The command's ten-byte tag: the whole request of kFrame, kFmcRead, kFmcHead and kStatus.
std::string_view CommandTag(Command command);

// "sMCPDATA20" with the block and its check value, as sent.
using McpUploadMessage =
    std::array<std::uint8_t, velkaro::protocol::kTagSize + velkaro::kMcpBlockSize +
                                 velkaro::protocol::kWordBytes>;
McpUploadMessage McpUpload(const velkaro::McpBlock& block);

// "sFMCDATA20" / "sFPLDATA10" around its data: the tag and length word before, the version word
// after (the data itself is sent from where it is, uncopied).
struct StoreMessage {
  std::array<std::uint8_t, velkaro::protocol::kTagSize + velkaro::protocol::kWordBytes> head{};
  std::array<std::uint8_t, velkaro::protocol::kWordBytes> tail{};
};
// Builds the message of an upload of `data_bytes` bytes; kBadRequest for a size the protocol
// does not carry (0, or above protocol::kMaxUploadBytes) or a command that is not one of the two.
Failure StoreUpload(Command command, std::size_t data_bytes, std::uint32_t version,
                    StoreMessage* message);

// A limit as the messages give it: "10 s", "0.5 s".
std::string SecondsText(std::chrono::milliseconds limit);
// A wait that ran out ("timed out after 10 s"), and a connection the peer ended.
Failure TimedOut(std::chrono::milliseconds limit);
Failure Closed();
// The add-on closed the connection before answering its first command: it refused it.
Failure ClosedAtOnce();
// A status request that got no answer because of `why`. An add-on before 1.1 stays silent, which
// is said when the request timed out on a connection whose frames (or other requests) the add-on
// has answered (`answered_before`). The kind stays that of `why`.
Failure NoStatusReply(const Failure& why, bool answered_before);

// Reads one command's reply as its bytes arrive. The caller asks where the next bytes go
// (Needed), fills all of it from its transport, and tells the reader (Filled), until the reply is
// complete or refused. A length word is checked against the protocol's bound before anything is
// allocated for what it announces, so no peer makes the reader hold more than the protocol
// allows. A command without a reply is complete at once.
class ReplyReader {
 public:
  explicit ReplyReader(Command command);

  // Where the next bytes of the reply go, never empty while the reply is neither complete nor
  // refused; empty then.
  std::span<std::uint8_t> Needed();
  // The caller has filled all of Needed(): true while the reply is sound so far, false once it
  // is refused, with why in failure() (kTooLong, kBadReply).
  bool Filled();

  bool complete() const { return step_ == Step::kDone; }
  // Whether any part of the reply has arrived (a wait that fails before then got no answer).
  bool started() const { return started_; }
  const Failure& failure() const { return failure_; }

  // The reply, once complete: the frame ("rSIMDATA30"), the head ("vFMCDATA20"), the data and
  // version word ("rFMCDATA20"), the JSON text ("rSTATUS010").
  const std::array<std::uint8_t, velkaro::kFrameSize>& frame() const { return fixed_; }
  std::array<std::uint8_t, velkaro::protocol::kFmcHeadBytes> head() const;
  std::vector<std::uint8_t>& data() { return body_; }
  std::uint32_t version() const { return version_; }
  std::string text() const { return std::string(body_.begin(), body_.end()); }

 private:
  enum class Step { kFixed, kLength, kBody, kVersion, kDone, kRefused };
  void Refuse(ErrorKind kind, std::string text);
  // The step after the data (or after a length word that announces none).
  void AfterBody();

  const Command command_;
  Step step_;
  bool started_ = false;
  std::array<std::uint8_t, velkaro::kFrameSize> fixed_{};  // a frame, or the FMC head
  std::array<std::uint8_t, velkaro::protocol::kWordBytes> word_{};
  std::vector<std::uint8_t> body_;
  std::uint32_t version_ = 0;
  Failure failure_;
};

}  // namespace zelm
