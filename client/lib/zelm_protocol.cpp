#include "zelm_protocol.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "common/coding.h"

namespace zelm {

namespace protocol = velkaro::protocol;

namespace {

// The first bytes of a reply, as text a reader can compare with the magic.
std::string Shown(const std::uint8_t* bytes, std::size_t length) {
  std::string out = "\"";
  for (std::size_t i = 0; i < length; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') {
      out += static_cast<char>(bytes[i]);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", bytes[i]);
      out += escape;
    }
  }
  return out + "\"";
}

// A length word above `bound`, in the words of the tools: "the reply announces N bytes of WHAT,
// more than the protocol allows (BOUND)".
std::string TooLongText(std::uint32_t length, const char* what, std::uint32_t bound) {
  return "the reply announces " + std::to_string(length) + " bytes of " + what +
         ", more than the protocol allows (" + std::to_string(bound) + ")";
}

}  // namespace

std::string_view CommandTag(Command command) {
  switch (command) {
    case Command::kFrame:
      return protocol::kTagFrame;
    case Command::kFmcRead:
      return protocol::kTagFmcRead;
    case Command::kFmcHead:
      return protocol::kTagFmcVersion;
    case Command::kStatus:
      return protocol::kTagStatus;
    case Command::kMcpStore:
      return protocol::kTagMcpStore;
    case Command::kFmcStore:
      return protocol::kTagFmcStore;
    case Command::kFlightPlanStore:
      return protocol::kTagFlightPlanStore;
  }
  return {};
}

McpUploadMessage McpUpload(const velkaro::McpBlock& block) {
  constexpr std::size_t kTag = protocol::kTagSize;
  McpUploadMessage message;
  std::memcpy(message.data(), protocol::kTagMcpStore.data(), kTag);
  std::memcpy(message.data() + kTag, block.data(), block.size());
  velkaro::EncodeU32(message.data() + kTag + block.size(), velkaro::McpCheckValue(block.data()));
  return message;
}

Failure StoreUpload(Command command, std::size_t data_bytes, std::uint32_t version,
                    StoreMessage* message) {
  if (command != Command::kFmcStore && command != Command::kFlightPlanStore) {
    return {ErrorKind::kBadRequest,
            "\"" + std::string(CommandTag(command)) + "\" is not an upload of data"};
  }
  if (data_bytes == 0 || data_bytes > protocol::kMaxUploadBytes) {
    return {ErrorKind::kBadRequest, "an upload takes 1 to " +
                                        std::to_string(protocol::kMaxUploadBytes) + " bytes, not " +
                                        std::to_string(data_bytes)};
  }
  std::memcpy(message->head.data(), CommandTag(command).data(), protocol::kTagSize);
  velkaro::EncodeU32(message->head.data() + protocol::kTagSize,
                     static_cast<std::uint32_t>(data_bytes));
  velkaro::EncodeU32(message->tail.data(), version);
  return {};
}

std::string SecondsText(std::chrono::milliseconds limit) {
  char text[40];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(limit.count()) / 1000.0);
  return text;
}

Failure TimedOut(std::chrono::milliseconds limit) {
  return {ErrorKind::kTimedOut, "timed out after " + SecondsText(limit)};
}

Failure Closed() {
  return {ErrorKind::kClosed, "the add-on closed the connection"};
}

Failure ClosedAtOnce() {
  return {ErrorKind::kClosed,
          "the add-on closed the connection at once, before answering. Most likely: all its "
          "places are taken (max_clients in its Velkaro.ini, or max_clients_per_address for this "
          "computer's address); or this address is not in its allow list; or what listens there "
          "is not a Velkaro add-on"};
}

Failure NoStatusReply(const Failure& why, bool answered_before) {
  if (why.kind == ErrorKind::kTimedOut && answered_before) {
    return {why.kind, "no status reply (" + why.text +
                          "), though the add-on answers other requests: an add-on older than 1.1 "
                          "does not answer it"};
  }
  return {why.kind, "no status reply: " + why.text};
}

ReplyReader::ReplyReader(Command command) : command_(command) {
  switch (command) {
    case Command::kFrame:
    case Command::kFmcHead:
      step_ = Step::kFixed;
      break;
    case Command::kFmcRead:
    case Command::kStatus:
      step_ = Step::kLength;
      break;
    case Command::kMcpStore:
    case Command::kFmcStore:
    case Command::kFlightPlanStore:
      step_ = Step::kDone;
      break;
  }
}

std::span<std::uint8_t> ReplyReader::Needed() {
  switch (step_) {
    case Step::kFixed:
      return std::span(fixed_).first(command_ == Command::kFrame ? fixed_.size()
                                                                 : protocol::kFmcHeadBytes);
    case Step::kLength:
    case Step::kVersion:
      return word_;
    case Step::kBody:
      return body_;
    case Step::kDone:
    case Step::kRefused:
      break;
  }
  return {};
}

bool ReplyReader::Filled() {
  started_ = true;
  switch (step_) {
    case Step::kFixed:
      if (command_ == Command::kFrame &&
          std::memcmp(fixed_.data(), protocol::kFrameMagic, protocol::kFrameMagicBytes) != 0) {
        Refuse(ErrorKind::kBadReply, "the reply is not a frame: it begins with " +
                                         Shown(fixed_.data(), protocol::kFrameMagicBytes) +
                                         ", not \"" + protocol::kFrameMagic + "\"");
        break;
      }
      step_ = Step::kDone;
      break;
    case Step::kLength: {
      // The add-on never sends more; a larger length is a peer that is not the add-on, or a
      // broken stream, and must not make this process allocate what it says.
      const std::uint32_t length = velkaro::DecodeU32(word_.data());
      const bool fmc = command_ == Command::kFmcRead;
      const std::uint32_t bound = fmc ? protocol::kMaxUploadBytes : protocol::kMaxStatusBytes;
      if (length > bound) {
        Refuse(ErrorKind::kTooLong, TooLongText(length, fmc ? "FMC data" : "status", bound));
        break;
      }
      body_.resize(length);
      step_ = Step::kBody;
      if (length == 0) AfterBody();
      break;
    }
    case Step::kBody:
      AfterBody();
      break;
    case Step::kVersion:
      version_ = velkaro::DecodeU32(word_.data());
      step_ = Step::kDone;
      break;
    case Step::kDone:
    case Step::kRefused:
      break;
  }
  return step_ != Step::kRefused;
}

void ReplyReader::AfterBody() {
  step_ = command_ == Command::kFmcRead ? Step::kVersion : Step::kDone;
}

void ReplyReader::Refuse(ErrorKind kind, std::string text) {
  failure_ = {kind, std::move(text)};
  step_ = Step::kRefused;
}

std::array<std::uint8_t, protocol::kFmcHeadBytes> ReplyReader::head() const {
  std::array<std::uint8_t, protocol::kFmcHeadBytes> head;
  std::memcpy(head.data(), fixed_.data(), head.size());
  return head;
}

}  // namespace zelm
