// The socket server: one thread that listens on a TCP port (for the add-on, the settings' port and
// address: protocol::kDefaultPort on all IPv4 interfaces unless Velkaro.ini says otherwise) and
// starts a client serving thread for every accepted connection, at most max_sessions at once.
// A connection from an address the allow list does not hold is closed at once, logged and counted,
// before it can take or claim a place.
//
// Connections. The listen queue holds as many waiting connections as the system allows, so
// clients that connect together (panels reconnecting after a restart) wait there to be accepted
// instead of having their requests dropped and retried a second later. Ended sessions are joined
// and dropped as the server goes. At the session limit a new connection gets a place when
//   - a session ends within kSessionEndWaitMs (its client may have gone already, its thread not
//     yet noticed it); the wait is skipped while the server is full and no session has ended
//     since the last wait, so a flood of connections is refused without delay;
//   - or a session's client has closed its end, which its session has not yet read: the place
//     is as good as free, and the session is ended;
//   - or the session that has waited longest for its next command has waited more than
//     kIdleEvictAfterMs: it is ended and the new connection takes its place;
// otherwise the new connection is closed at once. One client address holds at most
// max_per_address places (the settings' max_clients_per_address): beyond that its new connection
// takes the place of one of its own sessions whose client has closed, or which has been idle for
// kIdleEvictAfterMs, or is closed at once, so one address cannot take every place. A session thread that cannot be started costs
// only its connection, which is closed; the server pauses kThreadStartRetryPauseMs and goes on.
//
// Status. The server keeps its part of the add-on's status (StatusBoard, through SessionShared):
// whether it listens, how many clients it serves, how many connections it refused, and its
// failures (bind, listen, accept, thread start) as warnings.
//
// Stop. The server's thread and every session are woken (sockets shut down, frame waits ended)
// and joined. Should a wake-up not reach a thread (a layered service provider on Windows may
// swallow it), the thread is woken by force kStopForceWakeAfterMs after the stop began (the server)
// or after the sessions were woken (a session): on Windows its socket is closed, which wakes any
// blocked call. Stop returns within kStopBoundMs in every case.
//
// Thread-safety: Start and Stop are called by one thread (the simulator's for the add-on); the
// server's thread owns the listening socket's use, the session list and every session thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "common/protocol.h"
#include "config/settings.h"
#include "net/client_session.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace velkaro {

inline constexpr int kListenBacklog = platform::kLargestBacklog;  // far above kMaxSessions
inline constexpr std::size_t kMaxSessions = 64;
static_assert(kMaxSessions == kMaxSessionsLimit, "the settings' max_clients is bounded by it");
// Client serving threads need little stack; the host is a 32-bit process.
inline constexpr std::size_t kSessionStackBytes = 256 * 1024;
inline constexpr std::size_t kServerStackBytes = 256 * 1024;
// Pause after a failed accept while running, so a persistent failure cannot spin.
inline constexpr int kAcceptRetryPauseMs = 50;
// Pause after a session thread could not be started (the system is short of threads or memory).
inline constexpr int kThreadStartRetryPauseMs = 50;
// At the session limit: how long a new connection waits for an ending session's place, and how
// long a session must have waited for its next command before a new connection may take its.
inline constexpr int kSessionEndWaitMs = 1000;
inline constexpr int kIdleEvictAfterMs = 60000;
// How often a new connection waiting for a session of its address to end looks again.
inline constexpr int kClosedSessionPollMs = 10;

// While stopping, the listening socket is woken again this often until the server has ended.
inline constexpr int kStopWakeIntervalMs = 50;
// A thread that has not woken this long after its wake-up began is woken by force.
inline constexpr int kStopForceWakeAfterMs = 500;
// What a stop takes at most: the server's and then the sessions' forced wake-up, and the ends.
inline constexpr int kStopBoundMs = 2000;
static_assert(2 * kStopForceWakeAfterMs + 2 * kStopWakeIntervalMs < kStopBoundMs);

