#include "support/loopback.h"

#include <string>

#if defined(__linux__)
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace velkaro::testing {

// Windows Sockets counts its start-ups: each listener holds one for as long as it lives.
LoopbackListener::LoopbackListener()
    : started_(platform::SocketsStartup() == 0), socket_(platform::OpenTcpSocket()) {
  if (socket_ == platform::kInvalidSocket) return;
  if (platform::BindIpv4(socket_, platform::Ipv4FromText("127.0.0.1"), 0) < 0) return;
  if (platform::Listen(socket_, 16) < 0) return;
  port_ = platform::LocalPort(socket_);
}

LoopbackListener::~LoopbackListener() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
  if (started_) platform::SocketsCleanup();
}

platform::SocketHandle LoopbackListener::Accept() {
  return ok() ? platform::Accept(socket_) : platform::kInvalidSocket;
}

bool OpenSocketPair(SocketPair* pair, int client_receive_buffer) {
  static const bool started = platform::SocketsStartup() == 0;  // for the pair's lifetime
  (void)started;
  LoopbackListener listener;
  if (!listener.ok()) return false;
  // The connect completes from the listen queue, before the accept.
  if (client_receive_buffer > 0) {
    pair->client = platform::OpenTcpSocket();
    if (pair->client == platform::kInvalidSocket) return false;
    platform::SetReceiveBufferBytes(pair->client, client_receive_buffer);
    if (platform::ConnectIpv4(pair->client, platform::Ipv4FromText("127.0.0.1"), listener.port()) <
        0) {
      platform::CloseSocket(pair->client);
      return false;
    }
  } else {
    std::string error;
    pair->client = platform::ConnectTcp("127.0.0.1", listener.port(), &error);
  }
  if (pair->client == platform::kInvalidSocket) return false;
  pair->server = listener.Accept();
  if (pair->server == platform::kInvalidSocket) {
    platform::CloseSocket(pair->client);
    return false;
  }
  return true;
}

platform::SocketHandle ConnectFrom(const char* source, const char* destination,
                                   std::uint16_t port, int receive_buffer) {
  static const bool started = platform::SocketsStartup() == 0;  // for the socket's lifetime
  (void)started;
  const platform::SocketHandle s = platform::OpenTcpSocket();
  if (s == platform::kInvalidSocket) return s;
  if (receive_buffer > 0) platform::SetReceiveBufferBytes(s, receive_buffer);
#if defined(__linux__)
  // The port is then chosen by the connect, which avoids one whose connection to the same
  // destination is still in TIME_WAIT there; a port chosen by the bind may be such a one, and
  // the connection's first SYN is then lost (a connect that takes a second) after many
  // connections from the same address.
  const int on = 1;
  setsockopt(static_cast<int>(s), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
#endif
  if (platform::BindIpv4(s, platform::Ipv4FromText(source), 0) < 0 ||
      platform::ConnectIpv4(s, platform::Ipv4FromText(destination), port) < 0) {
    platform::CloseSocket(s);
    return platform::kInvalidSocket;
  }
  return s;
}

}  // namespace velkaro::testing
