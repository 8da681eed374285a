// Test support: TCP connections over loopback without the add-on, on both systems (Windows has
// no socketpair): a listener on a port the system picks, and a connected pair of sockets.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace velkaro::testing {

// Listens on 127.0.0.1 on a free port; closed when the object goes.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool ok() const { return port_ > 0; }
  std::uint16_t port() const { return static_cast<std::uint16_t>(port_); }
  // Accepts one connection (blocking); kInvalidSocket on failure.
  platform::SocketHandle Accept();
  platform::SocketHandle socket() const { return socket_; }

 private:
  bool started_;
  platform::SocketHandle socket_;
  int port_ = -1;
};

// Two connected sockets; each end is the caller's to close.
struct SocketPair {
  platform::SocketHandle client = platform::kInvalidSocket;
  platform::SocketHandle server = platform::kInvalidSocket;
};
// `client_receive_buffer`, when not 0, fixes the client's receive buffer before it connects (so
// that the window it offers is small from the start).
bool OpenSocketPair(SocketPair* pair, int client_receive_buffer = 0);

// A connection from the local address `source` (e.g. "127.0.0.2": every 127.x.y.z is loopback)
// to `destination`:`port`; kInvalidSocket when it cannot be made. Blocking, no time limit set.
// `receive_buffer`, when not 0, fixes its receive buffer before it connects.
platform::SocketHandle ConnectFrom(const char* source, const char* destination, std::uint16_t port,
                                   int receive_buffer = 0);

}  // namespace velkaro::testing
