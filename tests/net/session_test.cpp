// A client session driven in-process over a loopback connection, with shared state of its own
// (no add-on, no simulator): a table of what a client sends, the exact bytes it gets back, and
// what the session leaves in the stores and the autopilot exchange; clients that stall, stop
// reading or go away, and what their sessions then hold; uploads that overlap. And libzelm
// against a fake peer that announces more than the protocol allows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
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
#include "platform/pages.h"
#include "simdata/frame_exchange.h"
#include "support/addon_harness.h"
#include "support/loopback.h"
#include "support/session_state.h"
#include "support/wire_bytes.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

using std::chrono::milliseconds;
constexpr std::size_t kMiB = 1024 * 1024;

Bytes Block(const McpBlock& block) {
  return Bytes(block.begin(), block.end());
}

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

// The status: its length, then that much JSON, built from the status the session is handed; the
// session stays in step for the next command.
TEST(ClientSessionTest, TheStatusCommandAnswersWithALengthAndThatMuchJson) {
  SharedState state;
  state.status.AddWarning("a warning");
  const Bytes reply = Converse(state, Concat({Text("rSTATUS010"), Text("vFMCDATA20")}));
  ASSERT_GE(reply.size(), 4u + 8u);
  const std::uint32_t length = DecodeU32(reply.data());
  ASSERT_EQ(reply.size(), 4u + length + 8u);
  const auto status = nlohmann::json::parse(reply.begin() + 4, reply.begin() + 4 + length);
  EXPECT_EQ(status["warnings"], nlohmann::json::array({"a warning"}));
  EXPECT_EQ(Bytes(reply.end() - 8, reply.end()), Bytes(8, 0xFF)) << "the next reply in step";
}

TEST(ClientSessionTest, ACommandAfterTheStopIsNotServed) {
  SharedState state;
  state.running = false;
  EXPECT_TRUE(Converse(state, Text("vFMCDATA20")).empty());
}

// One session over a fresh loopback connection on a thread of its own, with the client's end
// left to the test: it sends and reads when it likes, or stops doing either.
class LiveSession {
 public:
  // `client_receive_buffer`, when not 0, is the client's receive buffer, fixed before it connects.
  explicit LiveSession(SharedState& state, int client_receive_buffer = 0) : state_(state) {
    if (!OpenSocketPair(&pair_, client_receive_buffer)) {
      ADD_FAILURE() << "no loopback connection";
      return;
    }
    platform::SetReceiveTimeout(pair_.client, 5000);
    // Nor does a send of the test's wait for ever on a session that has closed its end without
    // reading (Wine can leave such a send blocked).
    platform::SetSendTimeout(pair_.client, 5000);
    connection_.socket = pair_.server;
    connection_.guard = &guard_;
    thread_ = std::thread([this] {
      ClientSession(connection_, state_.shared);
      ended_ = true;
    });
  }
  ~LiveSession() {
    if (thread_.joinable()) {
      if (!ended_) {
        // A session that is still serving queued requests stops at the next one.
        state_.running = false;
        connection_.Interrupt();
        state_.frames.WakeAll();
      }
      thread_.join();
    }
    platform::CloseSocket(pair_.client);
  }

