// libzelm and the zelm program against peers that are not the add-on: one that trickles its
// reply a byte at a time, one that never reads what it is sent, one that announces more than the
// protocol allows, one that answers with something that is not a frame. Whatever the peer does,
// the client ends in bounded time with a reason; Ctrl-C ends the program too. And the zelm
// program as a user meets it: its command line, status against canned replies, watch against a
// fake add-on that stops publishing, goes away and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "common/protocol.h"
#include "common/version.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "support/addon_harness.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/test_files.h"
#include "support/wire_bytes.h"
#include "zelm_client.h"

namespace velkaro::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// How long a bad peer keeps misbehaving before it gives up and closes: far beyond every limit a
// client under test sets, so a client without a limit fails its test instead of hanging it.
constexpr auto kPeerPatience = seconds(20);
// How long a client under test may take to give up on its own (its limit is 1 s; the rest is
// room for a loaded machine and for Wine).
constexpr auto kGivesUpWithin = seconds(10);

enum class Misbehaviour {
  kReply,      // sends the reply at once, then waits for the client to go
  kTrickle,    // sends the reply one byte every 250 ms
  kNeverRead,  // reads nothing at all
};

// A peer on a port the system picks that serves one connection as told.
class BadPeer {
 public:
  explicit BadPeer(Misbehaviour how, Bytes reply = {}) : how_(how), reply_(std::move(reply)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~BadPeer() {
    stop_ = true;
    // A client that never came: wake the accept with a connection of our own.
    if (!accepted_) platform::CloseSocket(platform::ConnectTcp("127.0.0.1", port(), nullptr));
    thread_.join();
  }
  std::uint16_t port() const { return listener_.port(); }

 private:
  bool GoOn(Clock::time_point give_up) const { return !stop_ && Clock::now() < give_up; }

  void Serve() {
    const platform::SocketHandle s = listener_.Accept();
    accepted_ = true;
    if (s == platform::kInvalidSocket) return;
    const Clock::time_point give_up = Clock::now() + kPeerPatience;
    platform::SetReceiveTimeout(s, 50);
    if (how_ != Misbehaviour::kNeverRead) {
      std::size_t tag = 0;
      std::uint8_t byte;
      while (tag < protocol::kTagSize && GoOn(give_up)) {
        const int n = platform::Receive(s, &byte, 1);
        if (n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError()))) break;
        if (n > 0) ++tag;
      }
      if (how_ == Misbehaviour::kReply) {
        platform::Send(s, reply_.data(), static_cast<int>(reply_.size()));
      }
      for (std::size_t i = 0; how_ == Misbehaviour::kTrickle && i < reply_.size(); ++i) {
        if (!GoOn(give_up) || platform::Send(s, &reply_[i], 1) != 1) break;
        platform::SleepMilliseconds(250);
      }
    }
    // Keep the connection, reading nothing, until the client goes or the test ends.
    while (GoOn(give_up)) {
      if (how_ != Misbehaviour::kNeverRead && platform::WaitSocket(s, false, 50) > 0) {
        std::uint8_t scrap[4096];
        if (platform::Receive(s, scrap, sizeof scrap) <= 0) break;
      } else {
        platform::SleepMilliseconds(50);
      }
    }
    platform::CloseSocket(s);
  }

  LoopbackListener listener_;
  const Misbehaviour how_;
  const Bytes reply_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::thread thread_;
};

Bytes NotAFrame() {
  Bytes frame(kFrameSize, 0);
  std::copy_n("HELLO!", 6, frame.begin());
  return frame;
}

Bytes AFrame() {
  Bytes frame(kFrameSize, 0);
  std::copy_n(protocol::kFrameMagic, protocol::kFrameMagicBytes, frame.begin());
  return frame;
}

