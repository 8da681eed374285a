#include "net/socket_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "log/boundary.h"
#include "log/log.h"
#include "platform/clock.h"

namespace velkaro {

// One client serving thread and its connection. Owned by the server thread.
struct SocketServer::Slot {
  Slot(const SessionShared& shared, EndSignal& ends) : shared(shared), ends(ends) {}
  SessionConnection connection;
  const SessionShared& shared;
  EndSignal& ends;
  platform::Thread thread;
  std::atomic<bool> finished{false};
};

namespace {

// The boundaries of the threads the server runs: no exception leaves their entry functions.
Boundary session_boundary("Zelm Socket: client serving thread");
Boundary waker_boundary("Zelm Socket: waker thread");
Boundary server_boundary("Zelm Socket: server thread");

void WakerThreadMain(void* argument) {
  CatchAtBoundary(waker_boundary,
                  [argument] { static_cast<FrameExchange*>(argument)->RunWaker(); });
}

void SocketServerMain(void* argument) {
  static_cast<SocketServer*>(argument)->Run();
}

}  // namespace

void SocketServer::SessionThreadMain(void* argument) {
  auto* slot = static_cast<Slot*>(argument);
  slot->shared.status.SessionStarted();
  // A session closes its connection on every return; one that threw left it open.
  if (!CatchAtBoundary(session_boundary,
                       [slot] { ClientSession(slot->connection, slot->shared); })) {
    slot->connection.Close();
  }
  slot->shared.status.SessionEnded();
  slot->finished.store(true, std::memory_order_release);
  slot->ends.Notify();  // the server joins this thread before the slot goes
}

void SocketServer::EndSignal::Notify() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
  }
  ended.notify_all();
}

bool SocketServer::EndSignal::WaitPast(std::uint64_t seen, int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex);
  return ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                        [&] { return count != seen; });
}

std::uint64_t SocketServer::EndSignal::Count() {
  std::lock_guard<std::mutex> lock(mutex);
  return count;
}

bool SocketServer::StartSessionThread(platform::Thread& thread, platform::Thread::Entry entry,
                                      void* argument) {
  return thread.Start(entry, argument, kSessionStackBytes);
}

SocketServer::SocketServer(const SessionShared& shared, std::atomic<bool>& running,
                           Settings settings)
    : shared_(shared), running_(running), settings_(settings) {}

SocketServer::~SocketServer() {
  Stop();
}

bool SocketServer::Start() {
  return thread_.Start(SocketServerMain, this, kServerStackBytes);
}

void SocketServer::Run() {
  const platform::SocketHandle listener = OpenListener();
  if (listener == platform::kInvalidSocket) return;
  // Without a waker thread sessions still get every frame, each at the end of its wait.
  platform::Thread waker;
  if (!waker.Start(WakerThreadMain, &shared_.frames, kServerStackBytes)) {
    bool reported = false;
    ReportFailure("Zelm Socket: creating waker thread failed, frames wait out their time",
                  platform::LastSystemError(), &reported);
  }
  // An exception out of the loop still ends the server here: sessions woken and joined, the
  // waker stopped (its thread is joined below and must not wait for ever).
  CatchAtBoundary(server_boundary, [&] { AcceptLoop(listener); });
  shared_.status.SetListening(false);
  StopSessions();
  shared_.frames.StopWaker();
  waker.Join();
}

// Creates, binds and listens; the socket is handed over (for Stop to take) only while the server
// is still wanted, so a stop that comes first is never missed.
platform::SocketHandle SocketServer::OpenListener() {
  const platform::SocketHandle listener = platform::OpenTcpSocket();
  {
    platform::MutexLock guard(listen_lock_);
    if (!running_.load()) {
      platform::CloseSocket(listener);
      return platform::kInvalidSocket;
    }
    listen_socket_ = listener;
  }
  if (platform::BindIpv4(listener, settings_.address, settings_.port) < 0) {
    ReportListenFailure("bind");
    return platform::kInvalidSocket;
  }
  if (platform::Listen(listener, kListenBacklog) < 0) {
    ReportListenFailure("listen");
    return platform::kInvalidSocket;
  }
  port_.store(platform::LocalPort(listener));
  shared_.status.SetListening(true);
  return listener;
}

