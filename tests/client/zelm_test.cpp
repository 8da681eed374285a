// libzelm and the zelm program against peers that are not the add-on: one that trickles its
// reply a byte at a time, one that never reads what it is sent, one that announces more than the
// protocol allows, one that answers with something that is not a frame. Whatever the peer does,
// the client ends in bounded time with a reason; Ctrl-C ends the program too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "common/protocol.h"
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
  };
  const Row rows[] = {
      {"timed out", 500, false, "timed out after 0.5 s"},
      {"cancelled", 60000, true, "interrupted"},
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
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(zelm::Connection::Open("127.0.0.1", listener.port(), &error, row.timeout_ms, &cancel),
              nullptr);
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_EQ(error,
              "cannot connect to 127.0.0.1:" + std::to_string(listener.port()) + ": " + row.reason);
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
      {"watch, trickled", Misbehaviour::kTrickle, AFrame(), "watch",
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

}  // namespace
}  // namespace velkaro::testing