// Each operation against a peer that trickles a well-formed reply: a byte arrives well within
// the connection's 5 s wait every time, so only the deadline ends it.
TEST(ZelmClientLimitTest, ADeadlineEndsAReplyTrickledByteByByte) {
  struct Row {
    const char* name;
    Bytes reply;
    std::function<bool(zelm::Connection&)> operation;
  };
  const Row rows[] = {
      {"frame", AFrame(),
       [](zelm::Connection& c) {
         zelm::Frame frame;
         return c.FetchFrame(&frame);
       }},
      {"FMC data", Concat({U32(64), Bytes(64, 7), U32(1)}),
       [](zelm::Connection& c) {
         std::vector<std::uint8_t> data;
         std::uint32_t version;
         return c.FetchFmc(&data, &version);
       }},
      {"FMC head", Bytes(8, 0xFF), [](zelm::Connection& c) { return c.Sync(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BadPeer peer(Misbehaviour::kTrickle, row.reply);
    std::string error;
    auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 5000);
    ASSERT_NE(c, nullptr) << error;
    const Clock::time_point start = Clock::now();
    c->SetDeadline(milliseconds(1000));
    EXPECT_FALSE(row.operation(*c));
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_EQ(c->error(), "no reply from the add-on: timed out after 1 s");
    EXPECT_EQ(c->error_kind(), zelm::ErrorKind::kTimedOut);
  }
}

TEST(ZelmClientLimitTest, AnUploadToAPeerThatDoesNotReadEnds) {
  BadPeer peer(Misbehaviour::kNeverRead);
  std::string error;
  auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 5000);
  ASSERT_NE(c, nullptr) << error;
  const Clock::time_point start = Clock::now();
  c->SetDeadline(milliseconds(1000));
  EXPECT_FALSE(c->StoreFmc(Bytes(protocol::kMaxUploadBytes, 1), 1));
  EXPECT_LT(Clock::now() - start, kGivesUpWithin);
  EXPECT_EQ(c->error(), "sending stalled: timed out after 1 s");
  EXPECT_EQ(c->error_kind(), zelm::ErrorKind::kTimedOut);
}

// Without a deadline, each wait for the peer is bounded: a peer that stops reading holds an
// upload no longer than the connection's wait.
TEST(ZelmClientLimitTest, AStalledUploadEndsAfterTheWaitWithoutADeadline) {
  BadPeer peer(Misbehaviour::kNeverRead);
  std::string error;
  auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 1000);
  ASSERT_NE(c, nullptr) << error;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(c->StoreFmc(Bytes(protocol::kMaxUploadBytes, 1), 1));
  EXPECT_LT(Clock::now() - start, kGivesUpWithin);
  EXPECT_EQ(c->error(), "sending stalled: timed out after 1 s");
}

TEST(ZelmClientLimitTest, ACancelFlagEndsAWait) {
  BadPeer peer(Misbehaviour::kTrickle, AFrame());
  std::atomic<bool> cancel{false};
  std::string error;
  auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 30000, &cancel);
  ASSERT_NE(c, nullptr) << error;
  std::thread canceller([&] {
    platform::SleepMilliseconds(300);
    cancel = true;
  });
  const Clock::time_point start = Clock::now();
  zelm::Frame frame;
  EXPECT_FALSE(c->FetchFrame(&frame));
  EXPECT_LT(Clock::now() - start, kGivesUpWithin);
  EXPECT_EQ(c->error(), "interrupted");
  EXPECT_EQ(c->error_kind(), zelm::ErrorKind::kInterrupted);
  canceller.join();
}

// A listener that accepts nothing, with its queue of connections to accept filled: the system
// leaves a further connection attempt unanswered.
TEST(ZelmClientLimitTest, ConnectingEndsAtTheTimeoutOrWhenCancelled) {
  LoopbackListener listener;
  std::vector<platform::SocketHandle> queued;
  for (int i = 0; i < 256; ++i) {
    const platform::SocketHandle s =
        platform::ConnectTcp("127.0.0.1", listener.port(), nullptr, 500);
    if (s == platform::kInvalidSocket) break;
    queued.push_back(s);
  }
  if (queued.size() == 256) GTEST_SKIP() << "this system answers every connection attempt";

  std::atomic<bool> cancel{false};
  std::thread canceller;
  struct Row {
    const char* name;
    int timeout_ms;
    bool cancelled;
    const char* reason;
    zelm::ConnectFailure failure;
  };
  const Row rows[] = {
      {"timed out", 500, false, "timed out after 0.5 s", zelm::ConnectFailure::kTimedOut},
      {"cancelled", 60000, true, "interrupted", zelm::ConnectFailure::kInterrupted},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    cancel = false;
    if (row.cancelled) {
      canceller = std::thread([&] {
        platform::SleepMilliseconds(300);
        cancel = true;
      });
    }
    std::string error;
    zelm::ConnectFailure failure = zelm::ConnectFailure::kNone;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(zelm::Connection::Open("127.0.0.1", listener.port(), &error, row.timeout_ms, &cancel,
                                     &failure),
              nullptr);
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_EQ(error,
              "cannot connect to 127.0.0.1:" + std::to_string(listener.port()) + ": " + row.reason);
    EXPECT_EQ(failure, row.failure);
    if (canceller.joinable()) canceller.join();
  }
  for (platform::SocketHandle s : queued) platform::CloseSocket(s);
}

