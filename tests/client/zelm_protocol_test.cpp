// libzelm's protocol layer without a socket: reply bytes from a table fed to a ReplyReader as a
// transport would feed them, against what it makes of them (complete, waiting for more, or
// refused with a kind and the text the tools print), and the requests as bytes.
#include "zelm_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "common/protocol.h"
#include "support/wire_bytes.h"

namespace velkaro::testing {
namespace {

using zelm::Command;
using zelm::ErrorKind;

Bytes FrameStartingWith(const char* start, std::size_t length) {
  Bytes frame(kFrameSize, 0);
  std::copy_n(start, length, frame.begin());
  return frame;
}

enum class Ends { kComplete, kWaiting, kRefused };

// What a reader made of `bytes`: fed step by step, as long as the bytes cover what it asks for.
struct Fed {
  Ends ends;
  std::size_t consumed = 0;
};
Fed Feed(zelm::ReplyReader& reader, const Bytes& bytes) {
  std::size_t at = 0;
  while (!reader.complete()) {
    const std::span<std::uint8_t> needed = reader.Needed();
    EXPECT_FALSE(needed.empty()) << "a reader that is neither complete nor refused asks for bytes";
    if (needed.empty() || bytes.size() - at < needed.size()) return {Ends::kWaiting, at};
    std::memcpy(needed.data(), bytes.data() + at, needed.size());
    at += needed.size();
    if (!reader.Filled()) {
      EXPECT_TRUE(reader.Needed().empty()) << "a refused reply asks for nothing more";
      return {Ends::kRefused, at};
    }
  }
  return {Ends::kComplete, at};
}

TEST(ZelmProtocolTest, RepliesAreReadWithinTheirBoundsOrRefused) {
  struct Row {
    const char* name;
    Command command;
    Bytes reply;
    Ends ends;
    std::size_t consumed;
    ErrorKind kind = ErrorKind::kNone;
    std::string text = "";
  };
  const std::uint32_t over_upload = protocol::kMaxUploadBytes + 1;
  const std::uint32_t over_status = protocol::kMaxStatusBytes + 1;
  const Row rows[] = {
      {"frame", Command::kFrame, FrameStartingWith("ZELM30", 7), Ends::kComplete, 2280},
      {"frame cut short", Command::kFrame, Bytes(2279, 0), Ends::kWaiting, 0},
      {"frame with another magic", Command::kFrame, FrameStartingWith("HELLO!", 7), Ends::kRefused,
       2280, ErrorKind::kBadReply,
       R"(the reply is not a frame: it begins with "HELLO!\x00", not "ZELM30")"},
      {"frame with the magic unterminated", Command::kFrame, FrameStartingWith("ZELM30x", 7),
       Ends::kRefused, 2280, ErrorKind::kBadReply,
       R"(the reply is not a frame: it begins with "ZELM30x", not "ZELM30")"},
      {"FMC head", Command::kFmcHead, Bytes(8, 0xFF), Ends::kComplete, 8},
      {"FMC head cut short", Command::kFmcHead, Bytes(7, 0xFF), Ends::kWaiting, 0},
      {"FMC data", Command::kFmcRead, Concat({U32(3), Text("abc"), U32(9)}), Ends::kComplete, 11},
      {"FMC data of no bytes", Command::kFmcRead, Concat({U32(0), U32(9)}), Ends::kComplete, 8},
      {"FMC data without its version word", Command::kFmcRead, Concat({U32(3), Text("abc")}),
       Ends::kWaiting, 7},
      {"FMC data cut short", Command::kFmcRead, Concat({U32(4), Text("abc")}), Ends::kWaiting, 4},
      {"FMC length word cut short", Command::kFmcRead, Bytes{3, 0, 0}, Ends::kWaiting, 0},
      {"FMC data longer than the protocol allows", Command::kFmcRead, U32(over_upload),
       Ends::kRefused, 4, ErrorKind::kTooLong,
       "the reply announces 16777217 bytes of FMC data, more than the protocol allows "
       "(16777216)"},
      {"FMC data of the largest length word", Command::kFmcRead, U32(0xFFFFFFFF), Ends::kRefused, 4,
       ErrorKind::kTooLong,
       "the reply announces 4294967295 bytes of FMC data, more than the protocol allows "
       "(16777216)"},
      {"status", Command::kStatus, Concat({U32(2), Text("{}")}), Ends::kComplete, 6},
      {"status of no bytes", Command::kStatus, U32(0), Ends::kComplete, 4},
      {"status cut short", Command::kStatus, Concat({U32(3), Text("{}")}), Ends::kWaiting, 4},
      {"status longer than the protocol allows", Command::kStatus, U32(over_status), Ends::kRefused,
       4, ErrorKind::kTooLong,
       "the reply announces 65537 bytes of status, more than the protocol allows (65536)"},
      {"no reply to an autopilot block", Command::kMcpStore, {}, Ends::kComplete, 0},
      {"no reply to an FMC upload", Command::kFmcStore, {}, Ends::kComplete, 0},
      {"no reply to a flight-plan upload", Command::kFlightPlanStore, {}, Ends::kComplete, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    zelm::ReplyReader reader(row.command);
    const Fed fed = Feed(reader, row.reply);
    EXPECT_EQ(fed.ends, row.ends);
    EXPECT_EQ(fed.consumed, row.consumed);
    EXPECT_EQ(reader.failure().kind, row.kind);
    EXPECT_EQ(reader.failure().text, row.text);
    EXPECT_EQ(reader.started(), fed.consumed > 0);
    if (row.kind == ErrorKind::kTooLong) {
      EXPECT_EQ(reader.data().capacity(), 0u) << "nothing allocated for what was announced";
    }
  }
}

TEST(ZelmProtocolTest, ACompleteReplyHoldsWhatItCarried) {
  zelm::ReplyReader fmc(Command::kFmcRead);
  ASSERT_EQ(Feed(fmc, Concat({U32(3), Text("abc"), U32(0x01020304)})).ends, Ends::kComplete);
  EXPECT_EQ(fmc.data(), Text("abc"));
  EXPECT_EQ(fmc.version(), 0x01020304u);

  zelm::ReplyReader status(Command::kStatus);
  ASSERT_EQ(Feed(status, Concat({U32(8), Text("{\"a\": 1}")})).ends, Ends::kComplete);
  EXPECT_EQ(status.text(), "{\"a\": 1}");

  zelm::ReplyReader head(Command::kFmcHead);
  ASSERT_EQ(Feed(head, Bytes{1, 2, 3, 4, 5, 6, 7, 8}).ends, Ends::kComplete);
  const auto head_bytes = head.head();
  EXPECT_EQ(Bytes(head_bytes.begin(), head_bytes.end()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

  Bytes sent = FrameStartingWith("ZELM30", 7);
  sent[2279] = 0xAB;
  zelm::ReplyReader frame(Command::kFrame);
  ASSERT_EQ(Feed(frame, sent).ends, Ends::kComplete);
  EXPECT_EQ(Bytes(frame.frame().begin(), frame.frame().end()), sent);

  // At the bound itself the data is taken.
  zelm::ReplyReader largest(Command::kFmcRead);
  ASSERT_EQ(Feed(largest, U32(protocol::kMaxUploadBytes)).ends, Ends::kWaiting);
  EXPECT_EQ(largest.Needed().size(), protocol::kMaxUploadBytes);
}

TEST(ZelmProtocolTest, RequestsAreTheBytesTheAddOnReads) {
  const std::pair<Command, const char*> tags[] = {
      {Command::kFrame, "rSIMDATA30"},           {Command::kFmcRead, "rFMCDATA20"},
      {Command::kFmcHead, "vFMCDATA20"},         {Command::kStatus, "rSTATUS010"},
      {Command::kMcpStore, "sMCPDATA20"},        {Command::kFmcStore, "sFMCDATA20"},
      {Command::kFlightPlanStore, "sFPLDATA10"},
  };
  for (const auto& [command, tag] : tags) EXPECT_EQ(zelm::CommandTag(command), tag);

  // A block of zero bytes has the check value the protocol's description gives.
  McpBlock zeros{};
  const zelm::McpUploadMessage mcp = zelm::McpUpload(zeros);
  EXPECT_EQ(Bytes(mcp.begin(), mcp.end()),
            Concat({Text("sMCPDATA20"), Bytes(144, 0), U32(0xB2A4C15F)}));

  zelm::StoreMessage store;
  ASSERT_EQ(zelm::StoreUpload(Command::kFlightPlanStore, 300, 7, &store).kind, ErrorKind::kNone);
  EXPECT_EQ(Bytes(store.head.begin(), store.head.end()), Concat({Text("sFPLDATA10"), U32(300)}));
  EXPECT_EQ(Bytes(store.tail.begin(), store.tail.end()), U32(7));
  ASSERT_EQ(zelm::StoreUpload(Command::kFmcStore, protocol::kMaxUploadBytes, 1, &store).kind,
            ErrorKind::kNone);
  EXPECT_EQ(Bytes(store.head.begin(), store.head.end()),
            Concat({Text("sFMCDATA20"), U32(protocol::kMaxUploadBytes)}));
}

TEST(ZelmProtocolTest, AnUploadTheProtocolCannotCarryIsRefused) {
  struct Row {
    Command command;
    std::size_t bytes;
    const char* text;
  };
  const Row rows[] = {
      {Command::kFmcStore, 0, "an upload takes 1 to 16777216 bytes, not 0"},
      {Command::kFlightPlanStore, 16777217, "an upload takes 1 to 16777216 bytes, not 16777217"},
      {Command::kFrame, 10, "\"rSIMDATA30\" is not an upload of data"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    zelm::StoreMessage store;
    const zelm::Failure failure = zelm::StoreUpload(row.command, row.bytes, 1, &store);
    EXPECT_EQ(failure.kind, ErrorKind::kBadRequest);
    EXPECT_EQ(failure.text, row.text);
  }
}

TEST(ZelmProtocolTest, FailureTextsKeepTheToolsWords) {
  EXPECT_EQ(zelm::TimedOut(std::chrono::milliseconds(500)).text, "timed out after 0.5 s");
  EXPECT_EQ(zelm::TimedOut(std::chrono::milliseconds(500)).kind, ErrorKind::kTimedOut);
  EXPECT_EQ(zelm::Closed().text, "the add-on closed the connection");
  // "Older than 1.1" only of an add-on that answers other requests but leaves the status
  // unanswered; a connection closed at once is a refusal, with its likely reasons.
  const zelm::Failure older =
      zelm::NoStatusReply(zelm::TimedOut(std::chrono::seconds(3)), /*answered_before=*/true);
  EXPECT_EQ(older.kind, ErrorKind::kTimedOut);
  EXPECT_EQ(older.text,
            "no status reply (timed out after 3 s), though the add-on answers other requests: an "
            "add-on older than 1.1 does not answer it");
  EXPECT_EQ(zelm::NoStatusReply(zelm::TimedOut(std::chrono::seconds(3)), false).text,
            "no status reply: timed out after 3 s");
  const zelm::Failure refused = zelm::NoStatusReply(zelm::ClosedAtOnce(), false);
  EXPECT_EQ(refused.kind, ErrorKind::kClosed);
  EXPECT_NE(refused.text.find("closed the connection at once, before answering"), std::string::npos);
  EXPECT_EQ(refused.text.find("1.1"), std::string::npos);
}

}  // namespace
}  // namespace velkaro::testing
