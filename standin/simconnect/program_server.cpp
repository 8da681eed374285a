// velkaro-sim's side of the link to SimConnect programs (program_link.h): a listening thread that
// accepts programs, and per program a receiving thread (its calls, run against the simulator on
// a connection of its own) and a sending thread (the messages the simulator posted for it). The
// simulator only ever posts into a program's bounded queue, so a program that does not read
// never holds up a frame; it misses frames instead.
//
// The listening thread owns the programs while serving: it reaps those that have ended. On stop
// the stopping thread takes them over, sends each the quit message and closes it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "platform/socket.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "simconnect/simulator_programs.h"

namespace velkaro::standin {
namespace {

constexpr std::size_t kMaxPrograms = 16;
constexpr int kAcceptWaitMs = 100;
// On stop, how long a program's sending thread has to send what waits (the quit message last)
// before its connection is cut.
constexpr int kDrainMs = 2000;
// How long a thread gets to notice its connection was interrupted before it is woken by every
// means the system has.
constexpr int kWakeMs = 2000;
constexpr std::size_t kThreadStackBytes = 256 * 1024;

void Say(const std::string& text) {
  std::fprintf(stderr, "velkaro-sim: %s\n", text.c_str());
  std::fflush(stderr);
}

class ProgramSession final : public ProgramMailbox {
 public:
  explicit ProgramSession(platform::SocketHandle socket) : socket_(socket) {}

  bool Start() {
    if (!sender_.Start(SendEntry, this, kThreadStackBytes)) return false;
    if (!receiver_.Start(ReceiveEntry, this, kThreadStackBytes)) {
      FinishSending();
      sender_.Join();
      return false;
    }
    return true;
  }

  void Post(std::vector<std::uint8_t> message) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (closing_) return;
    outbox_.Push(std::move(message));
    ready_.notify_one();
  }

  bool Ended() const { return receiver_done_.load() && sender_done_.load(); }
  bool Attached() const { return program_.load() != 0 && !receiver_done_.load(); }

  // The simulator stops: the quit message goes after what waits for the program, and nothing
  // after it.
  void BeginQuit() {
    const int program = program_.exchange(0);
    if (program != 0) {
      PostQuit(program);
      DetachProgram(program);
    }
    FinishSending();
  }

  // Waits (bounded) for the quit message to be sent, then ends the connection.
  void EndQuit() {
    if (!sender_.JoinFor(kDrainMs)) {
      platform::InterruptSocket(socket_);
      JoinOrForce(&sender_);
    }
    platform::InterruptSocket(socket_);
    JoinOrForce(&receiver_);
  }

  // Joins both threads of a session that has ended, and closes its socket.
  void Close() {
    sender_.Join();
    receiver_.Join();
    if (!socket_closed_) platform::CloseSocket(socket_);
    socket_closed_ = true;
  }

 private:
  static void SendEntry(void* self) { static_cast<ProgramSession*>(self)->SendMessages(); }
  static void ReceiveEntry(void* self) { static_cast<ProgramSession*>(self)->ReceiveCalls(); }

  void JoinOrForce(platform::Thread* thread) {
    if (!thread->JoinFor(kWakeMs)) {
      socket_closed_ = platform::ForceWake(socket_) || socket_closed_;
      thread->Join();
    }
  }

  void FinishSending() {
    std::lock_guard<std::mutex> guard(lock_);
    closing_ = true;
    ready_.notify_one();
  }

  void SendMessages() {
    for (;;) {
      std::vector<std::uint8_t> message;
      {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return !outbox_.Empty() || closing_; });
        if (outbox_.Empty()) break;  // closing, and nothing waits
        message = outbox_.Pop();
      }
      if (!link::SendAll(socket_, link::EncodeSimConnectMessage(message))) {
        // Gone: the receiving thread learns it too.
        platform::Shutdown(socket_, platform::ShutdownHow::kBoth);
        break;
      }
    }
    // What velkaro-sim had to say is said: the program sees the end of the stream.
    platform::Shutdown(socket_, platform::ShutdownHow::kSend);
    sender_done_.store(true);
  }

  void ReceiveCalls() {
    std::vector<std::uint8_t> message;
    std::string name = "(unnamed)";
    while (link::ReceiveMessage(socket_, link::kMaxCallBytes, &message)) {
      const std::optional<link::Call> call = link::DecodeCall(message);
      const bool hello = call && call->kind == link::LinkKind::kHello;
      const bool attached = attached_once_;
      if (!call || hello == attached) {
        Say("program " + name + " sent a message out of place; its connection is closed");
        break;
      }
      if (hello) {
        if (call->numbers[0] != link::kLinkVersion) {
          Say("a program of another link version connected; its connection is closed");
          break;
        }
        name = "\"" + call->texts[0].value_or("") + "\"";
        attached_once_ = true;
        program_.store(AttachProgram(this, call->texts[0].value_or("")));
        continue;
      }
      const int program = program_.load();
      if (program == 0) break;  // quitting
      RunProgramCall(program, *call);
    }
    const int program = program_.exchange(0);
    if (program != 0) {
      DetachProgram(program);
      Say("program " + name + " disconnected");
    }
    platform::Shutdown(socket_, platform::ShutdownHow::kReceive);
    FinishSending();
    receiver_done_.store(true);
  }

  platform::SocketHandle socket_;
  bool socket_closed_ = false;
  platform::Thread sender_;
  platform::Thread receiver_;
  std::atomic<int> program_{0};  // the simulator's id for it, once it said hello
  bool attached_once_ = false;   // the receiving thread's
  std::atomic<bool> receiver_done_{false};
  std::atomic<bool> sender_done_{false};

  std::mutex lock_;
  std::condition_variable ready_;
  link::QueueOfMessages outbox_;
  bool closing_ = false;
};

