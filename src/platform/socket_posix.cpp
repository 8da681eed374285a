#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/socket.h"
#include "platform/wait_slice.h"

namespace velkaro::platform {

namespace {
int Fd(SocketHandle s) {
  return static_cast<int>(s);
}

enum class Connected { kYes, kRefused, kGiveUp };

// Waits for a connection started without blocking to be made or refused. kGiveUp when the time
// ran out or the wait was cancelled: no other address is tried then. The reason in `reason`, the
// system's error code in `code` (0 when it gave up).
Connected FinishConnect(int fd, std::chrono::steady_clock::time_point deadline, bool bounded,
                        int timeout_ms, const std::atomic<bool>* cancel, std::string* reason,
                        int* code) {
  for (;;) {
    int slice = -1;
    if (!NextWaitSlice(deadline, bounded, timeout_ms, cancel, &slice, reason)) {
      *code = 0;
      return Connected::kGiveUp;
    }
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, slice);
    if (ready < 0 && errno != EINTR) {
      *code = errno;
      *reason = SystemErrorText(errno);
      return Connected::kRefused;
    }
    if (ready > 0) {
      *code = 0;
      socklen_t length = sizeof *code;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, code, &length) < 0) *code = errno;
      if (*code == 0) return Connected::kYes;
      *reason = SystemErrorText(*code);
      return Connected::kRefused;
    }
  }
}
}  // namespace

int SocketsStartup() {
  return 0;
}
void SocketsCleanup() {}

int LastSocketError() {
  return errno;
}

bool IsSendRetryError(int code) {
  return code == EINTR;
}

bool IsTimeoutError(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

bool IsWouldBlockError(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

std::uint32_t Ipv4FromText(const char* text) {
  return inet_addr(text);
}

SocketHandle OpenTcpSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return kInvalidSocket;
  // A restarted host must be able to listen again at once, as it can on Windows.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return static_cast<SocketHandle>(fd);
}

int BindIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = address_network_order;
  return bind(Fd(s), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ? -1 : 0;
}

int LocalPort(SocketHandle s) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) < 0) return -1;
  return ntohs(address.sin_port);
}

int Listen(SocketHandle s, int backlog) {
  return listen(Fd(s), backlog == kLargestBacklog ? SOMAXCONN : backlog) < 0 ? -1 : 0;
}

SocketHandle Accept(SocketHandle listener, std::uint32_t* peer_ipv4) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  if (peer_ipv4 != nullptr) *peer_ipv4 = ntohl(peer.sin_addr.s_addr);
  return static_cast<SocketHandle>(fd);
}

int ConnectIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = address_network_order;
  return connect(Fd(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

int GetPeerName(SocketHandle s) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  return getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &length) < 0 ? -1 : 0;
}

int Receive(SocketHandle s, void* buffer, int length) {
  for (;;) {
    const ssize_t n = recv(Fd(s), buffer, static_cast<size_t>(length), 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int Send(SocketHandle s, const void* buffer, int length) {
  const ssize_t n = send(Fd(s), buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

void Shutdown(SocketHandle s, ShutdownHow how) {
  const int mode = how == ShutdownHow::kReceive ? SHUT_RD
                   : how == ShutdownHow::kSend  ? SHUT_WR
                                                : SHUT_RDWR;
  shutdown(Fd(s), mode);
}

void InterruptSocket(SocketHandle s) {
  // Shutting both directions down wakes a blocked recv (it returns 0) and send (EPIPE).
  shutdown(Fd(s), SHUT_RDWR);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) close(Fd(s));
}

bool ForceWake(SocketHandle s) {
  InterruptSocket(s);
  return false;
}

SocketHandle ConnectTcp(const std::string& host, std::uint16_t port, std::string* error,
                        int timeout_ms, const std::atomic<bool>* cancel, ConnectFailure* failure) {
  const bool bounded = timeout_ms >= 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    if (error != nullptr) *error = rc == EAI_SYSTEM ? SystemErrorText(errno) : gai_strerror(rc);
    if (failure != nullptr) *failure = ConnectFailure::kNameNotResolved;
    return kInvalidSocket;
  }
  SocketHandle result = kInvalidSocket;
  std::string reason = "no address";
  ConnectFailure why = ConnectFailure::kNameNotResolved;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    // Started without blocking, so that the wait for it can be bounded and cancelled.
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      reason = SystemErrorText(errno);
      why = ConnectFailure::kOther;
      continue;
    }
    Connected connected = Connected::kYes;
    int code = 0;
    if (connect(fd, a->ai_addr, a->ai_addrlen) < 0) {
      if (errno == EINPROGRESS) {
        connected = FinishConnect(fd, deadline, bounded, timeout_ms, cancel, &reason, &code);
      } else {
        code = errno;
        reason = SystemErrorText(code);
        connected = Connected::kRefused;
      }
    }
    if (connected == Connected::kYes) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      result = static_cast<SocketHandle>(fd);
      why = ConnectFailure::kNone;
      break;
    }
    close(fd);
    if (connected == Connected::kGiveUp) {
      why = cancel != nullptr && cancel->load() ? ConnectFailure::kInterrupted
                                                : ConnectFailure::kTimedOut;
      break;
    }
    why = code == ECONNREFUSED ? ConnectFailure::kRefused : ConnectFailure::kOther;
  }
  freeaddrinfo(found);
  if (result == kInvalidSocket && error != nullptr) *error = reason;
  if (failure != nullptr) *failure = why;
  return result;
}

namespace {
void SetTimeout(SocketHandle s, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(Fd(s), SOL_SOCKET, option, &tv, sizeof tv);
}
}  // namespace

void SetReceiveTimeout(SocketHandle s, int milliseconds) {
  SetTimeout(s, SO_RCVTIMEO, milliseconds);
}

void SetSendTimeout(SocketHandle s, int milliseconds) {
  SetTimeout(s, SO_SNDTIMEO, milliseconds);
}

void SetNoDelay(SocketHandle s) {
  const int on = 1;
  setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetSendBufferBytes(SocketHandle s, int bytes) {
  setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void SetReceiveBufferBytes(SocketHandle s, int bytes) {
  setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool PeerHasClosed(SocketHandle s) {
  char byte;
  for (;;) {
    const ssize_t n = recv(Fd(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

int WaitSocket(SocketHandle s, bool for_sending, int timeout_ms) {
  pollfd p{Fd(s), static_cast<short>(for_sending ? POLLOUT : POLLIN), 0};
  const int ready = poll(&p, 1, std::max(timeout_ms, 0));
  if (ready < 0) return errno == EINTR ? 0 : -1;
  return ready > 0 ? 1 : 0;
}

int SendSome(SocketHandle s, const void* buffer, int length) {
  for (;;) {
    const ssize_t n = send(Fd(s), buffer, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

}  // namespace velkaro::platform
