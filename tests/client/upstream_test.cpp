// The gateway's session with the add-on against a peer of the test's own that serves frames and
// answers the status request in one of several ways: the session's state says why a connection
// ended, in words and by kind, and a silent add-on (one before 1.1) is not asked again.
#include <gtest/gtest.h>

// clang-format off
#include <utility>  // (before Asio, whose awaitable.hpp uses std::exchange without it)
// clang-format on
#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "common/protocol.h"
#include "platform/socket.h"
#include "serve/messages.h"
#include "serve/upstream.h"
#include "support/addon_harness.h"
#include "support/loopback.h"
#include "support/wire_bytes.h"

namespace velkaro::testing {
namespace {

using std::chrono::milliseconds;

enum class StatusAnswer {
  kSilent,   // an add-on before 1.1
  kTooLong,  // a length word above the protocol's bound
  kJson,     // "{}"
  kDeep,     // a status within the length bound, nested thousands of levels deep
};

// Serves connection after connection: frames to "rSIMDATA30", `answer` to "rSTATUS010". Counts
// the status requests.
class StatusPeer {
 public:
  explicit StatusPeer(StatusAnswer answer) : answer_(answer) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~StatusPeer() {
    stop_ = true;
    platform::CloseSocket(platform::ConnectTcp("127.0.0.1", port(), nullptr));  // wakes Accept
    thread_.join();
  }
  std::uint16_t port() const { return listener_.port(); }
  int status_requests() const { return status_requests_; }

 private:
  void Serve() {
    Bytes frame(kFrameSize, 0);
    std::copy_n(protocol::kFrameMagic, protocol::kFrameMagicBytes, frame.begin());
    while (!stop_) {
      const platform::SocketHandle s = listener_.Accept();
      if (s == platform::kInvalidSocket) return;
      platform::SetReceiveTimeout(s, 50);
      std::string tag;
      while (!stop_) {
        char byte;
        const int n = platform::Receive(s, &byte, 1);
        if (n == 0 || (n < 0 && !platform::IsTimeoutError(platform::LastSocketError()))) break;
        if (n < 0) continue;
        tag += byte;
        if (tag.size() < protocol::kTagSize) continue;
        Bytes reply;
        if (tag == protocol::kTagFrame) {
          reply = frame;
          ++frame[protocol::kFrameMagicBytes];  // each frame new
        } else if (tag == protocol::kTagStatus) {
          ++status_requests_;
          if (answer_ == StatusAnswer::kTooLong) reply = U32(protocol::kMaxStatusBytes + 1);
          if (answer_ == StatusAnswer::kJson) reply = Concat({U32(2), Text("{}")});
          if (answer_ == StatusAnswer::kDeep) {
            const std::string deep = "{\"a\":" + std::string(30000, '[') +
                                     std::string(30000, ']') + "}";
            reply = Concat({U32(static_cast<std::uint32_t>(deep.size())), Text(deep)});
          }
        }
        tag.clear();
        if (!reply.empty() && platform::Send(s, reply.data(), static_cast<int>(reply.size())) !=
                                  static_cast<int>(reply.size())) {
          break;
        }
      }
      platform::CloseSocket(s);
    }
  }