class SocketServer {
 public:
  struct Settings {
    std::uint32_t address = platform::kIpv4Any;   // network byte order
    std::uint16_t port = protocol::kDefaultPort;  // or 0 for one the system picks
    std::size_t max_sessions = kMaxSessions;      // 1 to kMaxSessions
    std::size_t max_per_address = kDefaultSessionsPerAddress;  // 1 to kMaxSessions
    AllowList allow;                              // empty: everyone
    int idle_evict_after_ms = kIdleEvictAfterMs;
    // Seams for tests: how a session thread is started, and how a blocked socket is woken.
    bool (*start_thread)(platform::Thread& thread, platform::Thread::Entry entry,
                         void* argument) = StartSessionThread;
    void (*wake)(platform::SocketHandle socket) = platform::InterruptSocket;
  };

  // Starts a thread with kSessionStackBytes of stack.
  static bool StartSessionThread(platform::Thread& thread, platform::Thread::Entry entry,
                                 void* argument);

  // `running` is the flag the sessions read (shared.running): Start expects it set, Stop clears
  // it.
  SocketServer(const SessionShared& shared, std::atomic<bool>& running, Settings settings);
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;
  ~SocketServer();  // stops the server if it runs

  // Starts the server's thread; false when it cannot be started.
  bool Start();
  // Clears `running`, wakes the server and its sessions and joins them, within kStopBoundMs.
  void Stop();
  // The port listened on: 0 until the server listens, and for good if bind or listen failed.
  std::uint16_t port() const { return static_cast<std::uint16_t>(port_.load()); }

  // The server thread's body.
  void Run();

 private:
  struct Slot;
  // Counts the ends of session threads, for the server to wait for one.
  struct EndSignal {
    std::mutex mutex;
    std::condition_variable ended;
    std::uint64_t count = 0;  // under mutex
    void Notify();
    // Waits at most `milliseconds` for the count to pass `seen`; true when it has.
    bool WaitPast(std::uint64_t seen, int milliseconds);
    std::uint64_t Count();
  };

  platform::SocketHandle OpenListener();
  void ReportListenFailure(const char* step);
  // "<text>: error N, <system text>" to the log and, the first time for `reported`, to the status.
  void ReportFailure(const char* text, int code, bool* reported);
  bool Allowed(platform::SocketHandle client, std::uint32_t peer);
  void AcceptLoop(platform::SocketHandle listener);
  bool MakeRoom();
  bool MakeRoomForAddress(std::uint32_t peer);
  void ReapEndedSessions();
  // Places held: by everyone, or only by the sessions of `peer` when `only_peer`.
  std::size_t PlacesTaken(bool only_peer = false, std::uint32_t peer = 0) const;
  // Ends a session that gives a place back at once (of `peer` only, when `only_peer`): one whose
  // client has closed, or else the one idle longest beyond idle_evict_after_ms. True when one
  // was ended.
  bool EvictForPlace(bool only_peer = false, std::uint32_t peer = 0);
  void StopSessions();
  static void SessionThreadMain(void* argument);

  const SessionShared shared_;
  std::atomic<bool>& running_;
  const Settings settings_;
  platform::Thread thread_;
  std::atomic<int> port_{0};

  platform::Mutex listen_lock_;
  // Stored by the server's thread, taken by Stop; the server's thread never closes it.
  platform::SocketHandle listen_socket_ VELKARO_GUARDED_BY(listen_lock_) = platform::kInvalidSocket;

  // The server thread's own.
  std::list<std::unique_ptr<Slot>> sessions_;
  platform::Mutex connection_guard_;
  EndSignal ends_;
  // The end count when a wait at the session limit last ran out; no wait again until it moves.
  std::uint64_t full_at_ends_ = ~std::uint64_t{0};
  // Repeated failures go to the status once per run.
  bool accept_failure_reported_ = false;
  bool thread_failure_reported_ = false;
};

// The server's settings from the add-on's settings (Velkaro.ini's [server]).
SocketServer::Settings ServerSettingsFor(const Settings& config);

}  // namespace velkaro
