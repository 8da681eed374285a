// A client session: serves one TCP connection on its own thread, speaking the command protocol
// of common/protocol.h: it reads ten-byte command tags, answers the read commands and stores
// what the upload commands bring. There is no greeting, no acknowledgement and no error reply.
//
// Bounds: whatever a client does, its session does not stay blocked on it for long.
//   - A reply the client does not take ends the session once the client has consumed nothing of
//     it for limits.send_stall_ms (kSendStallLimitMs); so does any failed send: a client that
//     has gone is not served the requests it left queued. The session's send buffer has a fixed
//     size (kSessionSendBufferBytes), so what the system accepts is what the client consumes,
//     however the system would otherwise grow its buffers.
//   - A command once started must arrive whole: its tag within limits.command_stall_ms
//     (kCommandStallLimitMs) of its first byte, an autopilot block or a word within that time
//     too, and an upload's data at limits.upload_min_bytes_per_s (after its first
//     limits.upload_rate_grace_ms; data sent ahead of that rate counts for at most
//     command_stall_ms). A command that misses its bound ends the session, and an upload's
//     buffer is given back at once.
//   - Between commands a session waits without limit: clients may stay idle. Only the server
//     ends an idle session, to give its place to a new connection (socket_server.h). Bytes of an
//     unknown tag, or of a tag not yet whole, do not make a session busy: a client that sends
//     nothing the session serves stays idle in the server's eyes.
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
// An upload's data must arrive at this rate, counted from the end of its first
// kUploadRateGraceMs: a 16 MiB upload then has 257 s, and a client that sends a byte now and
// then cannot hold a place and its buffer. Data sent ahead of the rate is credit for at most
// kCommandStallLimitMs.
inline constexpr std::size_t kUploadMinBytesPerSecond = 64 * 1024;
inline constexpr int kUploadRateGraceMs = 1000;
// Replies go out in pieces of at most this size, so that the send bound measures progress: a
// client taking fewer than this many bytes in kSendStallLimitMs is ended.
inline constexpr std::size_t kSendPieceBytes = 64 * 1024;
// The system's send buffer of every session: fixed, so that a client that reads nothing fills it
// and is seen to make no progress (left to itself, the system grows it to megabytes).
inline constexpr int kSessionSendBufferBytes = 128 * 1024;
// Pause before a send is retried after a transient failure.
inline constexpr int kSendRetryPauseMs = 50;
// Longest a session waits for room to send before it looks at its progress (and whether it has
// been woken to stop) again.
inline constexpr int kSendWaitSliceMs = 250;

struct SessionLimits {
  int send_stall_ms = kSendStallLimitMs;
  int command_stall_ms = kCommandStallLimitMs;
  std::size_t upload_min_bytes_per_s = kUploadMinBytesPerSecond;
  int upload_rate_grace_ms = kUploadRateGraceMs;
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
  // Since when the session has served nothing (platform::SteadyMilliseconds): set when it begins
  // waiting for its next command, and left as it is while bytes of a tag that is unknown or not
  // yet whole arrive; kBusy while it serves one (or has not begun), kEvicted once the server has
  // taken its place or the session has ended.
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
  // True when the client has closed its end and the session has not yet read that, or the
  // session has closed the connection: its place is as good as free.
  bool ClientHasClosed();
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
// a failure or once the peer has taken less than a piece (or the rest) in `stall_limit_ms`.
// Sends never block: the socket is waited on for room in slices of kSendWaitSliceMs, so a
// socket woken by a shutdown fails its next send at once.
int SendAll(platform::SocketHandle socket, const void* data, std::size_t length,
            int stall_limit_ms = kSendStallLimitMs);

}  // namespace velkaro
