// The gateway's command path with a stand-in for the add-on session: the reply of each side
// (WebSocket and MQTT) to messages that are refused at once, to a session that cannot take the
// block, and to a block the session sent later; and the block that reaches the session.
#include "serve/commands.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "serve/messages.h"
#include "serve/upstream.h"

namespace velkaro::testing {
namespace {

using zelm::McpRequestBuilder;
using zelm::serve::CommandPath;
using zelm::serve::McpDone;
using zelm::serve::ReplyForm;
using Json = nlohmann::json;

// The add-on session as the command path sees it: takes blocks while it has room and is
// connected, and keeps what it took for the test to look at and answer.
class FakeSession {
 public:
  bool connected = true;
  bool full = false;
  std::vector<McpRequestBuilder> blocks;
  std::vector<McpDone> waiting;

  CommandPath Path() {
    return CommandPath(
        [this](const McpRequestBuilder& block, McpDone done) {
          if (!connected || full) return false;
          blocks.push_back(block);
          waiting.push_back(std::move(done));
          return true;
        },
        [this] { return connected; });
  }
};

// What the `later` callback heard.
struct Heard {
  int calls = 0;
  std::string reply;
  zelm::serve::CommandReplied Callback() {
    return [this](std::string text) {
      ++calls;
      reply = std::move(text);
    };
  }
};

TEST(CommandPathTest, MessagesThatGoNoFurtherAreAnsweredAtOnceInEachSidesForm) {
  struct Row {
    const char* message;
    const char* websocket;  // the whole reply text of each side
    const char* mqtt;
  };
  const Row rows[] = {
      {"not json", R"({"error":"not a command: send {\"mcp\": {...}}","type":"error"})",
       R"({"error":"not a command: send {\"mcp\": {...}}","id":null,"ok":false})"},
      {"[1, 2]", R"({"error":"not a command: send {\"mcp\": {...}}","type":"error"})",
       R"({"error":"not a command: send {\"mcp\": {...}}","id":null,"ok":false})"},
      {R"({"hello": 1, "id": 7})",
       R"({"error":"not a command: send {\"mcp\": {...}}","type":"error"})",
       R"({"error":"not a command: send {\"mcp\": {...}}","id":null,"ok":false})"},
      {"", R"({"error":"not a command: send {\"mcp\": {...}}","type":"error"})",
       R"({"error":"not a command: send {\"mcp\": {...}}","id":null,"ok":false})"},
      {R"({"mcp": {}, "id": 2})",
       R"({"error":"\"mcp\" takes an object of settings, e.g. {\"ap\": true, \"hdg\": 270}","id":2,"ok":false,"type":"mcp_result"})",
       R"({"error":"\"mcp\" takes an object of settings, e.g. {\"ap\": true, \"hdg\": 270}","id":2,"ok":false})"},
      {R"({"mcp": {"warp": 9}, "id": "w"})",
       R"({"error":"unknown autopilot setting \"warp\"; the settings are alt, vs, spd, hdg, spd_ref, n1_ref, mach_ref, alt_ref, vs_ref, hdg_bug, crs, ap, at, fd, speed_hold, n1_hold, mach_hold, alt_hold, hdg_hold, loc_hold, app_hold","id":"w","ok":false,"type":"mcp_result"})",
       R"({"error":"unknown autopilot setting \"warp\"; the settings are alt, vs, spd, hdg, spd_ref, n1_ref, mach_ref, alt_ref, vs_ref, hdg_bug, crs, ap, at, fd, speed_hold, n1_hold, mach_hold, alt_hold, hdg_hold, loc_hold, app_hold","id":"w","ok":false})"},
      // Only a number or a text of at most 64 characters comes back as the id.
      {R"({"mcp": {"ap": 1}, "id": {"n": [1]}})",
       R"({"error":"ap takes true or false","id":null,"ok":false,"type":"mcp_result"})",
       R"({"error":"ap takes true or false","id":null,"ok":false})"},
      // No id: answered with a null one. A refused setting among good ones sends nothing.
      {R"({"mcp": {"ap": true, "hdg": 400}})",
       R"({"error":"hdg takes 0 to 360 deg, not 400","id":null,"ok":false,"type":"mcp_result"})",
       R"({"error":"hdg takes 0 to 360 deg, not 400","id":null,"ok":false})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    FakeSession session;
    const CommandPath path = session.Path();
    Heard heard;
    EXPECT_EQ(path.Run(row.message, ReplyForm::kWebSocket, heard.Callback()), row.websocket);
    EXPECT_EQ(path.Run(row.message, ReplyForm::kMqtt, heard.Callback()), row.mqtt);
    EXPECT_TRUE(session.blocks.empty());
    EXPECT_EQ(heard.calls, 0);
  }
}