  // Sends all of `bytes`; false when the session has closed the connection first.
  bool Send(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n =
          platform::Send(pair_.client, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Up to `n` bytes: fewer when the session closes or sends nothing for five seconds.
  Bytes Receive(std::size_t n) {
    Bytes bytes(n);
    std::size_t got = 0;
    while (got < n) {
      const int r = platform::Receive(pair_.client, bytes.data() + got, static_cast<int>(n - got));
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    bytes.resize(got);
    return bytes;
  }
  void CloseClient() {
    platform::CloseSocket(pair_.client);
    pair_.client = platform::kInvalidSocket;
  }
  bool EndsWithin(milliseconds limit) {
    return WaitUntil([this] { return ended_.load(); }, limit);
  }
  bool ended() const { return ended_.load(); }

 private:
  SharedState& state_;
  SocketPair pair_;
  platform::Mutex guard_;
  SessionConnection connection_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

Bytes Repeated(std::string_view tag, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), tag.begin(), tag.end());
  return all;
}

std::pair<Bytes, std::uint32_t> StoredFmc(const SharedState& state) {
  const UploadStore::Snapshot fmc = state.fmc.Read();
  return {Bytes(fmc.data->begin(), fmc.data->end()), fmc.version};
}

void StoreFmc(SharedState& state, const Bytes& data, std::uint32_t version) {
  UploadBuffer buffer(state.uploads);
  ASSERT_TRUE(buffer.Grow(data.size()));
  std::memcpy(buffer.data(), data.data(), data.size());
  ASSERT_TRUE(state.fmc.PublishVersion(state.fmc.PublishData(std::move(buffer)), version));
}

// A command once begun must go on arriving: one that stalls ends its session within the stall
// limit, and what the session held is let go. Waiting between commands is never a stall.
TEST(ClientSessionLimitsTest, ACommandThatStallsEndsTheSessionAndAnIdleOneDoesNot) {
  const McpBlock block = ApMasterOn();
  struct Row {
    const char* name;
    Bytes sent;
    bool ends;
    std::size_t held_after;  // upload bytes still held afterwards
  };
  const Row rows[] = {
      {"half a tag", Text("rSIM"), true, 0},
      {"part of an upload's length", Concat({Text("sFMCDATA20"), Bytes{5, 0}}), true, 0},
      {"part of an upload's data", Concat({Text("sFMCDATA20"), U32(100000), Bytes(70000, 7)}), true,
       0},
      {"part of its version word", Concat({Text("sFMCDATA20"), U32(3), Text("abc"), Bytes{1}}),
       true, platform::PageRounded(3)},
      {"part of an autopilot block",
       Concat({Text("sMCPDATA20"), Bytes(block.begin(), block.begin() + 50)}), true, 0},
      {"part of its check value", Concat({Text("sMCPDATA20"), Block(block), Bytes{1, 2}}), true, 0},
      {"nothing yet", {}, false, 0},
      {"a whole upload, then nothing", Concat({Text("sFMCDATA20"), U32(3), Text("abc"), U32(7)}),
       false, platform::PageRounded(3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharedState state;
    state.shared.limits.command_stall_ms = 200;
    LiveSession session(state);
    ASSERT_TRUE(session.Send(row.sent));
    if (row.ends) {
      EXPECT_TRUE(session.EndsWithin(milliseconds(5000)));
    } else {
      EXPECT_FALSE(session.EndsWithin(milliseconds(1000)));
      ASSERT_TRUE(session.Send(Text("vFMCDATA20")));
      EXPECT_EQ(session.Receive(8).size(), 8u) << "still served";
    }
    EXPECT_EQ(state.uploads.held(), row.held_after);
  }
}

// A client that stops reading its replies is ended once a send has made no progress for the
// send limit, and lets go of the FMC data it was being sent.
TEST(ClientSessionLimitsTest, AClientThatStopsReadingIsEndedAndPinsNothing) {
  struct Row {
    const char* name;
    Bytes requests;
  };
  const Row rows[] = {
      {"FMC data", Text("rFMCDATA20")},
      {"frames", Repeated("rSIMDATA30", 5000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharedState state;
    state.shared.limits.send_stall_ms = 300;
    StoreFmc(state, Bytes(8 * kMiB, 0x5A), 1);
    LiveSession session(state);
    ASSERT_TRUE(session.Send(row.requests));
    EXPECT_TRUE(session.EndsWithin(milliseconds(10000)));
    state.fmc.Clear();
    EXPECT_EQ(state.uploads.held(), 0u) << "no snapshot is left behind";
  }
}

// Data that a slow reader is still being sent counts against the allowance as much as data
// arriving: an upload that would pass the limit beside it is refused, until that reader has
// been ended.
TEST(ClientSessionLimitsTest, DataASlowReaderHoldsCountsAgainstTheAllowance) {
  constexpr std::size_t kData = 8 * kMiB;
  SharedState state(/*upload_limit=*/12 * kMiB);
  state.shared.limits.send_stall_ms = 2000;
  StoreFmc(state, Bytes(kData, 0x5A), 1);
  const Bytes upload = Concat({Text("sFMCDATA20"), U32(kData), Bytes(kData, 0x11), U32(2)});

  LiveSession reader(state);
  ASSERT_TRUE(reader.Send(Text("rFMCDATA20")));
  ASSERT_EQ(reader.Receive(4), U32(kData)) << "its reply has begun";  // and it reads no more
  {
    LiveSession uploader(state);
    uploader.Send(upload);  // cut short when the session closes the connection
    EXPECT_TRUE(uploader.EndsWithin(milliseconds(5000))) << "refused while the old data is held";
  }
  EXPECT_LE(state.uploads.held(), state.uploads.limit());

  ASSERT_TRUE(reader.EndsWithin(milliseconds(10000)));
  LiveSession uploader(state);
  ASSERT_TRUE(uploader.Send(Concat({upload, Text("vFMCDATA20")})));
  EXPECT_EQ(uploader.Receive(8), Bytes(8, 0x11)) << "kept once the reader let go";
  EXPECT_EQ(state.uploads.held(), kData);
}

// A client that queued requests without reading and then left: the first reply that cannot be
// sent ends its session, rather than each queued request being served into the void.
TEST(ClientSessionLimitsTest, ASessionEndsAtItsFirstFailedSend) {
  SharedState state;
  state.frames.Publish(state.start_frame.data());  // each request after the first waits ~100 ms
  LiveSession session(state);
  ASSERT_TRUE(session.Send(Repeated("rSIMDATA30", 3000)));
  session.CloseClient();
  EXPECT_TRUE(session.EndsWithin(milliseconds(3000)));
}

// A command must arrive whole in time, not merely keep trickling: a tag sent a byte at a time
// ends its session, and so does an upload slower than the least rate (also one that sent much at
// first), whose buffer is given back at once. Data that keeps the rate is taken.
TEST(ClientSessionLimitsTest, ACommandThatTricklesEndsItsSession) {
  struct Row {
    const char* name;
    Bytes head;        // sent at once
    Bytes trickled;    // then a piece at a time
    std::size_t piece;
    bool ends;
  };
  const Bytes slow_data(4096, 3), fast_data(96 * 1024, 4);
  const Row rows[] = {
      {"a tag a byte at a time", {}, Text("rSIMDATA30"), 1, true},
      {"upload data below the rate", Concat({Text("sFMCDATA20"), U32(64 * 1024)}), slow_data, 256,
       true},
      {"upload data at twice the rate", Concat({Text("sFMCDATA20"), U32(96 * 1024)}), fast_data,
       4096, false},
      {"much upload data at once, then a byte at a time",
       Concat({Text("sFMCDATA20"), U32(1 << 20), Bytes(512 * 1024, 5)}), Bytes(30, 5), 1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharedState state;
    state.shared.limits.command_stall_ms = 500;
    state.shared.limits.upload_min_bytes_per_s = 20 * 1024;  // a piece every 100 ms is 40 KiB/s
    state.shared.limits.upload_rate_grace_ms = 200;
    LiveSession session(state);
    ASSERT_TRUE(session.Send(row.head));
    bool ended_early = false;
    for (std::size_t at = 0; at < row.trickled.size() && !ended_early; at += row.piece) {
      const auto from = row.trickled.begin() + static_cast<std::ptrdiff_t>(at);
      session.Send(Bytes(from, from + static_cast<std::ptrdiff_t>(
                                         std::min(row.piece, row.trickled.size() - at))));
      std::this_thread::sleep_for(milliseconds(100));
      ended_early = session.ended();
    }
    if (row.ends) {
      EXPECT_TRUE(ended_early) << "ended while it trickled";
      EXPECT_TRUE(session.EndsWithin(milliseconds(3000)));
      EXPECT_EQ(state.uploads.held(), 0u) << "the upload's buffer is given back";
      continue;
    }
    ASSERT_FALSE(ended_early);
    ASSERT_TRUE(session.Send(Concat({U32(9), Text("vFMCDATA20")})));
    EXPECT_EQ(session.Receive(8), Bytes(8, 4)) << "the upload was taken whole";
  }
}

// Progress is what the client consumes. A client that reads nothing, with a receive buffer too
// small for the system to let the replies pile up in it, is ended once the send limit has passed
// without progress, neither before nor long after; a client that reads slowly but steadily
// keeps its session and gets every byte.
TEST(ClientSessionLimitsTest, AClientIsJudgedByWhatItConsumes) {
  constexpr int kLimitMs = 3000;
  {
    SCOPED_TRACE("never reads");
    SharedState state;
    state.shared.limits.send_stall_ms = kLimitMs;
    // Each request waits for a fresh frame, as at the simulator's rate: the replies come slowly
    // enough for a buffer the system grows by itself to take them for a long while.
    std::atomic<bool> publishing{true};
    std::thread simulator([&] {
      while (publishing) {
        state.frames.Publish(state.start_frame.data());
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
    LiveSession session(state, /*client_receive_buffer=*/4096);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(session.Send(Repeated("rSIMDATA30", 20000)));
    const bool ended = session.EndsWithin(milliseconds(3 * kLimitMs));
    publishing = false;
    simulator.join();
    ASSERT_TRUE(ended);
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() -
                                                               start).count();
    std::printf("never-reading session ended after %lld ms\n", static_cast<long long>(took));
    EXPECT_GE(took, kLimitMs - 100) << "ended before the limit";
    EXPECT_LE(took, kLimitMs + 2000) << "ended long after the limit";
  }
  {
    SCOPED_TRACE("reads slowly");
    SharedState state;
    state.shared.limits.send_stall_ms = kLimitMs;
    LiveSession session(state, /*client_receive_buffer=*/4096);
    constexpr int kFrames = 200;  // 456,000 bytes at 32 KiB every 250 ms: about 3.5 s
    ASSERT_TRUE(session.Send(Repeated("rSIMDATA30", kFrames)));
    Bytes all;
    while (all.size() < kFrames * kFrameSize) {
      const Bytes got =
          session.Receive(std::min<std::size_t>(32 * 1024, kFrames * kFrameSize - all.size()));
      if (got.empty()) break;
      all.insert(all.end(), got.begin(), got.end());
      std::this_thread::sleep_for(milliseconds(250));
    }
    EXPECT_EQ(all.size(), kFrames * kFrameSize);
    EXPECT_FALSE(session.ended());
  }
}

// Large uploads, arriving or held, cannot take the last of the allowance: a small upload always
// finds room, while one that is not small is refused.
TEST(ClientSessionLimitsTest, ASmallUploadAlwaysFindsRoom) {
  constexpr std::size_t kLimit = 4 * kMiB, kReserve = 1 * kMiB;
  SharedState state(kLimit, kReserve);
  {
    UploadBuffer all(state.uploads);
    EXPECT_FALSE(all.Grow(kLimit - kReserve + 1)) << "a large buffer stays out of the reserve";
  }
  StoreFmc(state, Bytes(kLimit - kReserve, 0x5A), 1);  // the large data fills all it may
  EXPECT_EQ(Converse(state, Concat({Text("sFPLDATA10"), U32(5), Text("small"), U32(2)})), Bytes{});
  const UploadStore::Snapshot small = state.flight_plan.Read();
  EXPECT_EQ(Bytes(small.data->begin(), small.data->end()), Text("small"));
  const Bytes medium(kSmallUploadBytes + 1, 7);
  Converse(state, Concat({Text("sFPLDATA10"), U32(medium.size()), medium, U32(3)}));
  EXPECT_TRUE(state.flight_plan.Read().data->empty()) << "a larger one is refused";
}

// An upload's buffer holds its data in as few whole pages as it fits, all of them charged: the
// growth of the buffer while the data arrives leaves no spare capacity behind in the store.
TEST(ClientSessionTest, AnUploadHoldsOnlyThePagesItsBytesNeed) {
  SharedState state;
  const std::size_t length = 128 * 1024 + 1;  // one byte past a doubling of the first piece
  LiveSession session(state);
  ASSERT_TRUE(session.Send(
      Concat({Text("sFMCDATA20"), U32(length), Bytes(length, 0x33), U32(9), Text("vFMCDATA20")})));
  ASSERT_EQ(session.Receive(8), Bytes(8, 0x33));
  const UploadStore::Snapshot fmc = state.fmc.Read();
  EXPECT_EQ(fmc.data->size(), length);
  EXPECT_EQ(fmc.data->charged(), platform::PageRounded(length));
  EXPECT_EQ(state.uploads.held(), platform::PageRounded(length));
}

// Two uploads that overlap: each version word goes with its own data, or nowhere.
TEST(ClientSessionTest, AVersionWordStaysWithTheDataOfItsOwnUpload) {
  SharedState state;
  LiveSession first(state);
  LiveSession second(state);
  ASSERT_TRUE(first.Send(Concat({Text("sFMCDATA20"), U32(5), Text("first")})));
  ASSERT_TRUE(WaitUntil([&] { return StoredFmc(state).first == Text("first"); }));
  ASSERT_TRUE(second.Send(Concat({Text("sFMCDATA20"), U32(6), Text("second")})));
  ASSERT_TRUE(WaitUntil([&] { return StoredFmc(state).first == Text("second"); }));

  ASSERT_TRUE(first.Send(Concat({U32(1), Text("vFMCDATA20")})));
  ASSERT_EQ(first.Receive(8).size(), 8u);  // the version word has been dealt with
  EXPECT_EQ(StoredFmc(state), std::make_pair(Text("second"), 0u))
      << "the first upload's version word is not put on the second's data";

  ASSERT_TRUE(second.Send(Concat({U32(2), Text("vFMCDATA20")})));
  ASSERT_EQ(second.Receive(8).size(), 8u);
  EXPECT_EQ(StoredFmc(state), std::make_pair(Text("second"), 2u));
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
