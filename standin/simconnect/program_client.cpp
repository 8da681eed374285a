#include "simconnect/program_client.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/coding.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace velkaro::standin::program {
namespace {

constexpr SIMCONNECT_HRESULT kFailed = static_cast<SIMCONNECT_HRESULT>(0x80004005u);  // E_FAIL
// A velkaro-sim that takes no call for this long (stopped in a debugger) loses the connection.
constexpr int kSendTimeoutMs = 5000;
// Close waits this long for the receiving thread to notice the connection ended, before it
// wakes it by every means the system has.
constexpr int kReceiverStopMs = 2000;
constexpr std::size_t kReceiverStackBytes = 256 * 1024;

struct ProgramConnection {
  platform::SocketHandle socket = platform::kInvalidSocket;
  void* event = nullptr;
  platform::Thread receiver;
  bool socket_closed = false;  // ForceWake closed it

  std::mutex lock;  // the queue and `lost`, shared with the receiving thread
  link::QueueOfMessages queue;
  bool lost = false;

  std::mutex send_lock;  // sends and the send ids
  SIMCONNECT_DWORD last_send_id = 0;
  bool closed = false;  // Close was called (a dispatch in progress stops delivering)
};

struct Registry {
  std::mutex lock;
  std::map<SIMCONNECT_HANDLE, std::shared_ptr<ProgramConnection>> open;
};

Registry& Connections() {
  static Registry* registry = new Registry;  // lives until the process ends
  return *registry;
}

std::shared_ptr<ProgramConnection> Find(SIMCONNECT_HANDLE handle) {
  Registry& registry = Connections();
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto found = registry.open.find(handle);
  return found != registry.open.end() ? found->second : nullptr;
}

void MarkLost(ProgramConnection* connection) {
  {
    std::lock_guard<std::mutex> guard(connection->lock);
    connection->lost = true;
  }
  SignalEvent(connection->event);
}

// The receiving thread: queues every SimConnect message velkaro-sim sends until the connection
// ends, fails or carries a malformed message.
void ReceiveMessages(void* argument) {
  auto* connection = static_cast<ProgramConnection*>(argument);
  std::vector<std::uint8_t> message;
  while (link::ReceiveMessage(connection->socket, link::kMaxSimulatorMessageBytes, &message)) {
    std::optional<std::vector<std::uint8_t>> recv = link::DecodeSimConnectMessage(message);
    if (!recv) break;
    {
      std::lock_guard<std::mutex> guard(connection->lock);
      connection->queue.Push(std::move(*recv));
    }
    SignalEvent(connection->event);
  }
  platform::Shutdown(connection->socket, platform::ShutdownHow::kBoth);
  MarkLost(connection);
}

bool SendCall(ProgramConnection* connection, link::Call* call) {
  std::lock_guard<std::mutex> guard(connection->send_lock);
  {
    std::lock_guard<std::mutex> state(connection->lock);
    if (connection->lost) return false;
  }
  call->send_id = ++connection->last_send_id;
  if (link::SendAll(connection->socket, link::EncodeCall(*call))) return true;
  platform::Shutdown(connection->socket, platform::ShutdownHow::kBoth);
  MarkLost(connection);
  return false;
}

// The handshake: the hello, and velkaro-sim's SIMCONNECT_RECV_ID_OPEN within its time.
bool Handshake(ProgramConnection* connection, const char* name) {
  link::Call hello{
      link::LinkKind::kHello, 0, {link::kLinkVersion}, {std::string(name != nullptr ? name : "")}};
  if (!SendCall(connection, &hello)) return false;
  platform::SetReceiveTimeout(connection->socket, link::kOpenAnswerTimeoutMs);
  std::vector<std::uint8_t> message;
  if (!link::ReceiveMessage(connection->socket, link::kMaxSimulatorMessageBytes, &message)) {
    return false;
  }
  std::optional<std::vector<std::uint8_t>> recv = link::DecodeSimConnectMessage(message);
  if (!recv || DecodeU32(recv->data() + 8) != SIMCONNECT_RECV_ID_OPEN) return false;
  platform::SetReceiveTimeout(connection->socket, 0);
  connection->queue.Push(std::move(*recv));
  return true;
}

}  // namespace