TEST(ZelmClientLimitTest, AReplyThatIsNotAFrameIsAnError) {
  BadPeer peer(Misbehaviour::kReply, NotAFrame());
  std::string error;
  auto c = zelm::Connection::Open("127.0.0.1", peer.port(), &error, 5000);
  ASSERT_NE(c, nullptr) << error;
  zelm::Frame frame;
  EXPECT_FALSE(c->FetchFrame(&frame));
  EXPECT_EQ(c->error(), R"(the reply is not a frame: it begins with "HELLO!\x00", not "ZELM30")");
  EXPECT_EQ(c->error_kind(), zelm::ErrorKind::kBadReply);
}

// The zelm program as a user runs it: each command against a bad peer ends with status 1 and
// says why, within its --timeout of 1 s (and some room).
TEST(ZelmProgramTest, EveryCommandEndsAgainstABadPeerWithAReason) {
  const ScratchFolder folder;
  const std::string upload =
      folder.Write("upload.bin", std::string(protocol::kMaxUploadBytes, 'u'));
  struct Row {
    const char* name;
    Misbehaviour how;
    Bytes reply;
    std::string command;
    std::string said;
  };
  const Row rows[] = {
      {"frame, trickled", Misbehaviour::kTrickle, AFrame(), "frame",
       "zelm: no reply from the add-on: timed out after 1 s"},
      {"fmc get, trickled", Misbehaviour::kTrickle, Concat({U32(64), Bytes(64, 7), U32(1)}),
       "fmc get", "zelm: no reply from the add-on: timed out after 1 s"},
      {"fmc get, 4 GiB announced", Misbehaviour::kReply, U32(0xFFFFFFFFu), "fmc get",
       "zelm: the reply announces 4294967295 bytes of FMC data, more than the protocol allows"},
      {"fmc put, never read",
       Misbehaviour::kNeverRead,
       {},
       "fmc put \"" + upload + "\" --version 1",
       "zelm: the add-on did not take the FMC data: sending stalled: timed out after 1 s"},
      {"frame, not a frame", Misbehaviour::kReply, NotAFrame(), "frame",
       "zelm: the reply is not a frame: it begins with \"HELLO!\\x00\", not \"ZELM30\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BadPeer peer(row.how, row.reply);
    std::string output;
    const Clock::time_point start = Clock::now();
    const int status = RunProgram(
        "zelm", row.command + " --timeout 1 --port " + std::to_string(peer.port()), &output);
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find(row.said), std::string::npos) << output;
    // The peer is there: asking whether the simulator runs would mislead.
    EXPECT_EQ(output.find("is the simulator"), std::string::npos) << output;
  }
}

TEST(ZelmProgramTest, TimeoutTakesPositiveSeconds) {
  for (const char* value : {"0", "-1", "x", "1e9"}) {
    SCOPED_TRACE(value);
    std::string output;
    EXPECT_EQ(RunProgram("zelm", std::string("frame --timeout ") + value, &output), 2) << output;
    EXPECT_NE(output.find("--timeout"), std::string::npos) << output;
  }
}