// "Zelm Socket: bind failed on 0.0.0.0:5193: error 98, Address already in use": the log's
// established line, with where and why.
void SocketServer::ReportListenFailure(const char* step) {
  const int code = platform::LastSocketError();
  std::uint8_t address[4];  // network order: the first byte is the first part
  std::memcpy(address, &settings_.address, sizeof address);
  char text[96];
  std::snprintf(text, sizeof text, "Zelm Socket: %s failed on %u.%u.%u.%u:%u", step, address[0],
                address[1], address[2], address[3], static_cast<unsigned>(settings_.port));
  bool reported = false;
  ReportFailure(text, code, &reported);
}

void SocketServer::ReportFailure(const char* text, int code, bool* reported) {
  // The system's text is fetched (an allocation) only for someone to read it; a failure to get
  // it costs the line, never the server.
  if (!shared_.log.Enabled && *reported) return;
  CatchAtBoundary(server_boundary, [&] {
    std::string reason = platform::SystemErrorText(code);
    if (reason.empty()) reason = "no text for it";
    shared_.log.Write("%s: error %d, %s", text, code, reason.c_str());
    if (!*reported) {
      *reported = true;
      shared_.status.AddWarning(std::string(text) + ": error " + std::to_string(code) + ", " +
                                reason);
    }
  });
}

// A connection from an address the allow list does not hold is closed before it takes a place
// or the place of an idle session.
bool SocketServer::Allowed(platform::SocketHandle client, std::uint32_t peer) {
  if (settings_.allow.Allows(peer)) return true;
  shared_.status.CountRefusedConnection();
  shared_.log.Write("Zelm Socket: refused connection from %s (not in allow)",
                    AddressText(peer).text);
  platform::Shutdown(client, platform::ShutdownHow::kBoth);
  platform::CloseSocket(client);
  return false;
}

void SocketServer::AcceptLoop(platform::SocketHandle listener) {
  do {
    std::uint32_t peer = 0;
    const platform::SocketHandle client = platform::Accept(listener, &peer);
    if (client == platform::kInvalidSocket) {
      if (!running_.load()) {
        shared_.log.Write("Zelm Socket: listening socket was closed");
        break;
      }
      ReportFailure("Zelm Socket: accept failed", platform::LastSocketError(),
                    &accept_failure_reported_);
      platform::SleepMilliseconds(kAcceptRetryPauseMs);
      continue;
    }
    if (!Allowed(client, peer)) continue;
    if (!MakeRoomForAddress(peer)) {
      shared_.log.Write("Zelm Socket: too many clients from %s, connection closed",
                        AddressText(peer).text);
      platform::Shutdown(client, platform::ShutdownHow::kBoth);
      platform::CloseSocket(client);
      continue;
    }
    if (!MakeRoom()) {
      shared_.log.Write("Zelm Socket: too many clients, connection from %s closed",
                        AddressText(peer).text);
      platform::Shutdown(client, platform::ShutdownHow::kBoth);
      platform::CloseSocket(client);
      continue;
    }
    // The slot takes its place in the list before its thread starts: the memory for both is had
    // first, and when it cannot be, no session exists yet and only the client is refused.
    if (!CatchAtBoundary(server_boundary,
                         [&] { sessions_.push_back(std::make_unique<Slot>(shared_, ends_)); })) {
      platform::Shutdown(client, platform::ShutdownHow::kBoth);
      platform::CloseSocket(client);
      continue;
    }
    Slot& slot = *sessions_.back();
    slot.connection.socket = client;
    slot.connection.peer = peer;
    slot.connection.guard = &connection_guard_;
    slot.connection.wake = settings_.wake;
    if (!settings_.start_thread(slot.thread, SessionThreadMain, &slot)) {
      // Only this connection is lost; the sessions already running go on, and so does the
      // server after a pause for the system to recover.
      const int code = platform::LastSystemError();
      sessions_.pop_back();
      ReportFailure("Zelm Socket: creating client thread failed", code, &thread_failure_reported_);
      platform::Shutdown(client, platform::ShutdownHow::kBoth);
      platform::CloseSocket(client);
      platform::SleepMilliseconds(kThreadStartRetryPauseMs);
      continue;
    }
    shared_.log.Write("Zelm Socket: successfully created client serving thread for %s",
                      AddressText(peer).text);
  } while (running_.load());
}

