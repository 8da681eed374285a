// The socket server on a port of its own (the system picks it) with shared state of its own, no
// add-on: clients that connect all at once or in a tight loop, a session thread that cannot be
// started, every place taken, and a stop whose wake-ups are lost.
#include "net/socket_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include "common/frame_layout.h"
#include "config/settings.h"
#include "platform/socket.h"
#include "support/addon_harness.h"
#include "support/loopback.h"
#include "support/session_state.h"
#include "support/test_files.h"
#include "support/wire_bytes.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A connection request the server's system did not take is retried after a second; on loopback
// a connection that is taken completes at once.
constexpr double kDroppedConnectMs = 900;

class SocketServerTest : public ::testing::Test {
 protected:
  SocketServerTest() { platform::SocketsStartup(); }
  ~SocketServerTest() override {
    server.reset();
    platform::SocketsCleanup();
  }

  // Settings under which every place may be taken from 127.0.0.1, the tests' one address.
  static SocketServer::Settings OneAddress() {
    SocketServer::Settings settings;
    settings.max_per_address = kMaxSessions;
    return settings;
  }

  // Starts a server on 127.0.0.1 and a port the system picks, and waits until it listens.
  void StartServer(SocketServer::Settings settings = OneAddress()) {
    settings.address = platform::Ipv4FromText("127.0.0.1");
    settings.port = 0;
    server = std::make_unique<SocketServer>(state.shared, state.running, settings);
    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(WaitUntil([&] { return server->port() != 0; }));
  }

  std::unique_ptr<zelm::Connection> Connect() {
    std::string error;
    auto c = zelm::Connection::Open("127.0.0.1", server->port(), &error, 5000);
    EXPECT_NE(c, nullptr) << error;
    return c;
  }

  // The server closed the connection (by a close or a reset), rather than staying silent; what
  // it sent before is passed over.
  static bool Closed(zelm::Connection& c) {
    std::uint8_t byte;
    while (c.ReceiveAll(&byte, 1)) {
    }
    return c.error_kind() != zelm::ErrorKind::kTimedOut;
  }

  SharedState state;
  std::unique_ptr<SocketServer> server;
};

// Fails the start of the session thread numbered kFailingStart (from 1).
constexpr int kFailingStart = 2;
std::atomic<int> starts{0};
bool StartFailingOnce(platform::Thread& thread, platform::Thread::Entry entry, void* argument) {
  if (++starts == kFailingStart) return false;
  return SocketServer::StartSessionThread(thread, entry, argument);
}

TEST_F(SocketServerTest, ASessionThreadThatCannotStartCostsOnlyItsConnection) {
  SocketServer::Settings settings = OneAddress();
  settings.start_thread = StartFailingOnce;
  starts = 0;
  StartServer(settings);
  auto first = Connect();
  ASSERT_TRUE(first && first->Sync());
  auto second = Connect();  // its thread does not start
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(Closed(*second));
  auto third = Connect();
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(third->Sync()) << "the server goes on accepting";
  EXPECT_TRUE(first->Sync()) << "the session already running goes on";
}