SIMCONNECT_HRESULT Open(SIMCONNECT_HANDLE* handle, const char* name, void* event_handle) {
  *handle = nullptr;
  const std::string address = link::SimAddressFromEnvironment();
  std::string host;
  std::uint16_t port = 0;
  if (!link::ParseAddress(address, &host, &port)) {
    std::fprintf(stderr, "SimConnect: %s=\"%s\" is no HOST:PORT\n", link::kSimAddressVariable,
                 address.c_str());
    return kFailed;
  }
  if (platform::SocketsStartup() != 0) return kFailed;
  auto connection = std::make_shared<ProgramConnection>();
  connection->event = event_handle;
  std::string error;
  connection->socket = platform::ConnectTcp(host, port, &error, link::kConnectTimeoutMs);
  if (connection->socket == platform::kInvalidSocket) {
    platform::SocketsCleanup();
    return kFailed;
  }
  platform::SetNoDelay(connection->socket);
  platform::SetSendTimeout(connection->socket, kSendTimeoutMs);
  if (!Handshake(connection.get(), name) ||
      !connection->receiver.Start(ReceiveMessages, connection.get(), kReceiverStackBytes)) {
    platform::CloseSocket(connection->socket);
    platform::SocketsCleanup();
    return kFailed;
  }
  SignalEvent(event_handle);  // the open message waits
  {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.open[connection.get()] = connection;
  }
  *handle = connection.get();
  return 0;
}

bool Owns(SIMCONNECT_HANDLE handle) {
  return handle != nullptr && Find(handle) != nullptr;
}

SIMCONNECT_HRESULT Close(SIMCONNECT_HANDLE handle) {
  std::shared_ptr<ProgramConnection> connection;
  {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto found = registry.open.find(handle);
    if (found == registry.open.end()) return kFailed;
    connection = found->second;
    registry.open.erase(found);
  }
  {
    std::lock_guard<std::mutex> guard(connection->send_lock);
    connection->closed = true;
  }
  platform::InterruptSocket(connection->socket);
  if (!connection->receiver.JoinFor(kReceiverStopMs)) {
    connection->socket_closed = platform::ForceWake(connection->socket);
    connection->receiver.Join();
  }
  if (!connection->socket_closed) platform::CloseSocket(connection->socket);
  platform::SocketsCleanup();
  return 0;
}

SIMCONNECT_HRESULT Send(SIMCONNECT_HANDLE handle, link::Call call) {
  const std::shared_ptr<ProgramConnection> connection = Find(handle);
  if (connection == nullptr) return kFailed;
  return SendCall(connection.get(), &call) ? 0 : kFailed;
}

SIMCONNECT_HRESULT Dispatch(SIMCONNECT_HANDLE handle, SIMCONNECT_DISPATCH_PROC dispatch,
                            void* context) {
  const std::shared_ptr<ProgramConnection> connection = Find(handle);
  if (connection == nullptr || dispatch == nullptr) return kFailed;
  std::deque<std::vector<std::uint8_t>> messages;
  bool lost;
  {
    std::lock_guard<std::mutex> guard(connection->lock);
    messages = connection->queue.TakeAll();
    lost = connection->lost;
  }
  for (std::vector<std::uint8_t>& message : messages) {
    {
      // The program may close the connection from its dispatch procedure (on the quit message).
      std::lock_guard<std::mutex> guard(connection->send_lock);
      if (connection->closed) break;
    }
    dispatch(reinterpret_cast<SIMCONNECT_RECV*>(message.data()),
             static_cast<SIMCONNECT_DWORD>(message.size()), context);
  }
  return lost ? kFailed : 0;
}

SIMCONNECT_HRESULT LastSendId(SIMCONNECT_HANDLE handle, SIMCONNECT_DWORD* send_id) {
  const std::shared_ptr<ProgramConnection> connection = Find(handle);
  if (connection == nullptr || send_id == nullptr) return kFailed;
  std::lock_guard<std::mutex> guard(connection->send_lock);
  *send_id = connection->last_send_id;
  return 0;
}

}  // namespace velkaro::standin::program
