// A client session driven in-process over a loopback connection, with shared state of its own
// (no add-on, no simulator): a table of what a client sends, the exact bytes it gets back, and
// what the session leaves in the stores and the autopilot exchange. And libzelm against a fake
// peer that announces more than the protocol allows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "autopilot/mcp_exchange.h"
#include "common/coding.h"
#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "log/log.h"
#include "net/client_session.h"
#include "net/upload_store.h"
#include "simdata/frame_exchange.h"
#include "support/loopback.h"
#include "support/wire_bytes.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

Bytes Block(const McpBlock& block) {
  return Bytes(block.begin(), block.end());
}

// What the sessions of one add-on share, as DLLStart leaves it.
struct SharedState {
  SharedState() {
    InitFrame(start_frame.data());
    frames.Store(start_frame.data());
    mcp.Reset();
  }
  std::array<std::uint8_t, kFrameSize> start_frame{};
  FrameExchange frames;
  UploadStore fmc;
  UploadStore flight_plan;
  McpExchange mcp;
  std::atomic<std::size_t> upload_bytes_in_flight{0};
  std::atomic<bool> running{true};
  DiagnosticLog log;
  const SessionShared shared{frames, fmc, flight_plan, mcp, upload_bytes_in_flight, running, log};
};

// Runs one session over a fresh connection: sends `request`, closes the sending side, and
// returns everything the session sent before it closed the connection.
Bytes Converse(SharedState& state, const Bytes& request) {
  SocketPair pair;
  if (!OpenSocketPair(&pair)) {
    ADD_FAILURE() << "no loopback connection";
    return {};
  }
  platform::Mutex guard;
  SessionConnection connection;
  connection.socket = pair.server;
  connection.guard = &guard;
  std::thread session([&] { ClientSession(connection, state.shared); });

  std::size_t sent = 0;
  while (sent < request.size()) {
    const int n =
        platform::Send(pair.client, request.data() + sent, static_cast<int>(request.size() - sent));
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  platform::Shutdown(pair.client, platform::ShutdownHow::kSend);
  Bytes reply;
  std::uint8_t buffer[4096];
  for (int n; (n = platform::Receive(pair.client, buffer, sizeof buffer)) > 0;) {
    reply.insert(reply.end(), buffer, buffer + n);
  }
  session.join();
  platform::CloseSocket(pair.client);
  return reply;
}

McpBlock ApMasterOn() {
  McpBlock block{};
  ResetMcpBlock(block);
  McpChange(block, mcp::kApMaster, 1);
  return block;
}

Bytes FrameWithMagic(const SharedState& state) {
  Bytes frame(state.start_frame.begin(), state.start_frame.end());
  std::memcpy(frame.data(), "ZELM30", 7);
  return frame;
}

struct Row {
  const char* name;
  Bytes request;
  std::function<Bytes(const SharedState&)> reply;
  std::function<void(const SharedState&)> check;  // what the stores hold afterwards
};

TEST(ClientSessionTest, CommandsAndReplies) {
  const Bytes none;
  const Bytes no_fmc(8, 0xFF);
  const McpBlock block = ApMasterOn();
  const std::uint32_t check = McpCheckValue(block.data());
  auto fmc_is = [](std::string data, std::uint32_t version) {
    return [=](const SharedState& s) {
      const UploadStore::Snapshot fmc = s.fmc.Read();
      EXPECT_EQ(Bytes(fmc.data->begin(), fmc.data->end()), Text(data));
      EXPECT_EQ(fmc.version, version);
    };
  };
  auto nothing = [](const SharedState&) {};

  const Row rows[] = {
      {"the start-up frame at once, with the magic", Text("rSIMDATA30"), FrameWithMagic, nothing},
      {"no FMC data yet", Text("vFMCDATA20"), [&](auto&) { return no_fmc; }, nothing},
      {"an empty FMC read", Text("rFMCDATA20"),
       [](auto&) {
         return Concat({U32(0), U32(0)});
       },
       nothing},
      {"an FMC upload, then its head and the whole of it",
       Concat({Text("sFMCDATA20"), U32(3), Text("abc"), U32(7), Text("vFMCDATA20"),
               Text("rFMCDATA20")}),
       [](auto&) {
         return Concat({Text("abc"), Bytes(5, 0), U32(3), Text("abc"), U32(7)});
       },
       fmc_is("abc", 7)},
      {"a flight plan goes to its own store",
       Concat({Text("sFPLDATA10"), U32(2), Text("KX"), U32(4), Text("vFMCDATA20")}),
       [&](auto&) { return no_fmc; },
       [](const SharedState& s) {
         EXPECT_EQ(s.flight_plan.Read().data->size(), 2u);
         EXPECT_EQ(s.flight_plan.Read().version, 4u);
       }},
      {"an unknown tag is ignored and the next command served",
       Concat({Text("xUNKNOWN00"), Text("vFMCDATA20")}), [&](auto&) { return no_fmc; }, nothing},
      {"an upload of length 0 ends the session",
       Concat({Text("sFMCDATA20"), U32(0), Text("vFMCDATA20")}), [&](auto&) { return none; },
       fmc_is("", 0)},
      {"an upload above the bound ends the session",
       Concat({Text("sFMCDATA20"), U32(protocol::kMaxUploadBytes + 1), Text("vFMCDATA20")}),
       [&](auto&) { return none; }, fmc_is("", 0)},
      {"an autopilot block with its check value is merged",
       Concat({Text("sMCPDATA20"), Block(block), U32(check), Text("vFMCDATA20")}),
       [&](auto&) { return no_fmc; },
       [&](const SharedState& s) {
         EXPECT_EQ(s.mcp.Request(), block);
         EXPECT_EQ(McpChangeFlags(s.mcp.Pending()), 1u);
         EXPECT_EQ(s.mcp.Pending()[124], 1);
       }},
      {"a wrong check value is kept as the request, not merged, and the session goes on",
       Concat({Text("sMCPDATA20"), Block(block), U32(check + 1), Text("vFMCDATA20")}),
       [&](auto&) { return no_fmc; },
       [&](const SharedState& s) {
         EXPECT_EQ(s.mcp.Request(), block);
         EXPECT_EQ(McpChangeFlags(s.mcp.Pending()), 0u);
       }},
      {"half a tag gets nothing", Text("rSIM"), [&](auto&) { return none; }, nothing},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharedState state;
    EXPECT_EQ(Converse(state, row.request), row.reply(state));
    row.check(state);
  }
}

TEST(ClientSessionTest, ACommandAfterTheStopIsNotServed) {
  SharedState state;
  state.running = false;
  EXPECT_TRUE(Converse(state, Text("vFMCDATA20")).empty());
}

// A peer that answers every command with `reply` and then keeps the connection open until the
// client goes.
class FakePeer {
 public:
  explicit FakePeer(Bytes reply) : reply_(std::move(reply)) {
    thread_ = std::thread([this] {
      const platform::SocketHandle s = listener_.Accept();
      if (s == platform::kInvalidSocket) return;
      std::uint8_t tag[protocol::kTagSize];
      if (platform::Receive(s, tag, sizeof tag) > 0) {
        platform::Send(s, reply_.data(), static_cast<int>(reply_.size()));
        std::uint8_t byte;
        while (platform::Receive(s, &byte, 1) > 0) {
        }
      }
      platform::CloseSocket(s);
    });
  }
  ~FakePeer() { thread_.join(); }
  std::uint16_t port() const { return listener_.port(); }

 private:
  LoopbackListener listener_;
  Bytes reply_;
  std::thread thread_;
};

TEST(ZelmClientTest, RefusesALengthAboveTheProtocolsBound) {
  for (std::uint32_t length : {protocol::kMaxUploadBytes + 1, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    FakePeer peer(U32(length));
    std::string error;
    auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 5000);
    ASSERT_NE(c, nullptr) << error;
    std::vector<std::uint8_t> data;
    std::uint32_t version = 0;
    EXPECT_FALSE(c->FetchFmc(&data, &version));
    EXPECT_NE(c->error().find("more than the protocol allows"), std::string::npos) << c->error();
    EXPECT_TRUE(data.empty()) << "nothing was allocated for it";
  }
}

}  // namespace
}  // namespace velkaro::testing