// More clients than there are places, all at once (panels reconnecting after a restart): every
// connection is taken at once, a place's worth of them are served and the rest are closed; none
// is left waiting.
TEST_F(SocketServerTest, ClientsConnectingAllAtOnceAreServedOrClosedAtOnce) {
  StartServer();
  constexpr int kClients = 200;
  enum class Outcome { kNone, kFrame, kClosed };
  struct Client {
    platform::SocketHandle socket = platform::kInvalidSocket;
    double connect_ms = 0;
    Outcome outcome = Outcome::kNone;
  };
  std::vector<Client> clients(kClients);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (Client& client : clients) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      const Clock::time_point start = Clock::now();
      std::string error;
      client.socket = platform::ConnectTcp("127.0.0.1", server->port(), &error);
      client.connect_ms = MillisecondsSince(start);
      if (client.socket == platform::kInvalidSocket) return;
      platform::SetReceiveTimeout(client.socket, 20000);
      if (platform::Send(client.socket, "rSIMDATA30", 10) != 10) {
        client.outcome = Outcome::kClosed;
        return;
      }
      Bytes frame(kFrameSize);
      std::size_t got = 0;
      while (got < frame.size()) {
        const int n = platform::Receive(client.socket, frame.data() + got,
                                        static_cast<int>(frame.size() - got));
        if (n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError()))) {
          client.outcome = Outcome::kClosed;
          return;
        }
        if (n < 0) return;  // neither a frame nor a close
        got += static_cast<std::size_t>(n);
      }
      client.outcome = Outcome::kFrame;
    });
  }
  while (ready.load() < kClients) std::this_thread::yield();
  go = true;
  for (std::thread& t : threads) t.join();

  int frames = 0, closed = 0;
  double slowest_connect = 0;
  for (const Client& client : clients) {
    EXPECT_NE(client.socket, platform::kInvalidSocket);
    frames += client.outcome == Outcome::kFrame;
    closed += client.outcome == Outcome::kClosed;
    slowest_connect = std::max(slowest_connect, client.connect_ms);
    platform::CloseSocket(client.socket);
  }
  EXPECT_LT(slowest_connect, kDroppedConnectMs) << "a connection request was dropped";
  EXPECT_EQ(frames, static_cast<int>(kMaxSessions));
  EXPECT_EQ(closed, kClients - static_cast<int>(kMaxSessions));
}

TEST_F(SocketServerTest, AClientConnectingAndClosingInATightLoopIsNeverKeptWaiting) {
  StartServer();
  for (int cycle = 0; cycle < 2000; ++cycle) {
    const Clock::time_point start = Clock::now();
    std::string error;
    const platform::SocketHandle s = platform::ConnectTcp("127.0.0.1", server->port(), &error);
    const double connect_ms = MillisecondsSince(start);
    ASSERT_NE(s, platform::kInvalidSocket) << error;
    platform::CloseSocket(s);
    ASSERT_LT(connect_ms, kDroppedConnectMs) << "cycle " << cycle;
  }
}

// Clients that have just closed give their places to the next ones, even before their sessions
// have noticed.
TEST_F(SocketServerTest, PlacesOfClientsThatHaveJustGoneGoToTheNextOnes) {
  StartServer();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<zelm::Connection>> clients;
    for (std::size_t i = 0; i < kMaxSessions; ++i) clients.push_back(Connect());
    for (auto& c : clients) ASSERT_TRUE(c && c->Sync());
    clients.clear();  // all of them leave
    for (std::size_t i = 0; i < kMaxSessions; ++i) clients.push_back(Connect());
    for (std::size_t i = 0; i < kMaxSessions; ++i) {
      ASSERT_TRUE(clients[i] && clients[i]->Sync()) << "client " << i;
    }
  }
}

TEST_F(SocketServerTest, AtTheLimitTheSessionIdleLongestGivesWayToANewConnection) {
  constexpr int kEvictAfterMs = 1500;
  SocketServer::Settings settings = OneAddress();
  settings.idle_evict_after_ms = kEvictAfterMs;
  StartServer(settings);
  std::vector<std::unique_ptr<zelm::Connection>> clients;
  for (std::size_t i = 0; i < kMaxSessions; ++i) clients.push_back(Connect());
  for (auto& c : clients) ASSERT_TRUE(c && c->Sync());

  auto early = Connect();
  ASSERT_NE(early, nullptr);
  EXPECT_TRUE(Closed(*early)) << "no session has been idle long enough yet";

  constexpr std::size_t kIdle = 7;
  std::this_thread::sleep_for(milliseconds(kEvictAfterMs + 200));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (i != kIdle) {
      ASSERT_TRUE(clients[i]->Sync()) << "client " << i;
    }
  }
  auto late = Connect();
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(late->Sync()) << "it took the place of the idle one";
  EXPECT_TRUE(Closed(*clients[kIdle]));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (i != kIdle) {
      EXPECT_TRUE(clients[i]->Sync()) << "client " << i;
    }
  }
}

