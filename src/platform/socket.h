// Sockets for the add-on and its tools: Windows Sockets on Windows, BSD sockets elsewhere. One
// implementation file per system is chosen by the build. Every function is a thin wrapper with
// the system's own result conventions reduced to: a count or 0 on success, -1 on failure (the
// reason then in LastSocketError()).
//
// Thread-safety: the functions keep no state of their own; a socket may be used by one thread
// while another shuts it down (that is how blocked calls are woken), but closing it is left to
// its one owner.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system.h"

namespace velkaro::platform {

// A socket handle wide enough for both systems (SOCKET is pointer-sized on Windows).
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

enum class ShutdownHow { kReceive, kSend, kBoth };

// Windows Sockets 2.2 start-up and clean-up; no-ops elsewhere. The result of start-up is the
// system's own (0 on success).
int SocketsStartup();
void SocketsCleanup();

// The calling thread's last socket error code (WSAGetLastError / errno); SystemErrorText
// (platform/system.h) gives its text.
int LastSocketError();
// True for the transient error after which a send is retried (WSATRY_AGAIN on Windows, an
// interrupted call elsewhere).
bool IsSendRetryError(int code);
// True for the error of a receive or send that ran into its timeout (SetReceiveTimeout,
// SetSendTimeout).
bool IsTimeoutError(int code);
// True for the error of a SendSome that found no room to send anything.
bool IsWouldBlockError(int code);

// IPv4 stream sockets.
inline constexpr std::uint32_t kIpv4Any = 0;  // INADDR_ANY
// inet_addr: a dotted IPv4 address in network byte order, or 0xFFFFFFFF when it is not one.
std::uint32_t Ipv4FromText(const char* text);

SocketHandle OpenTcpSocket();
int BindIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port);
// Listens with room for `backlog` connections that wait to be accepted; kLargestBacklog asks for
// the most the system allows (SOMAXCONN).
inline constexpr int kLargestBacklog = -1;
int Listen(SocketHandle s, int backlog);
// The port a socket is bound to (the one the system chose for port 0), or -1.
int LocalPort(SocketHandle s);
// Accepts one connection; kInvalidSocket on failure. `peer_ipv4`, when given, receives the
// peer's IPv4 address in host byte order (0x7F000001 for 127.0.0.1).
SocketHandle Accept(SocketHandle listener, std::uint32_t* peer_ipv4 = nullptr);
// Connects `s` (bound first, when the connection is to come from a chosen local address) to an
// IPv4 address (network byte order) and port, waiting as long as the system does: 0 or -1.
int ConnectIpv4(SocketHandle s, std::uint32_t address_network_order, std::uint16_t port);
int GetPeerName(SocketHandle s);
// recv: bytes received, 0 when the peer closed, -1 on failure.
int Receive(SocketHandle s, void* buffer, int length);
// send: bytes sent or -1. Never raises a signal for a closed peer.
int Send(SocketHandle s, const void* buffer, int length);
void Shutdown(SocketHandle s, ShutdownHow how);
void CloseSocket(SocketHandle s);
// Wakes a thread blocked receiving from or sending to `s` and makes every later receive or send
// on it fail at once, without closing it (its owner still does that). From any thread.
void InterruptSocket(SocketHandle s);
// The last resort when InterruptSocket has not woken a thread blocked on `s` (a layered service
// provider on Windows may swallow the wake): wakes it by every means the system has. On Windows
// that includes closing the socket, since closesocket cancels the blocking calls on it in every
// thread whatever provider is layered over it: the result is then true, and nobody may close it
// again. Elsewhere a shutdown always wakes a blocked call, and a descriptor closed while another
// thread uses it may be reused at once: the socket is left open for its owner (false).
bool ForceWake(SocketHandle s);

// Bounds on a blocked call: a receive (send) that has received (sent) nothing for this long
// fails with a timeout error (IsTimeoutError); 0 waits without limit. After a timeout the
// connection is to be closed: on Windows its state is undefined.
void SetReceiveTimeout(SocketHandle s, int milliseconds);
void SetSendTimeout(SocketHandle s, int milliseconds);
void SetNoDelay(SocketHandle s);
// Fixes the system's buffer for what is sent on `s` (or received) at `bytes`, which also stops the
// system from growing it by itself (Linux doubles the figure for its own bookkeeping).
void SetSendBufferBytes(SocketHandle s, int bytes);
void SetReceiveBufferBytes(SocketHandle s, int bytes);
// True when the peer has closed its sending side and nothing it sent is left unread: a receive
// would return 0. Looks without waiting and without taking anything; from any thread.
bool PeerHasClosed(SocketHandle s);
// Waits at most `timeout_ms` until `s` has something to receive (data, the end of the stream or
// an error) or, with `for_sending`, room to send (or an error). 1 when ready, 0 when the time ran
// out (or a signal cut the wait short), -1 on failure.
int WaitSocket(SocketHandle s, bool for_sending, int timeout_ms);
// Sends what there is room for now, without waiting: bytes sent, or -1 (IsWouldBlockError when
// there was no room for any). Never raises a signal for a closed peer.
int SendSome(SocketHandle s, const void* buffer, int length);

// Client-side helpers (tools and tests).

// How often a wait that can be cancelled looks at its cancel flag.
inline constexpr int kCancelCheckMs = 100;

// Why ConnectTcp failed, for a caller that words its own advice.
enum class ConnectFailure {
  kNone,             // connected
  kNameNotResolved,  // the host name has no IPv4 address, or looking it up failed
  kRefused,          // the host answered that nothing listens on the port
  kTimedOut,         // no answer within the timeout
  kInterrupted,      // the cancel flag was set
  kOther,            // any other error of the system's
};

// Connects to host:port (a name or a dotted address); kInvalidSocket on failure, with a reason.
// With `timeout_ms` of 0 or more it gives up after that long ("timed out after N s"), and with a
// `cancel` flag as soon as the flag is true ("interrupted"); looking up a name is not bounded.
// `failure`, when given, tells why it failed (kNone on success). The socket it returns blocks,
// as every socket does.
SocketHandle ConnectTcp(const std::string& host, std::uint16_t port, std::string* error,
                        int timeout_ms = -1, const std::atomic<bool>* cancel = nullptr,
                        ConnectFailure* failure = nullptr);

}  // namespace velkaro::platform