  LoopbackListener listener_;
  const StatusAnswer answer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> status_requests_{0};
  std::thread thread_;
};

TEST(UpstreamTest, AStatusReplyThatFailsEndsTheConnectionWithItsReasonAndKind) {
  struct Row {
    const char* name;
    StatusAnswer answer;
    const char* error;  // the first connection's end; empty: it does not end
    zelm::ErrorKind kind;
    bool asked_again;  // on the connections after the first
  };
  const Row rows[] = {
      {"silent", StatusAnswer::kSilent,
       "no status reply (timed out after 0.3 s), though the add-on answers other requests: an "
       "add-on older than 1.1 does not answer it",
       zelm::ErrorKind::kTimedOut, false},
      {"too long", StatusAnswer::kTooLong,
       "the reply announces 65537 bytes of status, more than the protocol allows (65536)",
       zelm::ErrorKind::kTooLong, true},
      {"answered", StatusAnswer::kJson, "", zelm::ErrorKind::kNone, true},
      {"deep", StatusAnswer::kDeep, "", zelm::ErrorKind::kNone, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StatusPeer peer(row.answer);
    zelm::serve::UpstreamOptions options;
    options.host = "127.0.0.1";
    options.port = peer.port();
    options.timeout = milliseconds(5000);
    options.status_wait = milliseconds(300);
    options.status_every = milliseconds(50);
    options.first_retry = milliseconds(50);

    std::mutex mutex;
    std::vector<zelm::serve::UpstreamState> states;
    std::atomic<int> frames{0};
    boost::asio::io_context io;
    zelm::serve::Upstream upstream(
        io, options, [&](const zelm::Frame&) { ++frames; },
        [&](const zelm::serve::UpstreamState& state) {
          std::lock_guard lock(mutex);
          states.push_back(state);
        });
    upstream.Start();
    std::thread runner([&] { io.run(); });
    const auto first_state = [&] {
      std::lock_guard lock(mutex);
      return states.empty() ? std::optional<zelm::serve::UpstreamState>() : states.front();
    };
    EXPECT_TRUE(WaitUntil([&] { return first_state().has_value(); }));
    const std::optional<zelm::serve::UpstreamState> first = first_state();
    // The status is asked once the add-on has answered a frame: the connection's first end is
    // the status's failure, if any.
    const auto first_end = [&] {
      std::lock_guard lock(mutex);
      for (const zelm::serve::UpstreamState& state : states) {
        if (!state.connected) return std::optional<zelm::serve::UpstreamState>(state);
      }
      return std::optional<zelm::serve::UpstreamState>();
    };
    if (*row.error == '\0') {
      EXPECT_TRUE(first && first->connected);
    } else {
      EXPECT_TRUE(WaitUntil([&] { return first_end().has_value(); }));
      const std::optional<zelm::serve::UpstreamState> end = first_end();
      EXPECT_EQ(end ? end->error : "", row.error);
      EXPECT_EQ(end ? end->error_kind : zelm::ErrorKind::kNone, row.kind);
    }
    if (row.asked_again) {
      EXPECT_TRUE(WaitUntil([&] { return peer.status_requests() >= 3; }));
    } else {
      // The next connection is served frame after frame without the question.
      EXPECT_TRUE(WaitUntil([&] { return upstream.State().connected && frames > 20; }));
      EXPECT_EQ(peer.status_requests(), 1);
    }
    if (row.answer == StatusAnswer::kJson) {
      EXPECT_EQ(upstream.AddonStatus(), "{}");
      EXPECT_EQ(zelm::serve::AddonStatusJson(upstream), nlohmann::json::object());
    }
    if (row.answer == StatusAnswer::kDeep) {
      // Held as text, and never made JSON, which /status and MQTT would copy and write out
      // level by level.
      EXPECT_EQ(zelm::serve::AddonStatusJson(upstream),
                (nlohmann::json{{"error",
                                 "the add-on's status nests deeper than 32 levels and was not "
                                 "read"}}));
    }
    boost::asio::post(io, [&] { upstream.Stop(); });
    runner.join();
  }
}

// An add-on that accepts and closes at once (this address not allowed, or no place free) is
// tried again after a growing pause, as one that cannot be reached is, never in a tight loop.
TEST(UpstreamTest, ConnectionsThatEndBeforeAFrameAreRetriedWithAGrowingPause) {
  LoopbackListener listener;
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::thread closer([&] {
    while (true) {
      const platform::SocketHandle s = listener.Accept();
      if (s == platform::kInvalidSocket || stop) {
        platform::CloseSocket(s);
        return;
      }
      ++accepted;
      platform::CloseSocket(s);
    }
  });

  zelm::serve::UpstreamOptions options;
  options.host = "127.0.0.1";
  options.port = listener.port();
  options.first_retry = milliseconds(50);
  options.longest_retry = milliseconds(400);
  boost::asio::io_context io;
  zelm::serve::Upstream upstream(
      io, options, [](const zelm::Frame&) {}, [](const zelm::serve::UpstreamState&) {});
  upstream.Start();
  std::thread runner([&] { io.run(); });
  // Pauses of 50, 100, 200, 400, 400 ... ms: about six attempts in 1.5 s (a loop without them
  // makes thousands).
  std::this_thread::sleep_for(milliseconds(1500));
  boost::asio::post(io, [&] { upstream.Stop(); });
  runner.join();
  stop = true;
  platform::CloseSocket(platform::ConnectTcp("127.0.0.1", listener.port(), nullptr));
  closer.join();
  EXPECT_GE(accepted.load(), 2);
  EXPECT_LE(accepted.load(), 12);
  EXPECT_FALSE(upstream.State().connected);
}

}  // namespace
}  // namespace velkaro::testing