// Finds a place for a new connection; false when it must be refused.
bool SocketServer::MakeRoom() {
  ReapEndedSessions();
  if (PlacesTaken() < settings_.max_sessions) return true;
  const std::uint64_t ends = ends_.Count();
  if (ends != full_at_ends_) {
    if (ends_.WaitPast(ends, kSessionEndWaitMs)) {
      ReapEndedSessions();
      if (PlacesTaken() < settings_.max_sessions) return true;
    } else {
      full_at_ends_ = ends;
    }
  }
  return EvictForPlace();
}

// Keeps a new connection from `peer` within its address's share of the places.
bool SocketServer::MakeRoomForAddress(std::uint32_t peer) {
  const auto room = [&] {
    ReapEndedSessions();
    return PlacesTaken(true, peer) < settings_.max_per_address || EvictForPlace(true, peer);
  };
  if (room()) return true;
  // A session of its own may still be sending the last reply to a client that has gone (a
  // client that syncs and leaves at once): its end is near, and is waited for a little.
  const auto ending = [&] {
    return std::any_of(sessions_.begin(), sessions_.end(), [&](auto& slot) {
      return slot->connection.peer == peer &&
             slot->connection.idle_since.load() == SessionConnection::kBusy &&
             slot->connection.ClientHasClosed();
    });
  };
  const std::int64_t until = platform::SteadyMilliseconds() + kSessionEndWaitMs;
  while (ending() && platform::SteadyMilliseconds() < until) {
    ends_.WaitPast(ends_.Count(), kClosedSessionPollMs);
    if (room()) return true;
  }
  return room();
}