struct ProgramServer {
  std::mutex lock;  // serving, sessions
  bool serving = false;
  platform::SocketHandle listener = platform::kInvalidSocket;
  platform::Thread acceptor;
  std::atomic<bool> stop{false};
  std::list<std::unique_ptr<ProgramSession>> sessions;
};

ProgramServer& Server() {
  static ProgramServer* server = new ProgramServer;  // lives until the process ends
  return *server;
}

void ReapEnded(ProgramServer& server) {
  std::list<std::unique_ptr<ProgramSession>> ended;
  {
    std::lock_guard<std::mutex> guard(server.lock);
    for (auto it = server.sessions.begin(); it != server.sessions.end();) {
      if ((*it)->Ended()) {
        ended.push_back(std::move(*it));
        it = server.sessions.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& session : ended) session->Close();
}

void AcceptPrograms(void* argument) {
  auto& server = *static_cast<ProgramServer*>(argument);
  while (!server.stop.load()) {
    ReapEnded(server);
    if (platform::WaitSocket(server.listener, false, kAcceptWaitMs) != 1) continue;
    const platform::SocketHandle socket = platform::Accept(server.listener);
    if (socket == platform::kInvalidSocket) continue;
    std::lock_guard<std::mutex> guard(server.lock);
    if (server.sessions.size() >= kMaxPrograms) {
      Say("a program was turned away: " + std::to_string(kMaxPrograms) + " are connected");
      platform::CloseSocket(socket);
      continue;
    }
    platform::SetNoDelay(socket);
    auto session = std::make_unique<ProgramSession>(socket);
    if (!session->Start()) {
      platform::CloseSocket(socket);
      continue;
    }
    server.sessions.push_back(std::move(session));
  }
}

}  // namespace

int StartProgramServer(const std::string& address, std::string* error) {
  ProgramServer& server = Server();
  std::lock_guard<std::mutex> guard(server.lock);
  if (server.serving) {
    *error = "already serving programs";
    return 0;
  }
  std::string host;
  std::uint16_t port = 0;
  if (!link::ParseAddress(address, &host, &port)) {
    *error = "\"" + address + "\" is no HOST:PORT";
    return 0;
  }
  const std::uint32_t ip = platform::Ipv4FromText(host == "localhost" ? "127.0.0.1" : host.c_str());
  if (ip == 0xFFFFFFFFu) {
    *error = "\"" + host + "\" is no IPv4 address";
    return 0;
  }
  platform::SocketsStartup();
  const platform::SocketHandle listener = platform::OpenTcpSocket();
  if (listener == platform::kInvalidSocket || platform::BindIpv4(listener, ip, port) != 0 ||
      platform::Listen(listener, platform::kLargestBacklog) != 0) {
    *error = "cannot listen on " + address + ": " +
             platform::SystemErrorText(platform::LastSocketError());
    if (listener != platform::kInvalidSocket) platform::CloseSocket(listener);
    platform::SocketsCleanup();
    return 0;
  }
  server.listener = listener;
  server.stop.store(false);
  if (!server.acceptor.Start(AcceptPrograms, &server, kThreadStackBytes)) {
    *error = "cannot start the thread that accepts programs";
    platform::CloseSocket(listener);
    platform::SocketsCleanup();
    return 0;
  }
  server.serving = true;
  return port;
}

void StopProgramServer() {
  ProgramServer& server = Server();
  {
    std::lock_guard<std::mutex> guard(server.lock);
    if (!server.serving) return;
  }
  server.stop.store(true);
  server.acceptor.Join();
  std::list<std::unique_ptr<ProgramSession>> sessions;
  {
    std::lock_guard<std::mutex> guard(server.lock);
    sessions.swap(server.sessions);
    server.serving = false;
  }
  platform::CloseSocket(server.listener);
  server.listener = platform::kInvalidSocket;
  // All programs are told at once, so that stopping takes one drain's time however many there
  // are.
  for (auto& session : sessions) session->BeginQuit();
  for (auto& session : sessions) {
    session->EndQuit();
    session->Close();
  }
  platform::SocketsCleanup();
}

int ConnectedPrograms() {
  ProgramServer& server = Server();
  std::lock_guard<std::mutex> guard(server.lock);
  return static_cast<int>(std::count_if(server.sessions.begin(), server.sessions.end(),
                                        [](const auto& session) { return session->Attached(); }));
}

}  // namespace velkaro::standin
