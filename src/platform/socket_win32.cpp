#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket.h"

namespace velkaro::platform {

namespace {
SOCKET Sock(SocketHandle s) {
  return static_cast<SOCKET>(s);
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

std::uint32_t Ipv4FromText(const char* text) {
  return inet_addr(text);
}

SocketHandle OpenTcpSocket() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

int BindIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port) {
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

SocketHandle Accept(SocketHandle listener) {
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &length);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
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

SocketHandle ConnectTcp(const std::string& host, std::uint16_t port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    if (error != nullptr) *error = SystemErrorText(rc);
    return kInvalidSocket;
  }
  SocketHandle result = kInvalidSocket;
  std::string reason = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      reason = SystemErrorText(WSAGetLastError());
      continue;
    }
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      result = static_cast<SocketHandle>(s);
      break;
    }
    reason = SystemErrorText(WSAGetLastError());
    closesocket(s);
  }
  freeaddrinfo(found);
  if (result == kInvalidSocket && error != nullptr) *error = reason;
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

}  // namespace velkaro::platform
