#include "net/client_session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "common/coding.h"
#include "common/mcp_block.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace velkaro {

namespace {

using namespace protocol;

constexpr std::size_t kFirstUploadChunk = 64 * 1024;

enum class ReceiveStatus { kComplete, kClosed, kFailed };

struct Received {
  std::size_t count;
  ReceiveStatus status;
};

// Receives until `length` bytes have arrived, the peer closes, or a receive fails.
Received ReceiveExact(platform::SocketHandle s, std::uint8_t* buffer, std::size_t length) {
  std::size_t count = 0;
  while (count < length) {
    const int n = platform::Receive(s, buffer + count, static_cast<int>(length - count));
    if (n == 0) return {count, ReceiveStatus::kClosed};
    if (n < 0) return {count, ReceiveStatus::kFailed};
    count += static_cast<std::size_t>(n);
  }
  return {count, ReceiveStatus::kComplete};
}

// Holds a share of the process-wide upload allowance while an upload is being received.
class UploadAllowance {
 public:
  explicit UploadAllowance(std::atomic<std::size_t>& in_flight) : in_flight_(in_flight) {}
  UploadAllowance(const UploadAllowance&) = delete;
  UploadAllowance& operator=(const UploadAllowance&) = delete;
  ~UploadAllowance() { in_flight_.fetch_sub(held_); }

  bool Grow(std::size_t bytes) {
    std::size_t current = in_flight_.load();
    do {
      if (current + bytes > kMaxUploadBytesInFlight) return false;
    } while (!in_flight_.compare_exchange_weak(current, current + bytes));
    held_ += bytes;
    return true;
  }

 private:
  std::atomic<std::size_t>& in_flight_;
  std::size_t held_ = 0;
};

enum class SessionStep { kContinue, kNormalEnd, kErrorEnd };

struct Session {
  platform::SocketHandle socket;
  const SessionShared& shared;
  std::int32_t last_sent_sequence = 0;
  std::array<std::uint8_t, kFrameSize> frame{};

  SessionStep SendFrame() {
    std::int32_t sequence = shared.frames.Sequence();
    if (sequence != 0 && sequence == last_sent_sequence) {
      sequence = shared.frames.WaitForChange(last_sent_sequence,
                                             std::chrono::milliseconds(kFreshFrameWaitMs));
    }
    // The copy carries the sequence it was published under: remembering that one (rather than
    // the value read before the copy) means a frame published in between is not sent twice.
    const std::int32_t copied = shared.frames.ReadLatest(frame.data());
    if (sequence != 0 && copied != 0) last_sent_sequence = copied;
    std::memcpy(frame.data(), kFrameMagic, kFrameMagicBytes);
    SendAll(socket, frame.data(), frame.size());
    return SessionStep::kContinue;
  }

  SessionStep SendFmcData() {
    const UploadStore::Snapshot fmc = shared.fmc.Read();
    std::uint8_t word[kWordBytes];
    EncodeU32(word, static_cast<std::uint32_t>(fmc.data->size()));
    SendAll(socket, word, sizeof word);
    SendAll(socket, fmc.data->data(), fmc.data->size());
    EncodeU32(word, fmc.version);
    SendAll(socket, word, sizeof word);
    return SessionStep::kContinue;
  }

  SessionStep SendFmcVersion() {
    const UploadStore::Snapshot fmc = shared.fmc.Read();
    std::uint8_t head[kFmcHeadBytes];
    if (fmc.data->empty()) {
      std::memset(head, 0xFF, sizeof head);
    } else {
      // Fewer than eight stored bytes are followed by zeros.
      std::memset(head, 0, sizeof head);
      std::memcpy(head, fmc.data->data(), std::min(fmc.data->size(), sizeof head));
    }
    SendAll(socket, head, sizeof head);
    return SessionStep::kContinue;
  }

  SessionStep ReceiveMcpBlock() {
    // Received into a private block first: the exchange stores, checks and merges it in one
    // step under its lock.
    McpBlock block{};
    const Received got = ReceiveExact(socket, block.data(), block.size());
    if (got.status != ReceiveStatus::kComplete) {
      if (got.count > 0) shared.mcp.StorePartial(block.data(), got.count);
      // A block cut short by a close ends the session; a failed or empty one is dropped.
      return got.status == ReceiveStatus::kClosed && got.count > 0 ? SessionStep::kErrorEnd
                                                                   : SessionStep::kContinue;
    }
    std::uint8_t check[kWordBytes];
    if (ReceiveExact(socket, check, sizeof check).status != ReceiveStatus::kComplete) {
      shared.mcp.StorePartial(block.data(), block.size());
      return SessionStep::kErrorEnd;
    }
    shared.mcp.StoreAndMerge(block, DecodeU32(check));
    return SessionStep::kContinue;
  }

