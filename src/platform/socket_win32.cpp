#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/socket.h"
#include "platform/wait_slice.h"

namespace velkaro::platform {

namespace {
SOCKET Sock(SocketHandle s) {
  return static_cast<SOCKET>(s);
}

void SetBlocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
}

enum class Connected { kYes, kRefused, kGiveUp };

// Waits for a connection started without blocking to be made or refused. kGiveUp when the time
// ran out or the wait was cancelled: no other address is tried then. The reason in `reason`, the
// system's error code in `code` (0 when it gave up).
Connected FinishConnect(SOCKET s, std::chrono::steady_clock::time_point deadline, bool bounded,
                        int timeout_ms, const std::atomic<bool>* cancel, std::string* reason,
                        int* code) {
  *code = 0;
  for (;;) {
    int slice = -1;
    if (!NextWaitSlice(deadline, bounded, timeout_ms, cancel, &slice, reason)) {
      return Connected::kGiveUp;
    }
    // A refused connection shows among the failed sockets, a made one among the writable.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{slice / 1000, (slice % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, slice < 0 ? nullptr : &wait);
    if (ready == SOCKET_ERROR) {
      *code = WSAGetLastError();
      *reason = SystemErrorText(*code);
      return Connected::kRefused;
    }
    if (ready > 0) {
      if (!FD_ISSET(s, &failed)) return Connected::kYes;
      int length = sizeof *code;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(code), &length);
      *reason = SystemErrorText(*code);
      return Connected::kRefused;
    }
  }
}
}  // namespace

int SocketsStartup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

void SocketsCleanup() {
  WSACleanup();
}

int LastSocketError() {
  return WSAGetLastError();
}
bool IsSendRetryError(int code) {
  return code == WSATRY_AGAIN;
}

bool IsTimeoutError(int code) {
  return code == WSAETIMEDOUT;
}

bool IsWouldBlockError(int code) {
  return code == WSAEWOULDBLOCK;
}

std::uint32_t Ipv4FromText(const char* text) {
  return inet_addr(text);
}

SocketHandle OpenTcpSocket() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

int BindIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port) {
  // Exclusive use of the address: no other program can bind the port over ours (as SO_REUSEADDR
  // would let it) and take our clients' connections. It counts only when set before the bind;
  // should it fail, the bind goes on without it.
  const BOOL on = TRUE;
  setsockopt(Sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = address_network_order;
  return bind(Sock(s), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ? -1 : 0;
}

int LocalPort(SocketHandle s) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&address), &length) < 0) return -1;
  return ntohs(address.sin_port);
}

int Listen(SocketHandle s, int backlog) {
  return listen(Sock(s), backlog == kLargestBacklog ? SOMAXCONN : backlog) < 0 ? -1 : 0;
}

SocketHandle Accept(SocketHandle listener, std::uint32_t* peer_ipv4) {
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  if (peer_ipv4 != nullptr) *peer_ipv4 = ntohl(peer.sin_addr.s_addr);
  return static_cast<SocketHandle>(s);
}

int ConnectIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = address_network_order;
  return connect(Sock(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

int GetPeerName(SocketHandle s) {
  sockaddr_in peer{};
  int length = sizeof peer;
  return getpeername(Sock(s), reinterpret_cast<sockaddr*>(&peer), &length) < 0 ? -1 : 0;
}

int Receive(SocketHandle s, void* buffer, int length) {
  const int n = recv(Sock(s), static_cast<char*>(buffer), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int Send(SocketHandle s, const void* buffer, int length) {
  const int n = send(Sock(s), static_cast<const char*>(buffer), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void Shutdown(SocketHandle s, ShutdownHow how) {
  const int mode = how == ShutdownHow::kReceive ? SD_RECEIVE
                   : how == ShutdownHow::kSend  ? SD_SEND
                                                : SD_BOTH;
  shutdown(Sock(s), mode);
}

void InterruptSocket(SocketHandle s) {
  // The shutdown makes every later call fail; a call already blocked is not woken by it, so
  // its I/O is cancelled as well.
  shutdown(Sock(s), SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) closesocket(Sock(s));
}

bool ForceWake(SocketHandle s) {
  // Every means at once: Wine's closesocket wakes accept and recv but not a blocked send, which
  // the shutdown and the cancellation do wake.
  InterruptSocket(s);
  CloseSocket(s);
  return true;
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
    if (error != nullptr) *error = SystemErrorText(rc);
    if (failure != nullptr) *failure = ConnectFailure::kNameNotResolved;
    return kInvalidSocket;
  }
  SocketHandle result = kInvalidSocket;
  std::string reason = "no address";
  ConnectFailure why = ConnectFailure::kNameNotResolved;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      reason = SystemErrorText(WSAGetLastError());
      why = ConnectFailure::kOther;
      continue;
    }
    // Started without blocking, so that the wait for it can be bounded and cancelled.
    SetBlocking(s, false);
    Connected connected = Connected::kYes;
    int code = 0;
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
      code = WSAGetLastError();
      if (code == WSAEWOULDBLOCK) {
        connected = FinishConnect(s, deadline, bounded, timeout_ms, cancel, &reason, &code);
      } else {
        reason = SystemErrorText(code);
        connected = Connected::kRefused;
      }
    }
    if (connected == Connected::kYes) {
      SetBlocking(s, true);
      result = static_cast<SocketHandle>(s);
      why = ConnectFailure::kNone;
      break;
    }
    closesocket(s);
    if (connected == Connected::kGiveUp) {
      why = cancel != nullptr && cancel->load() ? ConnectFailure::kInterrupted
                                                : ConnectFailure::kTimedOut;
      break;
    }
    why = code == WSAECONNREFUSED ? ConnectFailure::kRefused : ConnectFailure::kOther;
  }
  freeaddrinfo(found);
  if (result == kInvalidSocket && error != nullptr) *error = reason;
  if (failure != nullptr) *failure = why;
  return result;
}

namespace {
void SetTimeout(SocketHandle s, int option, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  setsockopt(Sock(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}
}  // namespace

void SetReceiveTimeout(SocketHandle s, int milliseconds) {
  SetTimeout(s, SO_RCVTIMEO, milliseconds);
}

void SetSendTimeout(SocketHandle s, int milliseconds) {
  SetTimeout(s, SO_SNDTIMEO, milliseconds);
}

void SetNoDelay(SocketHandle s) {
  const BOOL on = TRUE;
  setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void SetSendBufferBytes(SocketHandle s, int bytes) {
  setsockopt(Sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void SetReceiveBufferBytes(SocketHandle s, int bytes) {
  setsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

bool PeerHasClosed(SocketHandle s) {
  // Readable with nothing to read is the end of the stream (or an error): found without a
  // receive, which on a blocking socket could wait should the owner take the bytes first.
  if (WaitSocket(s, false, 0) != 1) return false;
  u_long pending = 0;
  return ioctlsocket(Sock(s), FIONREAD, &pending) == 0 && pending == 0;
}

int WaitSocket(SocketHandle s, bool for_sending, int timeout_ms) {
  fd_set ready_set, failed;
  FD_ZERO(&ready_set);
  FD_ZERO(&failed);
  FD_SET(Sock(s), &ready_set);
  FD_SET(Sock(s), &failed);
  const int ms = std::max(timeout_ms, 0);
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  const int ready = select(0, for_sending ? nullptr : &ready_set,
                           for_sending ? &ready_set : nullptr, &failed, &wait);
  if (ready == SOCKET_ERROR) return -1;
  return ready > 0 ? 1 : 0;
}

int SendSome(SocketHandle s, const void* buffer, int length) {
  // Windows has no per-call flag for it: the socket stops blocking for this one send.
  SetBlocking(Sock(s), false);
  const int n = send(Sock(s), static_cast<const char*>(buffer), length, 0);
  const int code = WSAGetLastError();
  SetBlocking(Sock(s), true);
  WSASetLastError(code);
  return n == SOCKET_ERROR ? -1 : n;
}

}  // namespace velkaro::platform
