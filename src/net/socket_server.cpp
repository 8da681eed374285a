#include "net/socket_server.h"

#include <algorithm>
#include <list>
#include <memory>
#include <utility>

#include "host/boundary.h"
#include "host/bridge_state.h"
#include "log/log.h"
#include "net/client_session.h"
#include "platform/clock.h"

namespace velkaro {

namespace {

// One client serving thread and its connection. Owned by the server thread.
struct SessionSlot {
  explicit SessionSlot(const SessionShared& shared) : shared(shared) {}
  SessionConnection connection;
  const SessionShared& shared;
  platform::Thread thread;
  std::atomic<bool> finished{false};
};

// The boundaries of the threads the server runs: no exception leaves their entry functions.
Boundary session_boundary("Zelm Socket: client serving thread");
Boundary waker_boundary("Zelm Socket: waker thread");
Boundary server_boundary("Zelm Socket: server thread");

void SessionThreadMain(void* argument) {
  auto* slot = static_cast<SessionSlot*>(argument);
  // A session closes its connection on every return; one that threw left it open.
  if (!CatchAtBoundary(session_boundary,
                       [slot] { ClientSession(slot->connection, slot->shared); })) {
    slot->connection.Close();
  }
  slot->finished.store(true, std::memory_order_release);
}

void WakerThreadMain(void* /*argument*/) {
  CatchAtBoundary(waker_boundary, [] { Bridge.Frames.RunWaker(); });
}

class SocketServer {
 public:
  void Run() {
    const platform::SocketHandle listener = OpenListener();
    if (listener == platform::kInvalidSocket) return;
    // Without a waker thread sessions still get every frame, each at the end of its wait.
    platform::Thread waker;
    waker.Start(WakerThreadMain, nullptr, kServerStackBytes);
    // An exception out of the loop still ends the server here: sessions woken and joined, the
    // waker stopped (its thread is joined below and must not wait for ever).
    CatchAtBoundary(server_boundary, [&] { AcceptLoop(listener); });
    WakeSessions();
    for (auto& slot : sessions_) slot->thread.Join();  // in the order they were started
    sessions_.clear();
    Bridge.Frames.StopWaker();
    waker.Join();
  }

 private:
  // Creates, binds and listens; the socket is handed to the bridge (for DLLStop to close) only
  // while the server is still wanted, so a stop that comes first is never missed.
  platform::SocketHandle OpenListener() {
    const std::uint32_t address = Bridge.BindAddress == "ANY"
                                      ? platform::kIpv4Any
                                      : platform::Ipv4FromText(Bridge.BindAddress.c_str());
    const platform::SocketHandle listener = platform::OpenTcpSocket();
    {
      platform::MutexLock guard(Bridge.ListenLock);
      if (!Bridge.ServerRunning.load()) {
        platform::CloseSocket(listener);
        return platform::kInvalidSocket;
      }
      Bridge.ListenSocket = listener;
    }
    if (platform::BindIpv4(listener, address, protocol::kDefaultPort) < 0) {
      LogMessage("Zelm Socket: bind failed");
      return platform::kInvalidSocket;
    }
    if (platform::Listen(listener, kListenBacklog) < 0) {
      LogMessage("Zelm Socket: listen failed");
      return platform::kInvalidSocket;
    }
    return listener;
  }

  void AcceptLoop(platform::SocketHandle listener) {
    do {
      const platform::SocketHandle client = platform::Accept(listener);
      if (client == platform::kInvalidSocket) {
        if (!Bridge.ServerRunning.load()) {
          LogMessage("Zelm Socket: listening socket was closed");
          break;
        }
        LogMessage("Zelm Socket: accept failed");
        platform::SleepMilliseconds(kAcceptRetryPauseMs);
        continue;
      }
      ReapEndedSessions();
      if (sessions_.size() >= kMaxSessions) {
        LogMessage("Zelm Socket: too many clients, connection closed");
        platform::Shutdown(client, platform::ShutdownHow::kBoth);
        platform::CloseSocket(client);
        continue;
      }
      // The slot takes its place in the list before its thread starts: the memory for both is
      // had first, and when it cannot be, no session exists yet and only the client is refused.
      if (!CatchAtBoundary(server_boundary,
                           [&] { sessions_.push_back(std::make_unique<SessionSlot>(shared_)); })) {
        platform::Shutdown(client, platform::ShutdownHow::kBoth);
        platform::CloseSocket(client);
        continue;
      }
      SessionSlot& slot = *sessions_.back();
      slot.connection.socket = client;
      slot.connection.guard = &connection_guard_;
      if (!slot.thread.Start(SessionThreadMain, &slot, kSessionStackBytes)) {
        sessions_.pop_back();
        LogMessage("Zelm Socket: creating client thread failed");
        platform::CloseSocket(client);
        break;
      }
      LogMessage("Zelm Socket: successfully created client serving thread");
    } while (Bridge.ServerRunning.load());
  }

  // Joins and drops the sessions whose threads have ended, so the list holds live sessions
  // only, however many clients come and go.
  void ReapEndedSessions() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if ((*it)->finished.load(std::memory_order_acquire)) {
        (*it)->thread.Join();
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Sessions may be blocked receiving from a silent client, sending to one that stopped
  // reading, or waiting for a frame: shutting their sockets down and ending the frame waits
  // makes each of them end promptly.
  void WakeSessions() {
    for (auto& slot : sessions_) slot->connection.Interrupt();
    Bridge.Frames.WakeAll();
  }

  // What the sessions share: the bridge's parts, handed to each session.
  const SessionShared shared_{
      Bridge.Frames,        Bridge.Fmc, Bridge.FlightPlan, Bridge.Mcp, Bridge.UploadBytesInFlight,
      Bridge.ServerRunning, Bridge.Log};
  std::list<std::unique_ptr<SessionSlot>> sessions_;
  platform::Mutex connection_guard_;
};

void SocketServerMain(void* /*argument*/) {
  CatchAtBoundary(server_boundary, [] {
    SocketServer server;
    server.Run();
  });
}

}  // namespace

void StartSocketServer() {
  Bridge.ServerRunning.store(true);
  auto thread = std::make_unique<platform::Thread>();
  if (thread->Start(SocketServerMain, nullptr, kServerStackBytes)) {
    Bridge.ServerThread = std::move(thread);
    LogMessage("Create SocketServe thread OK!\n");
  } else {
    Bridge.ServerRunning.store(false);
    LogMessage("Failed to create SocketServe thread!\n");
  }
}

void StopSocketServer() {
  if (!Bridge.ServerRunning.load() || Bridge.ServerThread == nullptr) return;
  // The flag is cleared before the listening socket is woken: that is how the server tells a
  // stop from an ordinary accept failure.
  Bridge.ServerRunning.store(false);
  // Taken out of the bridge, so that no later stop closes it a second time. A server that has
  // not published its socket yet sees the cleared flag and closes its own.
  platform::SocketHandle listener;
  {
    platform::MutexLock guard(Bridge.ListenLock);
    listener = std::exchange(Bridge.ListenSocket, platform::kInvalidSocket);
  }
  // The socket is woken, not closed, while the server may still use it: a descriptor closed
  // under another thread's accept could be reused by the time that thread calls it again.
  // Until the server has ended (it joins its sessions first), the wake-up is repeated, in
  // case the server only reached accept after it.
  do {
    if (listener != platform::kInvalidSocket) platform::InterruptSocket(listener);
  } while (!Bridge.ServerThread->JoinFor(kStopWakeIntervalMs));
  Bridge.ServerThread.reset();
  platform::CloseSocket(listener);
}

}  // namespace velkaro
