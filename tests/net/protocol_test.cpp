// The client protocol over real loopback connections to the add-on in the stand-in simulator:
// every command byte for byte, every way an upload can be cut short and what the stores hold
// afterwards, malformed input, many clients, and stopping while clients misbehave.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/coding.h"
#include "common/mcp_block.h"
#include "platform/socket.h"
#include "support/addon_harness.h"
#include "support/loopback.h"
#include "support/wire_bytes.h"
#include "support/zelm_wire.h"

namespace velkaro::testing {
namespace {

// The add-on's limits, as clients are told them.
constexpr std::uint32_t kUploadBound = 16u * 1024 * 1024;
constexpr std::size_t kSessionLimit = 64;

class ProtocolTest : public AddOnTest {
 protected:
  void SetUp() override {
    AddOnTest::SetUp();
    addon.Frames(2);  // the server runs and a frame is published
  }

  // What a fresh connection reads back of the FMC store.
  static std::pair<Bytes, std::uint32_t> Fmc() {
    auto c = ConnectToAddOn();
    Bytes data;
    std::uint32_t version = 0;
    EXPECT_TRUE(c && c->FetchFmc(&data, &version));
    return {data, version};
  }
  static void StoreFmc(const std::string& data, std::uint32_t version) {
    auto c = ConnectToAddOn();
    ASSERT_TRUE(c->StoreFmc(Text(data), version) && c->Sync()) << c->error();
  }
};

// Must run first in this program: the stores live as long as the library.
TEST_F(ProtocolTest, BeforeAnyUploadTheFmcStoreIsEmpty) {
  auto c = ConnectToAddOn();
  ASSERT_TRUE(Send(*c, Text("rFMCDATA20vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), Bytes(8, 0x00));
  EXPECT_EQ(Receive(*c, 8), Bytes(8, 0xFF));
}

TEST_F(ProtocolTest, FmcDataRoundTripsByteForByte) {
  auto c = ConnectToAddOn();
  ASSERT_TRUE(Send(*c, Concat({Text("sFMCDATA20"), U32(3), Text("abc"), U32(7)})));
  ASSERT_TRUE(Send(*c, Text("rFMCDATA20")));
  EXPECT_EQ(Receive(*c, 11), (Bytes{3, 0, 0, 0, 0x61, 0x62, 0x63, 7, 0, 0, 0}));
  ASSERT_TRUE(Send(*c, Text("vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), (Bytes{0x61, 0x62, 0x63, 0, 0, 0, 0, 0})) << "short data, then zeros";

  ASSERT_TRUE(Send(*c, Concat({Text("sFMCDATA20"), U32(10), Text("0123456789"), U32(0xA1B2C3D4)})));
  ASSERT_TRUE(Send(*c, Text("vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), Text("01234567"));
  EXPECT_EQ(Fmc(), std::make_pair(Text("0123456789"), 0xA1B2C3D4u)) << "seen by other clients";
}

TEST_F(ProtocolTest, TagsAreAssembledAcrossSegmentsAndServedInOrderWithinOne) {
  auto c = ConnectToAddOn();
  ASSERT_TRUE(Send(*c, Text("rSIM")));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(Send(*c, Text("DATA30")));
  zelm::Frame frame;
  ASSERT_TRUE(c->ReceiveAll(frame.bytes.data(), frame.bytes.size()));
  EXPECT_EQ(frame.Text("magic"), "ZELM30");

  StoreFmc("xyz", 9);
  ASSERT_TRUE(Send(*c, Text("vFMCDATA20rFMCDATA20vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), (Bytes{'x', 'y', 'z', 0, 0, 0, 0, 0}));
  EXPECT_EQ(Receive(*c, 11), (Bytes{3, 0, 0, 0, 'x', 'y', 'z', 9, 0, 0, 0}));
  EXPECT_EQ(Receive(*c, 8), (Bytes{'x', 'y', 'z', 0, 0, 0, 0, 0}));
}

TEST_F(ProtocolTest, UnknownTagsAreIgnoredAndTheSessionGoesOn) {
  auto c = ConnectToAddOn();
  StoreFmc("q", 1);
  ASSERT_TRUE(Send(*c, Text("rSIMDATA31xFMCDATA20GARBAGE!!!vFMCDATA20")));
  EXPECT_EQ(Receive(*c, 8), (Bytes{'q', 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ProtocolTest, FreshFrameWaitSendsEachFrameOnceAndTheSameOneAfterItsBound) {
  auto c = ConnectToAddOn();
  zelm::Frame first, second, third;
  ASSERT_TRUE(c->FetchFrame(&first));
  ASSERT_TRUE(c->FetchFrame(&second)) << "no new frame: the same one after the wait";
  EXPECT_EQ(first.bytes, second.bytes);
  addon.Frames(1);
  ASSERT_TRUE(c->FetchFrame(&third));
  EXPECT_NE(second.bytes, third.bytes);
  EXPECT_EQ(third.Text("magic"), "ZELM30");
}

TEST_F(ProtocolTest, AnAutopilotBlockIsMergedOnlyWhenItsCheckValueMatches) {
  McpBlock block{};
  ResetMcpBlock(block);
  McpChange(block, mcp::kApMaster, 1);
  const std::uint32_t check = McpCheckValue(block.data());

  auto c = ConnectToAddOn();
  ASSERT_TRUE(
      Send(*c, Concat({Text("sMCPDATA20"), Bytes(block.begin(), block.end()), U32(check + 1)})));
  ASSERT_TRUE(c->Sync()) << "no reply to the block, and the next command is served";
  addon.sim().ClearCalls();
  addon.Frames(1);
  EXPECT_TRUE(addon.Calls("SimConnect_TransmitClientEvent").empty()) << "rejected block";

  ASSERT_TRUE(
      Send(*c, Concat({Text("sMCPDATA20"), Bytes(block.begin(), block.end()), U32(check)})));
  ASSERT_TRUE(c->Sync());
  addon.Frames(1);
  const std::vector<StandInCall> sent = addon.Calls("SimConnect_TransmitClientEvent");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_STREQ(sent[0].text, "AP_MASTER");
}

// Uploads cut short or refused: the connection is closed, and the store holds what the table
// says. Each row stores known data first.
struct UploadCase {
  const char* name;
  Bytes sent;        // after which the client closes (or the add-on does)
  Bytes data_after;  // FMC data afterwards
  std::uint32_t version_after;
};

TEST_F(ProtocolTest, FmcUploadsCutShortOrRefusedLeaveTheStoreWhole) {
  const std::vector<UploadCase> cases = {
      {"length cut short", Concat({Text("sFMCDATA20"), Bytes{5, 0}}), {}, 42},
      {"length 0", Concat({Text("sFMCDATA20"), U32(0)}), {}, 42},
      {"length 2^31", Concat({Text("sFMCDATA20"), U32(0x80000000u), Text("abc")}), {}, 42},
      {"length over the bound",
       Concat({Text("sFMCDATA20"), U32(kUploadBound + 1), Text("abc")}),
       {},
       42},
      {"data cut short", Concat({Text("sFMCDATA20"), U32(10), Text("12345")}), {}, 42},
      {"version cut short", Concat({Text("sFMCDATA20"), U32(4), Text("1234"), Bytes{9, 9}}),
       Text("1234"), 42},
      {"complete", Concat({Text("sFMCDATA20"), U32(4), Text("1234"), U32(43)}), Text("1234"), 43},
  };
  for (const UploadCase& row : cases) {
    SCOPED_TRACE(row.name);
    StoreFmc("previous", 42);
    {
      auto c = ConnectToAddOn();
      ASSERT_TRUE(Send(*c, row.sent));
      c->ShutdownSending();  // the client stops here
      EXPECT_TRUE(Closed(*c));
    }
    // The session has ended: the store is final.
    EXPECT_EQ(Fmc(), std::make_pair(row.data_after, row.version_after));
  }
}

TEST_F(ProtocolTest, AnUploadOfExactlyTheBoundIsKept) {
  Bytes data(kUploadBound);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  auto c = ConnectToAddOn(30000);
  ASSERT_TRUE(c->StoreFmc(data, 77) && c->Sync()) << c->error();
  Bytes back;
  std::uint32_t version = 0;
  ASSERT_TRUE(c->FetchFmc(&back, &version)) << c->error();
  EXPECT_EQ(version, 77u);
  EXPECT_TRUE(back == data);
}

TEST_F(ProtocolTest, FlightPlanUploadsFollowTheSameRules) {
  auto c = ConnectToAddOn();
  ASSERT_TRUE(c->StoreFlightPlan(Text("KSEA DCT KPDX"), 3) && c->Sync()) << "kept, connection open";
  StoreFmc("fmc", 5);
  ASSERT_TRUE(Send(*c, Concat({Text("sFPLDATA10"), U32(0)})));
  EXPECT_TRUE(Closed(*c)) << "length 0 ends the session";
  EXPECT_EQ(Fmc(), std::make_pair(Text("fmc"), 5u)) << "the FMC store is another store";
}

TEST_F(ProtocolTest, AutopilotBlocksCutShort) {
  McpBlock block{};
  ResetMcpBlock(block);
  McpChange(block, mcp::kApMaster, 1);
  struct Row {
    const char* name;
    Bytes sent;
  };
  const Row rows[] = {
      {"nothing of the block", Text("sMCPDATA20")},
      {"part of the block", Concat({Text("sMCPDATA20"), Bytes(block.begin(), block.begin() + 50)})},
      {"part of the check value",
       Concat({Text("sMCPDATA20"), Bytes(block.begin(), block.end()), Bytes{1, 2}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    {
      auto c = ConnectToAddOn();
      ASSERT_TRUE(Send(*c, row.sent));
      c->ShutdownSending();
      EXPECT_TRUE(Closed(*c));
    }
    addon.sim().ClearCalls();
    addon.Frames(1);
    EXPECT_TRUE(addon.Calls("SimConnect_TransmitClientEvent").empty()) << "nothing merged";
  }
}

TEST_F(ProtocolTest, GarbageOnOneConnectionLeavesTheOthersServed) {
  auto bystander = ConnectToAddOn();
  StoreFmc("kept", 11);
  {
    auto noisy = ConnectToAddOn();
    Bytes garbage(20000);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : garbage) {
      x = x * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(x >> 24);
    }
    ASSERT_TRUE(Send(*noisy, garbage));
  }
  ASSERT_TRUE(bystander->Sync());
  EXPECT_EQ(Fmc(), std::make_pair(Text("kept"), 11u));
  zelm::Frame frame;
  EXPECT_TRUE(bystander->FetchFrame(&frame));
}

TEST_F(ProtocolTest, SeveralClientsAreServedAtOnce) {
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<zelm::Connection>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(ConnectToAddOn());
  std::atomic<bool> stepping{true};
  std::vector<int> frames(kClients, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      zelm::Frame frame, previous;
      for (int n = 0; n < 20; ++n) {
        if (!clients[static_cast<std::size_t>(i)]->FetchFrame(&frame)) return;
        if (frame.bytes != previous.bytes) ++frames[static_cast<std::size_t>(i)];
        previous = frame;
      }
    });
  }
  std::thread simulator([&] {
    while (stepping.load()) {
      addon.Frames(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (std::thread& t : threads) t.join();
  stepping = false;
  simulator.join();
  for (int i = 0; i < kClients; ++i)
    EXPECT_GE(frames[static_cast<std::size_t>(i)], 10) << "client " << i;
}

// A connection from `from` (a loopback address), answering as a client that syncs: true when the
// add-on served it, false when it closed it.
class FromClient {
 public:
  explicit FromClient(const std::string& from)
      : socket_(ConnectFrom(from.c_str(), "127.0.0.1", protocol::kDefaultPort)) {
    if (socket_ != platform::kInvalidSocket) platform::SetReceiveTimeout(socket_, 5000);
  }
  ~FromClient() { platform::CloseSocket(socket_); }
  bool Served() {
    if (socket_ == platform::kInvalidSocket) {
      ADD_FAILURE() << "no connection: error " << platform::LastSocketError();
      return false;
    }
    if (platform::Send(socket_, "vFMCDATA20", 10) != 10) return false;
    std::uint8_t head[8];
    std::size_t got = 0;
    while (got < sizeof head) {
      const int n = platform::Receive(socket_, head + got, static_cast<int>(sizeof head - got));
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  platform::SocketHandle socket_;
};

// Every place taken, by clients from four addresses (one address holds at most 16).
TEST_F(ProtocolTest, BeyondSixtyFourClientsNewConnectionsAreClosedUntilOneLeaves) {
  const auto address = [](std::size_t i) { return "127.0.0." + std::to_string(2 + i % 4); };
  ASSERT_TRUE(ConnectToAddOn() != nullptr) << "the add-on listens";
  std::vector<std::unique_ptr<FromClient>> clients;
  for (std::size_t i = 0; i < kSessionLimit; ++i) {
    clients.push_back(std::make_unique<FromClient>(address(i)));
    ASSERT_TRUE(clients.back()->Served()) << "client " << i;
  }
  auto extra = ConnectToAddOn();
  ASSERT_NE(extra, nullptr);  // the connection is accepted, then closed at once
  EXPECT_TRUE(Closed(*extra));

  clients.front().reset();  // one leaves
  ASSERT_TRUE(WaitUntil([] {
    auto next = ConnectToAddOn();
    return next != nullptr && next->Sync();
  })) << "its place is free again";
  for (auto& c : clients) {
    if (c) {
      EXPECT_TRUE(c->Served());
    }
  }
}

// Stopping while clients are silent, mid-upload, or not reading: DLLStop returns (which means
// every session was joined) and the clients see their connections end.
TEST(ProtocolStopTest, StopReturnsWhileClientsAreSilentMidUploadOrNotReading) {
  AddOnHarness& addon = AddOnHarness::Instance();
  addon.Start();
  addon.Frames(2);
  auto silent = ConnectToAddOn();
  auto uploading = ConnectToAddOn();
  auto mid_block = ConnectToAddOn();
  auto not_reading = ConnectToAddOn();
  ASSERT_TRUE(silent->Sync());
  ASSERT_TRUE(uploading->SendAll("sFMCDATA20\x00\x00\x10\x00", 14));  // announces 1 MiB
  ASSERT_TRUE(uploading->SendAll(Bytes(1000, 1).data(), 1000));
  ASSERT_TRUE(mid_block->SendAll("sMCPDATA20abc", 13));
  // Requests frames without reading them until the add-on can no longer send.
  const Bytes requests = [] {
    Bytes r;
    for (int i = 0; i < 2000; ++i)
      r.insert(r.end(), {'r', 'S', 'I', 'M', 'D', 'A', 'T', 'A', '3', '0'});
    return r;
  }();
  std::thread flood([&] { not_reading->SendAll(requests.data(), requests.size()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  addon.Stop();  // the test would hang here if any session were left behind

  for (auto* c : {silent.get(), uploading.get(), mid_block.get()}) {
    std::uint8_t byte;
    EXPECT_FALSE(c->ReceiveAll(&byte, 1));
  }
  not_reading->Shutdown();
  flood.join();
}

}  // namespace
}  // namespace velkaro::testing