TEST(CommandPathTest, OnlyANumberOrAShortTextComesBackAsTheId) {
  struct Row {
    std::string id;     // as written in the command
    std::string reply;  // as written in the reply
  };
  const std::string longest(64, 'x');
  const Row rows[] = {
      {"7", "7"},
      {"-2.5", "-2.5"},
      {"\"" + longest + "\"", "\"" + longest + "\""},
      {"\"" + longest + "x\"", "null"},
      {"true", "null"},
      {"[1]", "null"},
      {R"({"n": 1})", "null"},
      {"null", "null"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    FakeSession session;
    session.connected = false;
    const CommandPath path = session.Path();
    Heard heard;
    const std::string command = R"({"mcp": {"ap": true}, "id": )" + row.id + "}";
    const std::string error = R"("simulator connection lost: nothing was sent")";
    EXPECT_EQ(path.Run(command, ReplyForm::kMqtt, heard.Callback()),
              R"({"error":)" + error + R"(,"id":)" + row.reply + R"(,"ok":false})");
    EXPECT_EQ(CommandPath::Refuse(command, ReplyForm::kMqtt, "no"),
              R"({"error":"no","id":)" + row.reply + R"(,"ok":false})");
  }
}

TEST(CommandPathTest, AMessageOverTheBoundIsRefusedUnreadOnEitherSide) {
  // A valid command padded with spaces to the bound, and one byte over it.
  const std::string command = R"({"mcp": {"ap": true}, "id": 1})";
  const std::string at_bound =
      command.substr(0, command.size() - 1) +
      std::string(zelm::serve::kMaxCommandBytes - command.size(), ' ') + "}";
  ASSERT_EQ(at_bound.size(), zelm::serve::kMaxCommandBytes);
  const std::string over = at_bound + " ";
  FakeSession session;
  const CommandPath path = session.Path();
  Heard heard;
  EXPECT_EQ(path.Run(over, ReplyForm::kMqtt, heard.Callback()),
            R"({"error":"a command is at most 16 KiB: nothing was sent","id":null,"ok":false})");
  EXPECT_EQ(path.Run(over, ReplyForm::kWebSocket, heard.Callback()),
            R"({"error":"a command is at most 16 KiB: nothing was sent","type":"error"})");
  EXPECT_EQ(CommandPath::Refuse(over, ReplyForm::kMqtt, "no"), R"({"error":"no","id":null,"ok":false})");
  EXPECT_TRUE(session.blocks.empty());
  EXPECT_EQ(path.Run(at_bound, ReplyForm::kMqtt, heard.Callback()), std::nullopt);
  EXPECT_EQ(session.blocks.size(), 1u);
}

TEST(CommandPathTest, AMessageNestedTooDeepIsNotACommandAndDoesNotOverflowTheStack) {
  // An id thousands of levels deep (within the size bound): copied or written out, it would take
  // a stack frame per level.
  const std::string deep = R"({"mcp": {"warp": 9}, "id": )" + std::string(8000, '[') +
                           std::string(8000, ']') + "}";
  // Brackets inside strings are not nesting: a command with them a few levels deep is answered.
  const std::string shallow =
      R"({"mcp": {"warp": 9}, "x": [[[["\")" + std::string(100, '[') + R"("]]]], "id": 3})";
  FakeSession session;
  const CommandPath path = session.Path();
  Heard heard;
  EXPECT_EQ(path.Run(deep, ReplyForm::kMqtt, heard.Callback()),
            R"({"error":"not a command: send {\"mcp\": {...}}","id":null,"ok":false})");
  EXPECT_EQ(path.Run(deep, ReplyForm::kWebSocket, heard.Callback()),
            R"({"error":"not a command: send {\"mcp\": {...}}","type":"error"})");
  const std::optional<std::string> reply = path.Run(shallow, ReplyForm::kMqtt, heard.Callback());
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(Json::parse(*reply)["id"], 3);
  EXPECT_TRUE(Json::parse(*reply)["error"].get<std::string>().starts_with(
      "unknown autopilot setting \"warp\"; the settings are alt, vs, "));
}