// Joins and drops the sessions whose threads have ended, so the list holds live sessions only,
// however many clients come and go.
void SocketServer::ReapEndedSessions() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if ((*it)->finished.load(std::memory_order_acquire)) {
      (*it)->thread.Join();
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

// Sessions that hold a place: an evicted one is on its way out and has given its place up.
std::size_t SocketServer::PlacesTaken(bool only_peer, std::uint32_t peer) const {
  return static_cast<std::size_t>(std::count_if(sessions_.begin(), sessions_.end(), [&](auto& s) {
    return s->connection.idle_since.load() != SessionConnection::kEvicted &&
           (!only_peer || s->connection.peer == peer);
  }));
}

bool SocketServer::EvictForPlace(bool only_peer, std::uint32_t peer) {
  const auto candidate = [&](Slot& slot) {
    return !slot.finished.load(std::memory_order_acquire) &&
           (!only_peer || slot.connection.peer == peer);
  };
  // A session whose client has gone, though it has not read that yet (a closed peer is seen
  // only by sessions waiting for a command: a busy one finds out at its next send or receive).
  for (auto& slot : sessions_) {
    if (!candidate(*slot)) continue;
    const std::int64_t since = slot->connection.idle_since.load();
    if (since == SessionConnection::kBusy || since == SessionConnection::kEvicted) continue;
    if (slot->connection.ClientHasClosed() && slot->connection.Evict(since)) {
      shared_.log.Write("Zelm Socket: client %s had closed, its place given to a new connection",
                        AddressText(slot->connection.peer).text);
      return true;
    }
  }
  // A session may begin a command between the choice and the eviction; the next one is tried.
  for (std::size_t tries = 0; tries < sessions_.size(); ++tries) {
    const std::int64_t now = platform::SteadyMilliseconds();
    Slot* longest = nullptr;
    std::int64_t longest_since = 0;
    for (auto& slot : sessions_) {
      if (!candidate(*slot)) continue;
      const std::int64_t since = slot->connection.idle_since.load();
      if (since == SessionConnection::kBusy || since == SessionConnection::kEvicted) continue;
      if (now - since <= settings_.idle_evict_after_ms) continue;
      if (longest == nullptr || since < longest_since) {
        longest = slot.get();
        longest_since = since;
      }
    }
    if (longest == nullptr) return false;
    if (longest->connection.Evict(longest_since)) {
      shared_.log.Write("Zelm Socket: idle client %s dropped for a new connection",
                        AddressText(longest->connection.peer).text);
      return true;
    }
  }
  return false;
}

// Sessions may be blocked receiving from a silent client, sending to one that stopped reading,
// or waiting for a frame: shutting their sockets down and ending the frame waits makes each of
// them end promptly. Those that have not ended after kStopForceWakeAfterMs are woken by force (on
// Windows their sockets are closed), then joined.
void SocketServer::StopSessions() {
  for (auto& slot : sessions_) slot->connection.Interrupt();
  shared_.frames.WakeAll();
  const std::int64_t deadline = platform::SteadyMilliseconds() + kStopForceWakeAfterMs;
  bool forced = false;
  for (auto& slot : sessions_) {  // in the order they were started
    const std::int64_t left = std::max<std::int64_t>(0, deadline - platform::SteadyMilliseconds());
    if (slot->thread.JoinFor(static_cast<int>(left))) continue;
    if (!forced) {
      shared_.log.Write("Zelm Socket: client serving threads did not wake, woken again by force");
      for (auto& other : sessions_) other->connection.ForceWake();
      forced = true;
    }
    slot->thread.Join();
  }
  sessions_.clear();
}

void SocketServer::Stop() {
  if (!thread_.Started()) return;
  // The flag is cleared before the listening socket is woken: that is how the server tells a
  // stop from an ordinary accept failure.
  running_.store(false);
  // Taken, so that no later stop closes it a second time. A server that has not stored its
  // socket yet sees the cleared flag and closes its own.
  platform::SocketHandle listener;
  {
    platform::MutexLock guard(listen_lock_);
    listener = std::exchange(listen_socket_, platform::kInvalidSocket);
  }
  // The socket is woken, not closed, while the server may still use it: a descriptor closed
  // under another thread's accept could be reused by the time that thread calls it again.
  // Until the server has ended (it joins its sessions first), the wake-up is repeated, in case
  // the server only reached accept after it. Only when that has not ended the server in time is
  // it woken by force (on Windows the socket is closed under it): that wakes an accept that
  // nothing else does.
  const std::int64_t force_at = platform::SteadyMilliseconds() + kStopForceWakeAfterMs;
  bool forced = false, closed = listener == platform::kInvalidSocket;
  do {
    if (closed) continue;
    if (platform::SteadyMilliseconds() < force_at) {
      settings_.wake(listener);
      continue;
    }
    if (!forced) {
      shared_.log.Write("Zelm Socket: server did not end in time, listening socket woken by force");
      forced = true;
    }
    closed = platform::ForceWake(listener);
  } while (!thread_.JoinFor(kStopWakeIntervalMs));
  if (!closed) platform::CloseSocket(listener);
}

SocketServer::Settings ServerSettingsFor(const Settings& config) {
  SocketServer::Settings settings;
  // The settings hold "ANY" or an address they have checked and written out in full.
  settings.address =
      config.bind == "ANY" ? platform::kIpv4Any : platform::Ipv4FromText(config.bind.c_str());
  settings.port = config.port;
  settings.max_sessions = static_cast<std::size_t>(config.max_clients);
  settings.max_per_address = static_cast<std::size_t>(config.max_clients_per_address);
  settings.allow = config.allow;
  return settings;
}

}  // namespace velkaro