  SessionStep ReceiveUpload(UploadStore& store) {
    store.Clear();
    std::uint8_t word[kWordBytes];
    if (ReceiveExact(socket, word, sizeof word).status != ReceiveStatus::kComplete) {
      return SessionStep::kErrorEnd;
    }
    const std::uint32_t length = DecodeU32(word);
    if (length == 0 || length > kMaxUploadBytes) return SessionStep::kErrorEnd;

    // The buffer grows as bytes arrive, so an announced length costs nothing until it is sent;
    // the data is published only once it is complete.
    UploadAllowance allowance(shared.upload_bytes_in_flight);
    UploadStore::Bytes data;
    std::size_t received = 0;
    try {
      while (received < length) {
        if (received == data.size()) {
          const std::size_t grown =
              std::min<std::size_t>(length, std::max(kFirstUploadChunk, 2 * data.size()));
          if (!allowance.Grow(grown - data.size())) return SessionStep::kErrorEnd;
          data.resize(grown);
        }
        const int n = platform::Receive(socket, data.data() + received,
                                        static_cast<int>(data.size() - received));
        if (n <= 0) return SessionStep::kErrorEnd;
        received += static_cast<std::size_t>(n);
      }
    } catch (const std::bad_alloc&) {
      return SessionStep::kErrorEnd;
    }
    store.PublishData(std::move(data));

    if (ReceiveExact(socket, word, sizeof word).status != ReceiveStatus::kComplete) {
      return SessionStep::kErrorEnd;
    }
    store.PublishVersion(DecodeU32(word));
    return SessionStep::kContinue;
  }

  SessionStep Serve(std::string_view tag) {
    if (tag == kTagFrame) return SendFrame();
    if (tag == kTagFmcRead) return SendFmcData();
    if (tag == kTagFmcVersion) return SendFmcVersion();
    if (tag == kTagMcpStore) return ReceiveMcpBlock();
    if (tag == kTagFmcStore) return ReceiveUpload(shared.fmc);
    if (tag == kTagFlightPlanStore) return ReceiveUpload(shared.flight_plan);
    return SessionStep::kContinue;  // unknown tags are ignored
  }
};

void LogReceiveError(DiagnosticLog& log) {
  if (!log.Enabled) return;
  const int code = platform::LastSystemError();
  const std::string text = platform::SystemErrorText(code);
  log.Write("Zelm Socket: WSA Error code %d: %s", code, text.c_str());
}

}  // namespace

void SessionConnection::Close() {
  platform::MutexLock lock(*guard);
  platform::Shutdown(socket, platform::ShutdownHow::kReceive);
  platform::CloseSocket(socket);
  closed = true;
}

void SessionConnection::Interrupt() {
  platform::MutexLock lock(*guard);
  if (!closed) platform::InterruptSocket(socket);
}

int SendAll(platform::SocketHandle socket, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t sent = 0;
  while (sent < length) {
    const std::size_t chunk = std::min<std::size_t>(length - sent, 0x7FFFFFFF);
    const int n = platform::Send(socket, bytes + sent, static_cast<int>(chunk));
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (!platform::IsSendRetryError(platform::LastSocketError())) return -1;
    platform::SleepMilliseconds(kSendRetryPauseMs);
  }
  return 0;
}

void ClientSession(SessionConnection& connection, const SessionShared& shared) {
  // Woken by a publication, a session must not take the processor from the simulator's thread.
  platform::YieldToOtherThreadsOnWake();
  if (platform::GetPeerName(connection.socket) < 0) {
    connection.Close();
    return;
  }
  platform::SetNoDelay(connection.socket);  // replies go out at once, even in several pieces

  Session session{connection.socket, shared};
  SessionStep step = SessionStep::kContinue;
  while (step == SessionStep::kContinue) {
    char tag[kTagSize];
    const Received got =
        ReceiveExact(connection.socket, reinterpret_cast<std::uint8_t*>(tag), sizeof tag);
    if (got.count == 0 || got.status == ReceiveStatus::kFailed) break;
    if (!shared.running.load()) break;
    if (got.status != ReceiveStatus::kComplete) continue;  // the next read meets the close
    step = session.Serve(std::string_view(tag, sizeof tag));
  }
  if (step == SessionStep::kErrorEnd) LogReceiveError(shared.log);
  connection.Close();
  shared.log.Write("Zelm Socket: ended client serving thread");
}

}  // namespace velkaro