// A connection from an address the allow list does not hold is closed at once, logged with its
// address and counted, and claims no place: not even that of a session idle past its time.
// docs/protocol.md tells clients how long the server waits at the session limit: its figures
// must be the server's.
TEST(SocketServerLimitsTest, TheProtocolDocumentGivesTheWaitsAtTheLimitTheServerKeeps) {
  std::string doc;
  for (const char c : ReadWholeFile(VELKARO_SOURCE_DIR "/docs/protocol.md")) {
    const bool blank = c == ' ' || c == '\n' || c == '\r';
    if (!blank) {
      doc += c;
    } else if (!doc.empty() && doc.back() != ' ') {
      doc += ' ';  // as read: line breaks and indentation are one blank
    }
  }
  auto seconds = [](int ms) {
    char figure[32];
    std::snprintf(figure, sizeof figure, "%g", ms / 1000.0);
    return std::string(figure) + (ms == 1000 ? " second" : " seconds");
  };
  const std::string kPhrases[] = {
      "waits up to " + seconds(kSessionEndWaitMs) + " for such a place",
      "idle for more than " + seconds(kIdleEvictAfterMs),
  };
  for (const std::string& phrase : kPhrases) {
    EXPECT_NE(doc.find(phrase), std::string::npos) << "docs/protocol.md must say: " << phrase;
  }
}

TEST_F(SocketServerTest, AnAddressNotAllowedIsClosedAtOnceAndTakesNoPlace) {
  ScratchFolder folder;
  state.log.Enabled = true;
  state.log.FilePath = folder.path() + "Velkaro.log";
  SocketServer::Settings settings = OneAddress();
  settings.max_sessions = 1;
  settings.idle_evict_after_ms = 100;
  settings.allow = ParseSettings("[server]\nallow = 127.0.0.1\n").allow;
  StartServer(settings);
  EXPECT_TRUE(state.status.Read(0).listening);
  auto idle = Connect();
  ASSERT_TRUE(idle && idle->Sync());
  std::this_thread::sleep_for(milliseconds(300));  // idle long enough to give way

  const platform::SocketHandle stranger = ConnectFrom("127.0.0.2", "127.0.0.1", server->port());
  ASSERT_NE(stranger, platform::kInvalidSocket);
  platform::SetReceiveTimeout(stranger, 5000);
  std::uint8_t byte;
  const int n = platform::Receive(stranger, &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError())))
      << "closed, not kept waiting";
  platform::CloseSocket(stranger);
  EXPECT_TRUE(idle->Sync()) << "the idle session keeps its place";
  EXPECT_EQ(state.status.Read(0).refused_connections, 1u);
  EXPECT_NE(ReadWholeFile(state.log.FilePath)
                .find("Zelm Socket: refused connection from 127.0.0.2 (not in allow)"),
            std::string::npos);
  server->Stop();
  EXPECT_FALSE(state.status.Read(0).listening);
}

