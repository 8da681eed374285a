// A client session: serves one TCP connection on its own thread. The client sends ten-byte
// command tags, some followed by a payload; the session answers the read commands and stores
// what the upload commands bring. There is no greeting, no acknowledgement and no error reply.
//
//   "rSIMDATA30"  -> the latest frame (2280 bytes), after waiting for a fresh one
//   "rFMCDATA20"  -> u32 length N, N bytes of FMC data, u32 version
//   "vFMCDATA20"  -> the first 8 bytes of the FMC data (zero-filled), or 8 x 0xFF when empty
//   "sMCPDATA20" + 144-byte autopilot block + u32 check value
//   "sFMCDATA20" + u32 N + N bytes + u32 version   (FMC data)
//   "sFPLDATA10" + u32 N + N bytes + u32 version   (flight-plan data)
//
// Thread-safety: sessions share only what the bridge guards (frames, autopilot blocks, upload
// stores); each owns its socket, which the server may shut down (never close) to wake it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/socket.h"

namespace velkaro {

inline constexpr std::size_t kTagSize = 10;
// Largest "sFMCDATA20" / "sFPLDATA10" payload; a larger length ends the session.
inline constexpr std::uint32_t kMaxUploadBytes = 16u * 1024 * 1024;
// Upload bytes that all sessions together may hold while receiving; an upload that would
// exceed it fails like one whose buffer cannot be allocated.
inline constexpr std::size_t kMaxUploadBytesInFlight = 64u * 1024 * 1024;
// Fresh-frame wait: at most this long for a frame not yet sent.
inline constexpr int kFreshFrameWaitMs = 100;
inline constexpr int kSendRetryPauseMs = 50;

// The connection a session serves, shared with the server only so that the server can shut the
// socket down to wake the session; `guard` orders that against the session's close.
struct SessionConnection {
  platform::SocketHandle socket = platform::kInvalidSocket;
  std::mutex* guard = nullptr;
  bool closed = false;  // under *guard

  // Shuts the receive side down and closes the socket (the session's own end).
  void Close();
  // Wakes the session out of any receive or send, unless already closed (the server's wake-up
  // on stop).
  void Interrupt();
};

// Serves the connection until the client closes it, a receive fails or the add-on stops.
void ClientSession(SessionConnection& connection);

// Sends all `length` bytes; -1 after a failure (a transient one is retried after a pause).
int SendAll(platform::SocketHandle socket, const void* data, std::size_t length);

}  // namespace velkaro
