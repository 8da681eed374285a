// A client session: serves one TCP connection on its own thread, speaking the command protocol
// of common/protocol.h: it reads ten-byte command tags, answers the read commands and stores
// what the upload commands bring. There is no greeting, no acknowledgement and no error reply.
//
// Thread-safety: a session reaches only what it is handed in SessionShared (frames, autopilot
// exchange, upload stores), each of which guards itself; it owns its socket, which the server
// may shut down (never close) to wake it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "autopilot/mcp_exchange.h"
#include "common/protocol.h"
#include "log/log.h"
#include "net/upload_store.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "simdata/frame_exchange.h"

namespace velkaro {

// Upload bytes that all sessions together may hold while receiving; an upload that would
// exceed it fails like one whose buffer cannot be allocated.
inline constexpr std::size_t kMaxUploadBytesInFlight = 64u * 1024 * 1024;
inline constexpr int kSendRetryPauseMs = 50;

// What every session shares with the others and with the simulator's thread. The add-on's
// socket server hands out references into the bridge; a test or fuzzer makes its own.
struct SessionShared {
  FrameExchange& frames;
  UploadStore& fmc;
  UploadStore& flight_plan;
  McpExchange& mcp;
  std::atomic<std::size_t>& upload_bytes_in_flight;
  const std::atomic<bool>& running;  // the add-on's ServerRunning
  DiagnosticLog& log;
};

// The connection a session serves, shared with the server only so that the server can shut the
// socket down to wake the session; `guard` orders that against the session's close.
struct SessionConnection {
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::Mutex* guard = nullptr;
  bool closed = false;  // under *guard

  // Shuts the receive side down and closes the socket (the session's own end).
  void Close();
  // Wakes the session out of any receive or send, unless already closed (the server's wake-up
  // on stop).
  void Interrupt();
};

// Serves the connection until the client closes it, a receive fails or `shared.running` is
// cleared.
void ClientSession(SessionConnection& connection, const SessionShared& shared);

// Sends all `length` bytes; -1 after a failure (a transient one is retried after a pause).
int SendAll(platform::SocketHandle socket, const void* data, std::size_t length);

}  // namespace velkaro
