// A client session: serves one TCP connection on its own thread, speaking the command protocol
// of common/protocol.h: it reads ten-byte command tags, answers the read commands and stores
// what the upload commands bring. There is no greeting, no acknowledgement and no error reply.
//
// Bounds: whatever a client does, its session does not stay blocked on it for long.
//   - A reply the client does not take, so that a send makes no progress for
//     limits.send_stall_ms (kSendStallLimitMs), ends the session; so does any failed send: a
//     client that has gone is not served the requests it left queued.
//   - A command once started must go on arriving: a pause of limits.command_stall_ms
//     (kCommandStallLimitMs) in the rest of its tag or in its payload ends the session.
//   - Between commands a session waits without limit: clients may stay idle. Only the server
//     ends an idle session, to give its place to a new connection (socket_server.h).
// A session that ends lets go of everything it held (an upload's buffer, a snapshot it was
// sending), so a stalled client pins no memory for longer than these bounds.
//
// Thread-safety: a session reaches only what it is handed in SessionShared (frames, autopilot
// exchange, upload stores and their allowance), each of which guards itself; it owns its
// socket, which the server may shut down to wake it, or as a last resort on Windows close (never
// once the session has closed it itself).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "autopilot/mcp_exchange.h"
#include "common/protocol.h"
#include "log/log.h"
#include "net/status.h"
#include "net/upload_store.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "simdata/frame_exchange.h"

namespace velkaro {

inline constexpr int kSendStallLimitMs = 10000;
inline constexpr int kCommandStallLimitMs = 10000;
// Replies go out in pieces of at most this size, so that the send bound measures progress: a
// client taking fewer than this many bytes in kSendStallLimitMs is ended.
inline constexpr std::size_t kSendPieceBytes = 64 * 1024;
// Pause before a send is retried after a transient failure.
inline constexpr int kSendRetryPauseMs = 50;
// Longest a single blocked send waits before the session looks at its progress again: a session
// whose client stopped taking its reply ends within the stall limit and this much.
inline constexpr int kSendWaitSliceMs = 1000;

struct SessionLimits {
  int send_stall_ms = kSendStallLimitMs;
  int command_stall_ms = kCommandStallLimitMs;
};

// What every session shares with the others and with the simulator's thread. The add-on's
// socket server hands out references into the bridge; a test or fuzzer makes its own.
struct SessionShared {
  FrameExchange& frames;
  UploadStore& fmc;
  UploadStore& flight_plan;
  McpExchange& mcp;
  UploadAllowance& uploads;          // every store's data is charged to it
  const std::atomic<bool>& running;  // the add-on's ServerRunning
  DiagnosticLog& log;
  StatusBoard& status;  // read for "rSTATUS010"; the server keeps its counts and warnings there
  SessionLimits limits{};
};

// The connection a session serves, shared with the server so that the server can wake the
// session (on stop) or end it while it is idle (to give its place to a new connection); `guard`
// orders the server's calls against the session's close.
struct SessionConnection {
  // Values of idle_since that are not times.
  static constexpr std::int64_t kBusy = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kEvicted = kBusy + 1;

  platform::SocketHandle socket = platform::kInvalidSocket;
  std::uint32_t peer = 0;  // the client's IPv4 address, host byte order, for log lines
  platform::Mutex* guard = nullptr;
  bool closed = false;  // under *guard
  // How Interrupt wakes the socket (a test replaces it with one that does not).
  void (*wake)(platform::SocketHandle socket) = platform::InterruptSocket;
  // When the session began waiting for its next command (platform::SteadyMilliseconds); kBusy
  // while it serves one (or has not begun), kEvicted once the server has taken its place.
  std::atomic<std::int64_t> idle_since{kBusy};

  // The session's own end: shuts the receive side down and closes the socket, unless the server
  // has closed it already.
  void Close();
  // Wakes the session out of any receive or send, unless already closed (the server's wake-up
  // on stop).
  void Interrupt();
  // The server's last resort on stop, when Interrupt has not woken the session: wakes it by
  // every means (platform::ForceWake), which on Windows closes the socket; the session then does
  // not close it again.
  void ForceWake();
  // Ends the session if it is still waiting for a command since `since` (it has not begun one
  // meanwhile): whatever it receives from then on is not served, and it is woken. True when it
  // was evicted.
  bool Evict(std::int64_t since);
};

// A client's IPv4 address (host byte order) in dotted form, for log lines: formatted without
// taking memory from the heap.
struct AddressText {
  explicit AddressText(std::uint32_t address);
  char text[16];
};

// Serves the connection until the client closes it, a receive fails, a bound above is passed,
// `shared.running` is cleared or the server evicts the session.
void ClientSession(SessionConnection& connection, const SessionShared& shared);

// Sends all `length` bytes, in pieces of at most kSendPieceBytes; 0 when all were sent, -1 after
// a failure or once the peer has taken less than a piece (or the rest) in `stall_limit_ms`. A
// transient failure is retried after a pause; a send timeout set on the socket (SetSendTimeout)
// bounds a blocked send.
int SendAll(platform::SocketHandle socket, const void* data, std::size_t length,
            int stall_limit_ms = kSendStallLimitMs);

}  // namespace velkaro