// Ctrl-C ends a command that waits on a peer with no end in sight (its --timeout is far off),
// with a message and status 1; watch, which Ctrl-C is how one stops, ends with status 0.
TEST(ZelmProgramTest, CtrlCEndsACommandWaitingOnAPeer) {
  struct Row {
    const char* command;
    int status;
  };
  const Row rows[] = {{"frame", 1}, {"watch", 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    BadPeer peer(Misbehaviour::kTrickle, AFrame());
    const std::string output_path = ScratchFolder::SharedPath("interrupted.txt");
    ChildProgram zelm("zelm",
                      {row.command, "--timeout", "600", "--port", std::to_string(peer.port())},
                      output_path);
    ASSERT_TRUE(zelm.started());
    EXPECT_EQ(zelm.Wait(milliseconds(1000)), -1) << "still waiting on the peer";
    ASSERT_TRUE(zelm.Interrupt());
    EXPECT_EQ(zelm.Wait(kGivesUpWithin), row.status) << ReadWholeFile(output_path);
    if (row.status == 1) {
      EXPECT_NE(ReadWholeFile(output_path).find("zelm: interrupted"), std::string::npos)
          << ReadWholeFile(output_path);
    }
  }
}

// An add-on of the tests' own on a port the system picks, serving one connection at a time with
// frames that change with every reply (their altitude counts up) or, frozen, stay the same. It
// can go away, closing its connection and every new one at once, and come back.
class FakeAddOn {
 public:
  FakeAddOn() : started_(platform::SocketsStartup() == 0), listener_(platform::OpenTcpSocket()) {
    platform::BindIpv4(listener_, platform::Ipv4FromText("127.0.0.1"), 0);
    platform::Listen(listener_, 16);
    port_ = static_cast<std::uint16_t>(platform::LocalPort(listener_));
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAddOn() {
    stop_ = true;
    thread_.join();
    platform::CloseSocket(listener_);
    if (started_) platform::SocketsCleanup();
  }
  std::uint16_t port() const { return port_; }
  int connections() const { return connections_; }
  void Freeze(bool frozen) { frozen_ = frozen; }
  // Goes away or comes back; true once done.
  bool SetAway(bool away) {
    want_away_ = away;
    return WaitUntil([&] { return is_away_ == away; }, seconds(10));
  }

 private:
  void Reply(platform::SocketHandle client) {
    Bytes frame = AFrame();
    if (!frozen_) ++frames_;
    EncodeF64(frame.data() + 112, frames_);  // altitude
    EncodeF64(frame.data() + 184, -17.2);    // bank, left wing down
    platform::SleepMilliseconds(20);         // a frame period
    platform::Send(client, frame.data(), static_cast<int>(frame.size()));
  }

  void Serve() {
    platform::SocketHandle client = platform::kInvalidSocket;
    std::size_t tag_bytes = 0;
    while (!stop_) {
      if (want_away_ != is_away_) {
        platform::CloseSocket(client);
        client = platform::kInvalidSocket;
        is_away_ = want_away_.load();
      }
      if (client == platform::kInvalidSocket) {
        if (platform::WaitSocket(listener_, false, 20) <= 0) continue;
        client = platform::Accept(listener_);
        ++connections_;
        tag_bytes = 0;
        if (is_away_) {
          platform::CloseSocket(client);
          client = platform::kInvalidSocket;
        }
        continue;
      }
      if (platform::WaitSocket(client, false, 20) <= 0) continue;
      // Any ten bytes are a frame request.
      std::uint8_t tag[protocol::kTagSize];
      const int n =
          platform::Receive(client, tag, static_cast<int>(protocol::kTagSize - tag_bytes));
      if (n <= 0) {
        platform::CloseSocket(client);
        client = platform::kInvalidSocket;
        continue;
      }
      tag_bytes += static_cast<std::size_t>(n);
      if (tag_bytes == protocol::kTagSize) {
        tag_bytes = 0;
        Reply(client);
      }
    }
    platform::CloseSocket(client);
  }

  const bool started_;
  const platform::SocketHandle listener_;
  std::uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> frozen_{false};
  std::atomic<bool> want_away_{false};
  std::atomic<bool> is_away_{false};
  std::atomic<bool> stop_{false};
  double frames_ = 0;
  std::thread thread_;
};

// A port that refuses connections: bound, so no other socket takes it, but not listening.
class RefusingPort {
 public:
  RefusingPort() : started_(platform::SocketsStartup() == 0), socket_(platform::OpenTcpSocket()) {
    platform::BindIpv4(socket_, platform::Ipv4FromText("127.0.0.1"), 0);
  }
  ~RefusingPort() {
    platform::CloseSocket(socket_);
    if (started_) platform::SocketsCleanup();
  }
  std::uint16_t port() const { return static_cast<std::uint16_t>(platform::LocalPort(socket_)); }

 private:
  const bool started_;
  const platform::SocketHandle socket_;
};

std::string Replaced(std::string text, const std::string& name, const std::string& value) {
  for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
    text.replace(at, name.size(), value);
  }
  return text;
}

// The command line as a user types it. A request for help, and every mistake, runs nothing:
// the add-on on {port} sees no connection, and a command that ran anyway with its help
// would fail on {closed}, where nothing listens.
TEST(ZelmProgramTest, TheCommandLineAnswersHelpVersionAndMistakesWithoutConnecting) {
  FakeAddOn addon;
  const ScratchFolder folder;
  const std::string file = folder.Write("fmc.bin", "FMC");
  const std::string empty = folder.Write("empty.bin", "");
  const std::string big = folder.Write("big.bin", std::string(protocol::kMaxUploadBytes + 1, 'b'));
  const std::string cyrillic = folder.Write("Пилот/fmc.bin", "FMC");
  const RefusingPort closed;
  struct Row {
    std::string arguments;
    int status;
    std::string said;
    bool connects = false;
  };
  const Row rows[] = {
      {"--help", 0, "Exit status: 0 done"},
      {"help", 0, "Usage: zelm [OPTIONS] SUBCOMMAND"},
      {"", 2, "Usage: zelm [OPTIONS] SUBCOMMAND"},
      {"--version", 0, std::string("zelm ") + VELKARO_VERSION_TEXT},
      {"frame --help --port {closed}", 0, "Usage: zelm frame"},
      {"watch --help --port {closed}", 0, "STALE"},
      {"status --help --port {closed}", 0, "waits 3 s"},
      {"fmc get -o - --help --port {closed}", 0, "Usage: zelm fmc get"},
      {"fmc put --help --port {closed}", 0, "Usage: zelm fmc put"},
      {"fmc version --help --port {closed}", 0, "Usage: zelm fmc version"},
      {"fpl put {file} --version 1 --help --port {closed}", 0, "Usage: zelm fpl put"},
      {"mcp --ap on --help --port {closed}", 0, "--alt-hold"},
      {"bench --help --port {closed}", 0, "frame period"},
      {"bogus --port {port}", 2, "zelm: unknown command \"bogus\" (see zelm --help)"},
      {"fmc bogus --port {port}", 2, "unknown command \"bogus\" (see zelm fmc --help)"},
      {"frame --bogus x --port {port}", 2, "unknown option --bogus x (see zelm frame --help)"},
      {"frame --json extra --port {port}", 2, "unexpected argument extra"},
      {"frame --version --port {port}", 2, "--version"},
      {"bench --clients abc --port {port}", 2, "--clients: takes a whole number from 1 to 256"},
      {"bench --clients 0 --port {port}", 2, "--clients: takes a whole number"},
      {"bench --seconds -1 --port {port}", 2, "--seconds: takes seconds, more than 0"},
      {"frame --port 70000", 2, "--port: takes a whole number from 1 to 65535, not \"70000\""},
      {"frame --host ::1 --port {port}", 2, "--host: IPv6 is not supported: use an IPv4 address"},
      {"frame --host 127.0.0.1:{port}", 2, "--host: give the port on its own (--port {port})"},
      {"fmc put {file} --port {port}", 2, "--version is required"},
      {"fmc put {file} --version 0x100000000 --port {port}", 2, "--version: takes a 32-bit number"},
      {"mcp --port {port}", 2, "mcp needs at least one setting"},
      {"mcp --ap maybe --port {port}", 2, "--ap: takes on or off, not \"maybe\""},
      {"mcp --alt -1 --port {port}", 2, "--alt: -1 means no request"},
      {"mcp --heading 270 --port {port}", 2,
       "unknown option --heading 270; the settings are --alt --vs --spd --hdg --spd-ref"},
      {"mcp --hdg-bug 400 --dry-run --port {port}", 2, "--hdg-bug: hdg_bug takes 0 to 360 deg"},
      {"mcp --vs -1500 --dry-run --port {port}", 0, "check value 0x"},
      {"fmc put {folder} --version 1 --port {port}", 1,
       "cannot read {folder}: it is a folder, not a file"},
      {"fmc put {folder}missing.bin --version 1 --port {port}", 1, "missing.bin: no such file"},
      {"fpl put {empty} --version 1 --port {port}", 1, "is empty; the add-on stores no empty data"},
      // A path beyond the system's code page is read (and then nothing answers on {closed}).
      {"fmc put {cyrillic} --version 1 --port {closed}", 1, "cannot connect to 127.0.0.1:{closed}"},
      {"fmc put {big} --version 1 --port {port}", 1,
       "big.bin is larger than the add-on stores (16777216 bytes)"},
      {"frame --port {closed}", 1,
       "cannot connect to 127.0.0.1:{closed}: connection refused (is the simulator with the add-on "
       "running?)"},
      {"frame --all --port {port}", 0, "simulatorName", true},
      {"frame --json --port {port} --timeout 5", 0,
       "  \"altitude\": {\"unit\": \"ft\", \"value\": ", true},
  };
  for (const Row& row : rows) {
    auto fill = [&](std::string text) {
      text = Replaced(text, "{port}", std::to_string(addon.port()));
      text = Replaced(text, "{closed}", std::to_string(closed.port()));
      text = Replaced(text, "{file}", file);
      text = Replaced(text, "{empty}", empty);
      text = Replaced(text, "{big}", big);
      text = Replaced(text, "{cyrillic}", cyrillic);
      return Replaced(text, "{folder}", folder.path());
    };
    const std::string arguments = fill(row.arguments);
    SCOPED_TRACE("zelm " + arguments);
    const int connections = addon.connections();
    std::string output;
    EXPECT_EQ(RunProgram("zelm", arguments, &output), row.status) << output;
    EXPECT_NE(output.find(fill(row.said)), std::string::npos) << output;
    if (!row.connects) {
      EXPECT_EQ(addon.connections(), connections) << "it connected";
    }
  }
}

// A text in the frame cannot drive the terminal: its control characters are shown escaped.
TEST(ZelmProgramTest, FrameShowsTheControlCharactersOfItsTextsEscaped) {
  Bytes frame = AFrame();
  std::copy_n("\x1b[2J\xc2\x9b", 6, frame.begin() + 1776);  // navIdent: ESC and, in UTF-8, CSI
  BadPeer peer(Misbehaviour::kReply, frame);
  std::string output;
  EXPECT_EQ(RunProgram("zelm", "frame --timeout 5 --port " + std::to_string(peer.port()), &output),
            0);
  EXPECT_NE(output.find(R"(navIdent                            "\x1b[2J\u009b" "")"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find('\x1b'), std::string::npos);
  EXPECT_EQ(output.find("\xc2\x9b"), std::string::npos);
}

// A name that does not resolve is not a simulator that does not run.
TEST(ZelmProgramTest, AHostNameThatDoesNotResolveIsSaidSo) {
  std::string output;
  EXPECT_EQ(RunProgram("zelm", "frame --host no-such-host.invalid --timeout 5", &output), 1);
  EXPECT_NE(output.find("cannot connect to no-such-host.invalid:5193: the host name could not be "
                        "resolved"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("is the simulator"), std::string::npos) << output;
}

// "-o -" writes the data to standard output exactly as stored: no line end translated, nothing
// else mixed in.
TEST(ZelmProgramTest, FmcGetToStandardOutputKeepsEveryByte) {
  Bytes data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<std::uint8_t>(i));
  for (std::uint8_t b : Text(std::string("\r\n\n\r\x1a\x00 end", 10))) data.push_back(b);
  BadPeer peer(Misbehaviour::kReply,
               Concat({U32(static_cast<std::uint32_t>(data.size())), data, U32(7)}));
  const ScratchFolder folder;
  const std::string out = folder.path() + "stdout.bin";
  EXPECT_EQ(RunProgram("zelm", "fmc get -o - --timeout 5 --port " + std::to_string(peer.port()) +
                                   " > \"" + out + "\""),
            0);
  EXPECT_EQ(ReadWholeFile(out), std::string(data.begin(), data.end()));
}

Bytes StatusReply(const std::string& json) {
  return Concat({U32(static_cast<std::uint32_t>(json.size())), Text(json)});
}

// zelm status against replies of add-ons new and old; one that does not answer is given up on
// after a short wait, not the default 10 s.
TEST(ZelmProgramTest, StatusShowsTheReplyOrSaysWhyNot) {
  const std::string reply = R"({"clients":2,"max_clients":64,"warnings":["bad key","bind failed"],)"
                            R"("uptime_s":"soon","future":[1]})";
  struct Row {
    const char* name;
    Misbehaviour how;
    Bytes reply;
    const char* command;
    int status;
    std::vector<std::string> said;
  };
  const Row rows[] = {
      {"fields of every kind",
       Misbehaviour::kReply,
       StatusReply(reply),
       "status",
       0,
       {"clients:   2 of 64\n", "warnings:  2\n  bad key\n  bind failed\n", "uptime:    \"soon\"\n",
        "future:    [1]\n"}},
      {"as JSON",
       Misbehaviour::kReply,
       StatusReply(reply),
       "status --json",
       0,
       {"{\n  \"clients\": 2,\n  \"max_clients\": 64,\n  \"warnings\": [\n    \"bad key\",\n"}},
      {"not JSON",
       Misbehaviour::kReply,
       StatusReply("<html>"),
       "status",
       1,
       {"zelm: the status reply is not JSON: "}},
      {"too long",
       Misbehaviour::kReply,
       U32(protocol::kMaxStatusBytes + 1),
       "status --json",
       1,
       {"bytes of status, more than the protocol allows"}},
      {"a peer that answers nothing",
       Misbehaviour::kNeverRead,
       {},
       "status",
       1,
       {"zelm: no status reply: no reply from the add-on: timed out after 3 s"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BadPeer peer(row.how, row.reply);
    std::string output;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(
        RunProgram("zelm", std::string(row.command) + " --port " + std::to_string(peer.port()),
                   &output),
        row.status)
        << output;
    EXPECT_LT(Clock::now() - start, seconds(8)) << "waited as long as the default timeout";
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // Windows
    for (const std::string& said : row.said) {
      EXPECT_NE(output.find(said), std::string::npos) << "no \"" << said << "\" in\n" << output;
    }
  }
}

// A peer on a port the system picks that serves every connection as an add-on before 1.1 does
// (frames, and nothing for the status request), or closes each at once, as an add-on does that
// refuses the client.
class OldOrRefusingPeer {
 public:
  explicit OldOrRefusingPeer(bool refuses) : refuses_(refuses) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~OldOrRefusingPeer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return listener_.port(); }

 private:
  void Serve() {
    std::vector<std::thread> served;
    while (!stop_) {
      if (platform::WaitSocket(listener_socket(), false, 50) <= 0) continue;
      const platform::SocketHandle s = listener_.Accept();
      if (s == platform::kInvalidSocket) continue;
      if (refuses_) {
        platform::CloseSocket(s);
        continue;
      }
      served.emplace_back([this, s] {
        platform::SetReceiveTimeout(s, 100);
        std::string tag;
        while (!stop_) {
          char byte;
          const int n = platform::Receive(s, &byte, 1);
          if (n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError()))) break;
          if (n < 0) continue;
          tag += byte;
          if (tag.size() < protocol::kTagSize) continue;
          if (tag == protocol::kTagFrame) {
            const Bytes frame = AFrame();
            platform::Send(s, frame.data(), static_cast<int>(frame.size()));
          }
          tag.clear();
        }
        platform::CloseSocket(s);
      });
    }
    for (std::thread& t : served) t.join();
  }
  platform::SocketHandle listener_socket() const { return listener_.socket(); }

  const bool refuses_;
  LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// "Older than 1.1" is said only of an add-on that answers frames but not the status; an add-on
// that closes the connection at once is said to have refused it, with the likely reasons, by
// every command.
TEST(ZelmProgramTest, AnOldAddOnAndARefusalAreToldApart) {
  struct Row {
    const char* name;
    bool refuses;
    const char* command;
    const char* said;
    const char* not_said;
  };
  const Row rows[] = {
      {"an add-on before 1.1", false, "status",
       "no status reply (timed out after 3 s), though the add-on answers other requests: an "
       "add-on older than 1.1 does not answer it",
       "closed"},
      {"refused: status", true, "status",
       "the add-on closed the connection at once, before answering. Most likely: all its places "
       "are taken",
       "1.1"},
      {"refused: frame", true, "frame", "the add-on closed the connection at once, before answering",
       "1.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OldOrRefusingPeer peer(row.refuses);
    std::string output;
    EXPECT_EQ(RunProgram("zelm", std::string(row.command) + " --port " + std::to_string(peer.port()),
                         &output),
              1);
    EXPECT_NE(output.find(row.said), std::string::npos) << output;
    EXPECT_EQ(output.find(row.not_said), std::string::npos) << output;
  }
}

// zelm frame shows the fields that carry data by default, every field with --all, and just the
// fields named with --fields, in their order, as lines or JSON; a name that is not a field is a
// usage error that lists the names there are.
TEST(ZelmProgramTest, FrameShowsTheFieldsAskedFor) {
  Bytes frame = AFrame();
  EncodeF64(frame.data() + 112, 12000.5);  // altitude
  struct Row {
    const char* name;
    const char* options;
    int status;
    int lines;  // -1: not counted
    std::vector<std::string> said;
    std::vector<std::string> not_said;
  };
  const Row rows[] = {
      {"by default, the fields with data", "", 0, -1, {"altitude", "trueHeading"}, {"fixed40", "startup32", "magic"}},
      {"every field", "--all", 0, -1, {"altitude", "fixed40", "startup32", "magic"}, {}},
      {"one field", "--fields altitude", 0, 1, {"altitude", "12000.5"}, {"trueHeading"}},
      {"several, in their order", "--fields trueHeading,altitude", 0, 2,
       {"trueHeading"}, {"fixed40"}},
      {"as JSON", "--fields altitude --json", 0, -1,
       {"{\n  \"altitude\": {\"unit\": \"ft\", \"value\": 12000.5}\n}\n"}, {"trueHeading"}},
      {"an unknown name", "--fields altitude,nosuch", 2, -1,
       {"no field is named \"nosuch\"", "the fields with data are: ", "altitude"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BadPeer peer(Misbehaviour::kReply, frame);
    std::string output;
    EXPECT_EQ(RunProgram("zelm", std::string("frame --timeout 5 ") + row.options + " --port " +
                                     std::to_string(peer.port()),
                         &output),
              row.status)
        << output;
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // Windows
    if (row.lines >= 0) {
      EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), row.lines) << output;
    }
    for (const std::string& said : row.said) {
      EXPECT_NE(output.find(said), std::string::npos) << "no \"" << said << "\" in\n" << output;
    }
    for (const std::string& not_said : row.not_said) {
      EXPECT_EQ(output.find(not_said), std::string::npos) << "\"" << not_said << "\" in\n" << output;
    }
  }
}

// watch into a file: a line a second while frames come, "STALE" when they stop changing, the
// reason and "reconnecting..." when the add-on goes, frames again when it is back; every line
// fits 80 columns, and Ctrl-C ends it with status 0.
TEST(ZelmProgramTest, WatchSaysWhenFramesStopAndReconnectsWhenTheAddOnIsBack) {
  FakeAddOn addon;
  const std::string output_path = ScratchFolder::SharedPath("watch.txt");
  ChildProgram zelm("zelm", {"watch", "--timeout", "2", "--port", std::to_string(addon.port())},
                    output_path);
  ASSERT_TRUE(zelm.started());
  std::size_t from = 0;
  // The position after `text`'s next appearance from `from` on, once it shows.
  auto shows = [&](const std::string& text) {
    const bool shown =
        WaitUntil([&] { return ReadWholeFile(output_path).find(text, from) != std::string::npos; },
                  seconds(15));
    if (shown) from = ReadWholeFile(output_path).find(text, from) + text.size();
    return shown;
  };
  EXPECT_TRUE(shows(" bank L17.2 ")) << ReadWholeFile(output_path);
  addon.Freeze(true);
  EXPECT_TRUE(shows(" STALE")) << ReadWholeFile(output_path);
  addon.Freeze(false);
  ASSERT_TRUE(addon.SetAway(true));
  // Why it was lost: closed, or reset with a request still unread; every attempt meets the
  // same until the add-on is back.
  EXPECT_TRUE(shows(" reconnecting... ")) << ReadWholeFile(output_path);
  ASSERT_TRUE(addon.SetAway(false));
  EXPECT_TRUE(shows(" bank L17.2 ")) << ReadWholeFile(output_path);
  EXPECT_GE(addon.connections(), 2);

  ASSERT_TRUE(zelm.Interrupt());
  EXPECT_EQ(zelm.Wait(kGivesUpWithin), 0) << ReadWholeFile(output_path);
  std::istringstream lines(ReadWholeFile(output_path));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_LE(line.size(), 80u) << line;
  }
}

}  // namespace
}  // namespace velkaro::testing