// A flood of connections from an address not allowed costs the log a few lines, not one each;
// the status counts them all. A client served is logged with its address as it comes and goes.
TEST_F(SocketServerTest, RefusedFloodsCostTheLogAFewLinesAndClientsAreNamed) {
  ScratchFolder folder;
  state.log.Enabled = true;
  state.log.FilePath = folder.path() + "Velkaro.log";
  ASSERT_EQ(state.log.Reset(), "");
  SocketServer::Settings settings = OneAddress();
  settings.allow = ParseSettings("[server]\nallow = 127.0.0.1\n").allow;
  StartServer(settings);
  constexpr int kRefused = 1000;
  for (int i = 0; i < kRefused; ++i) {
    const platform::SocketHandle stranger = ConnectFrom("127.0.0.2", "127.0.0.1", server->port());
    ASSERT_NE(stranger, platform::kInvalidSocket);
    platform::CloseSocket(stranger);
  }
  ASSERT_TRUE(WaitUntil([&] { return state.status.Read(0).refused_connections == kRefused; }));
  EXPECT_LT(ReadWholeFile(state.log.FilePath).size(), 4096u);
  {
    auto client = Connect();
    ASSERT_TRUE(client && client->Sync());
  }
  EXPECT_TRUE(WaitUntil([&] {
    return ReadWholeFile(state.log.FilePath)
               .find("Zelm Socket: ended client serving thread for 127.0.0.1") != std::string::npos;
  }));
  server->Stop();
  const std::string log = ReadWholeFile(state.log.FilePath);
  EXPECT_NE(log.find("Zelm Socket: successfully created client serving thread for 127.0.0.1"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Zelm Socket: refused connection from 127.0.0.2 (not in allow)"),
            std::string::npos);
}

// While set, the server's wake-ups reach nothing, as under a layered service provider that
// swallows them.
std::atomic<bool> wakes_lost{false};
void LosableWake(platform::SocketHandle socket) {
  if (!wakes_lost) platform::InterruptSocket(socket);
}

// A server that cannot listen says where and why, with the system's code and text.
TEST_F(SocketServerTest, APortTakenIsLoggedWithWhereAndWhy) {
  StartServer();
  const std::uint16_t taken = server->port();
  ScratchFolder folder;
  SharedState second;
  second.log.Enabled = true;
  second.log.FilePath = folder.path() + "Velkaro.log";
  SocketServer::Settings settings = OneAddress();
  settings.address = platform::Ipv4FromText("127.0.0.1");
  settings.port = taken;
  SocketServer refused(second.shared, second.running, settings);
  ASSERT_TRUE(refused.Start());
  ASSERT_TRUE(WaitUntil([&] {
    return ReadWholeFile(second.log.FilePath).find("Zelm Socket: bind failed") != std::string::npos;
  }));
  const std::string log = ReadWholeFile(second.log.FilePath);
  const std::regex line("Zelm Socket: bind failed on 127\\.0\\.0\\.1:" + std::to_string(taken) +
                        ": error [0-9]+, [^\\r\\n]+");
  EXPECT_TRUE(std::regex_search(log, line)) << log;
  EXPECT_EQ(refused.port(), 0) << "no server behind it";
}

// Binds a socket of another program's to 127.0.0.1:`port`, asking for the address's reuse (which
// on Windows lets it bind over a listener that did not claim exclusive use); true if bound.
bool BindAskingForReuse(std::uint16_t port) {
  const platform::SocketHandle s = platform::OpenTcpSocket();
  if (s == platform::kInvalidSocket) return false;
#if defined(_WIN32)
  const BOOL on = TRUE;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
             sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  const bool bound =
      bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
#else
  // Asked for already, by every socket here.
  const bool bound = platform::BindIpv4(s, platform::Ipv4FromText("127.0.0.1"), port) == 0;
#endif
  platform::CloseSocket(s);
  return bound;
}

TEST_F(SocketServerTest, NoOtherSocketCanBindTheListeningPort) {
  StartServer();
  EXPECT_FALSE(BindAskingForReuse(server->port()));
  auto client = Connect();
  ASSERT_NE(client, nullptr) << "the server still listens";
}

TEST_F(SocketServerTest, AStopEndsInTimeEvenWhenItsWakeUpsAreLost) {
  SocketServer::Settings settings = OneAddress();
  settings.wake = LosableWake;
  StartServer(settings);
  state.frames.Publish(state.start_frame.data());
  auto silent = Connect();
  auto uploading = Connect();
  auto waiting = Connect();
  auto not_reading = Connect();
  ASSERT_TRUE(silent && uploading && waiting && not_reading);
  ASSERT_TRUE(silent->Sync());
  ASSERT_TRUE(uploading->SendAll("sFMCDATA20\x00\x00\x10\x00", 14));  // announces 1 MiB
  zelm::Frame frame;
  ASSERT_TRUE(waiting->FetchFrame(&frame));
  ASSERT_TRUE(waiting->SendAll("rSIMDATA30", 10));  // waits for the next frame
  UploadBuffer data(state.uploads);
  ASSERT_TRUE(data.Grow(8 * 1024 * 1024));
  state.fmc.PublishData(std::move(data));
  ASSERT_TRUE(not_reading->SendAll("rFMCDATA20rFMCDATA20", 20));  // more than the buffers hold
  std::this_thread::sleep_for(milliseconds(300));

  wakes_lost = true;
  std::atomic<bool> stopped{false};
  double stop_ms = 0;
  std::thread stopping([&] {
    const Clock::time_point start = Clock::now();
    server->Stop();
    stop_ms = MillisecondsSince(start);
    stopped = true;
  });
  const bool in_time = WaitUntil([&] { return stopped.load(); }, milliseconds(10000));
  wakes_lost = false;  // a stop still under way now ends
  stopping.join();
  ASSERT_TRUE(in_time) << "the stop waited for wake-ups that never came";
  EXPECT_LT(stop_ms, kStopBoundMs);
  for (auto* c : {silent.get(), uploading.get(), waiting.get(), not_reading.get()}) {
    EXPECT_TRUE(Closed(*c));
  }
}

// One address holds at most its share of the places: beyond it, its new connection takes the
// place of one of its own clients that has closed, or is closed at once; other addresses are
// served meanwhile.
TEST_F(SocketServerTest, OneAddressHoldsAtMostItsShareOfThePlaces) {
  SocketServer::Settings settings = OneAddress();
  settings.max_per_address = 2;
  StartServer(settings);
  auto first = Connect();
  auto second = Connect();
  ASSERT_TRUE(first && first->Sync() && second && second->Sync());
  auto third = Connect();
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(Closed(*third)) << "beyond its address's share";

  const platform::SocketHandle other = ConnectFrom("127.0.0.2", "127.0.0.1", server->port());
  ASSERT_NE(other, platform::kInvalidSocket);
  platform::SetReceiveTimeout(other, 5000);
  ASSERT_EQ(platform::Send(other, "vFMCDATA20", 10), 10);
  std::uint8_t head[8];
  EXPECT_EQ(platform::Receive(other, head, sizeof head), 8) << "another address is served";
  platform::CloseSocket(other);

  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    first.reset();  // the client leaves; the next one from its address comes at once
    first = Connect();
    ASSERT_TRUE(first && first->Sync()) << "it takes the place of the client that left";
  }
  EXPECT_TRUE(second->Sync());
}

// Tags the server does not know, or bytes that never make a whole tag, serve nothing: a client
// that sends only those is idle, and gives way to a new connection at the limit.
TEST_F(SocketServerTest, AClientThatSendsOnlyUnknownTagsCountsAsIdle) {
  constexpr int kEvictAfterMs = 600;
  SocketServer::Settings settings = OneAddress();
  settings.max_sessions = 2;
  settings.idle_evict_after_ms = kEvictAfterMs;
  StartServer(settings);
  auto chatty = Connect();
  auto busy = Connect();
  ASSERT_TRUE(chatty && chatty->Sync() && busy && busy->Sync());
  const Clock::time_point start = Clock::now();
  while (MillisecondsSince(start) < kEvictAfterMs + 400) {
    ASSERT_TRUE(chatty->SendAll("xUNKNOWN10", 10));
    ASSERT_TRUE(busy->Sync());
    std::this_thread::sleep_for(milliseconds(50));
  }
  auto late = Connect();
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(late->Sync()) << "it took the place of the client that served nothing";
  EXPECT_TRUE(Closed(*chatty));
  EXPECT_TRUE(busy->Sync());
}

}  // namespace
}  // namespace velkaro::testing