TEST(CommandPathTest, ABlockTheSessionCannotTakeIsRefusedWithTheReason) {
  struct Row {
    bool connected;
    bool full;
    const char* error;
  };
  const Row rows[] = {
      {false, false, "simulator connection lost: nothing was sent"},
      {true, true, "too many commands waiting for the add-on"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    FakeSession session;
    session.connected = row.connected;
    session.full = row.full;
    const CommandPath path = session.Path();
    Heard heard;
    const char* command = R"({"mcp": {"ap": true}, "id": 5})";
    EXPECT_EQ(path.Run(command, ReplyForm::kWebSocket, heard.Callback()),
              zelm::serve::Dump(
                  Json{{"type", "mcp_result"}, {"id", 5}, {"ok", false}, {"error", row.error}}));
    EXPECT_EQ(path.Run(command, ReplyForm::kMqtt, heard.Callback()),
              zelm::serve::Dump(Json{{"id", 5}, {"ok", false}, {"error", row.error}}));
    EXPECT_EQ(heard.calls, 0);
  }
}

TEST(CommandPathTest, TheParsedBlockGoesToTheSessionAndItsOutcomeIsTheLaterReply) {
  const Json settings = {{"ap", true}, {"hdg", 270}, {"alt", 12000}};
  McpRequestBuilder expected;
  std::string error;
  ASSERT_TRUE(zelm::serve::ParseMcpSettings(settings, &expected, &error)) << error;
  ASSERT_NE(expected.block(), McpRequestBuilder().block());
  const std::string command = zelm::serve::Dump(Json{{"mcp", settings}, {"id", "a"}});

  FakeSession session;
  const CommandPath path = session.Path();
  Heard websocket;
  Heard mqtt;
  EXPECT_EQ(path.Run(command, ReplyForm::kWebSocket, websocket.Callback()), std::nullopt);
  EXPECT_EQ(path.Run(command, ReplyForm::kMqtt, mqtt.Callback()), std::nullopt);
  ASSERT_EQ(session.blocks.size(), 2u);
  EXPECT_EQ(session.blocks[0].block(), expected.block());
  EXPECT_EQ(session.blocks[1].block(), expected.block());
  EXPECT_EQ(websocket.calls + mqtt.calls, 0) << "no reply before the session has sent the block";

  session.waiting[0]("");
  session.waiting[1]("the add-on did not take the block: timed out");
  EXPECT_EQ(websocket.calls, 1);
  EXPECT_EQ(websocket.reply, R"({"id":"a","ok":true,"type":"mcp_result"})");
  EXPECT_EQ(mqtt.calls, 1);
  EXPECT_EQ(mqtt.reply,
            R"({"error":"the add-on did not take the block: timed out","id":"a","ok":false})");
}

TEST(CommandPathTest, WithTheRealSessionNotYetConnectedNothingIsSent) {
  boost::asio::io_context io;
  zelm::serve::Upstream upstream(
      io, {}, [](const zelm::Frame&) {}, [](const zelm::serve::UpstreamState&) {});
  const CommandPath path(upstream);
  Heard heard;
  EXPECT_EQ(path.Run(R"({"mcp": {"ap": true}, "id": 1})", ReplyForm::kMqtt, heard.Callback()),
            R"({"error":"simulator connection lost: nothing was sent","id":1,"ok":false})");
  EXPECT_EQ(heard.calls, 0);
}

}  // namespace
}  // namespace velkaro::testing
