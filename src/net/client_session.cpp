#include "net/client_session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
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

// kStalled: a bound ran out (the peer sent too little in time).
enum class ReceiveStatus { kComplete, kClosed, kFailed, kStalled };

struct Received {
  std::size_t count;
  ReceiveStatus status;
};

ReceiveStatus FailedReceive() {
  return platform::IsTimeoutError(platform::LastSocketError()) ? ReceiveStatus::kStalled
                                                               : ReceiveStatus::kFailed;
}

// kEnd: the session ends without the socket error line (the reason, if any, is logged already).
enum class SessionStep { kContinue, kEnd, kErrorEnd };

struct Session {
  SessionConnection& connection;
  const SessionShared& shared;
  platform::SocketHandle socket = connection.socket;
  std::int32_t last_sent_sequence = 0;
  std::array<std::uint8_t, kFrameSize> frame{};
  int receive_timeout_ms = 0;  // as set on the socket; 0 waits without limit
  // Since when the session has served nothing (its connection's idle_since), or kBusy when it
  // has just served a command and is to be idle from the next wait on.
  std::int64_t idle_mark = SessionConnection::kBusy;

  void SetReceiveTimeout(int milliseconds) {
    if (milliseconds == receive_timeout_ms) return;
    platform::SetReceiveTimeout(socket, milliseconds);
    receive_timeout_ms = milliseconds;
  }

  // Receives until `length` bytes have arrived, the peer closes, a receive fails, or the time
  // `deadline_for` gives for the bytes received so far has passed; a pause of the command stall
  // limit is a stall as well. Whole commands and tags that arrive in one piece cost no timeout
  // changes beyond the first.
  template <typename DeadlineFor>
  Received ReceiveUntil(std::uint8_t* buffer, std::size_t length, DeadlineFor deadline_for) {
    std::size_t count = 0;
    while (count < length) {
      const std::int64_t left = deadline_for(count) - platform::SteadyMilliseconds();
      if (left <= 0) return {count, ReceiveStatus::kStalled};
      SetReceiveTimeout(static_cast<int>(std::min<std::int64_t>(left, shared.limits.command_stall_ms)));
      const int n = platform::Receive(socket, buffer + count, static_cast<int>(length - count));
      if (n == 0) return {count, ReceiveStatus::kClosed};
      if (n < 0) return {count, FailedReceive()};
      count += static_cast<std::size_t>(n);
    }
    return {count, ReceiveStatus::kComplete};
  }

  // A payload of a few bytes (an autopilot block, a length or version word): all of it within
  // the command stall limit.
  Received ReceivePayload(std::uint8_t* buffer, std::size_t length) {
    const std::int64_t deadline = platform::SteadyMilliseconds() + shared.limits.command_stall_ms;
    return ReceiveUntil(buffer, length, [deadline](std::size_t) { return deadline; });
  }

  SessionStep Send(const void* data, std::size_t length) {
    return SendAll(socket, data, length, shared.limits.send_stall_ms) == 0 ? SessionStep::kContinue
                                                                           : SessionStep::kErrorEnd;
  }

  // Reads the next command tag. The session is idle until its first byte arrives and waits for
  // it without limit (the server may evict it meanwhile); the whole tag must follow within the
  // command stall limit. An evicted session reads as closed: nothing more is served.
  Received ReadTag(std::uint8_t* tag) {
    SetReceiveTimeout(0);
    if (idle_mark == SessionConnection::kBusy) {
      idle_mark = platform::SteadyMilliseconds();
      connection.idle_since.store(idle_mark);
    }
    const int n = platform::Receive(socket, tag, static_cast<int>(kTagSize));
    if (connection.idle_since.load() == SessionConnection::kEvicted) {
      return {0, ReceiveStatus::kClosed};
    }
    if (n == 0) return {0, ReceiveStatus::kClosed};
    if (n < 0) return {0, ReceiveStatus::kFailed};
    const auto first = static_cast<std::size_t>(n);
    if (first == kTagSize) return {first, ReceiveStatus::kComplete};
    const Received rest = ReceivePayload(tag + first, kTagSize - first);
    if (connection.idle_since.load() == SessionConnection::kEvicted) {
      return {0, ReceiveStatus::kClosed};
    }
    return {first + rest.count, rest.status};
  }

  // Takes the session out of idle for a command it serves; false when the server has evicted it
  // meanwhile (nothing more is served then).
  bool BeginCommand() {
    std::int64_t expected = idle_mark;
    idle_mark = SessionConnection::kBusy;
    return connection.idle_since.compare_exchange_strong(expected, SessionConnection::kBusy);
  }

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
    return Send(frame.data(), frame.size());
  }

  SessionStep SendFmcData() {
    // The snapshot keeps its data alive (and charged to the allowance) only while this reply is
    // being sent, which the send bound limits.
    const UploadStore::Snapshot fmc = shared.fmc.Read();
    std::uint8_t word[kWordBytes];
    EncodeU32(word, static_cast<std::uint32_t>(fmc.data->size()));
    SessionStep step = Send(word, sizeof word);
    if (step == SessionStep::kContinue) step = Send(fmc.data->data(), fmc.data->size());
    EncodeU32(word, fmc.version);
    if (step == SessionStep::kContinue) step = Send(word, sizeof word);
    return step;
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
    return Send(head, sizeof head);
  }

  // The reply is built here, on the session's thread, from a copy of the status taken under the
  // board's short lock.
  SessionStep SendStatus() {
    std::string json;
    try {
      json = StatusJson(shared.status, platform::SteadyMilliseconds());
    } catch (const std::bad_alloc&) {
      return SessionStep::kErrorEnd;
    }
    std::uint8_t word[kWordBytes];
    EncodeU32(word, static_cast<std::uint32_t>(json.size()));
    SessionStep step = Send(word, sizeof word);
    if (step == SessionStep::kContinue) step = Send(json.data(), json.size());
    return step;
  }

  SessionStep ReceiveMcpBlock() {
    // Received into a private block first: the exchange stores, checks and merges it in one
    // step under its lock.
    McpBlock block{};
    const Received got = ReceivePayload(block.data(), block.size());
    if (got.status != ReceiveStatus::kComplete) {
      if (got.count > 0) shared.mcp.StorePartial(block.data(), got.count);
      // A block cut short by a close or a stall ends the session; a failed or empty one is
      // dropped.
      const bool ends = got.status == ReceiveStatus::kStalled ||
                        (got.status == ReceiveStatus::kClosed && got.count > 0);
      return ends ? SessionStep::kErrorEnd : SessionStep::kContinue;
    }
    std::uint8_t check[kWordBytes];
    if (ReceivePayload(check, sizeof check).status != ReceiveStatus::kComplete) {
      shared.mcp.StorePartial(block.data(), block.size());
      return SessionStep::kErrorEnd;
    }
    shared.mcp.StoreAndMerge(block, DecodeU32(check));
    return SessionStep::kContinue;
  }

  SessionStep ReceiveUpload(UploadStore& store) {
    try {
      return ReceiveUploadInto(store);
    } catch (const std::bad_alloc&) {
      return SessionStep::kErrorEnd;
    }
  }

  SessionStep ReceiveUploadInto(UploadStore& store) {
    store.Clear();
    std::uint8_t word[kWordBytes];
    if (ReceivePayload(word, sizeof word).status != ReceiveStatus::kComplete) {
      return SessionStep::kErrorEnd;
    }
    const std::uint32_t length = DecodeU32(word);
    if (length == 0 || length > kMaxUploadBytes) return SessionStep::kErrorEnd;

    // The buffer grows as bytes arrive, so an announced length costs nothing until it is sent;
    // every growth is charged to the allowance first. The data is published only once it is
    // complete.
    UploadBuffer data(shared.uploads, length <= kSmallUploadBytes);
    std::size_t received = 0;
    // The data's deadline moves with what arrives: each byte buys 1/upload_min_bytes_per_s of
    // time, beyond the first upload_rate_grace_ms, and no more than command_stall_ms can be
    // bought ahead. So the data keeps the least rate, and a client that sent much at first and
    // then a byte now and then is ended within command_stall_ms, not after the time it saved.
    const std::int64_t started = platform::SteadyMilliseconds();
    const double ms_per_byte = 1000.0 / std::max<double>(shared.limits.upload_min_bytes_per_s, 1);
    double deadline = static_cast<double>(started + shared.limits.upload_rate_grace_ms);
    std::size_t counted = 0;
    const auto deadline_for = [&](std::size_t count) {
      if (received + count > counted) {
        const std::int64_t now = platform::SteadyMilliseconds();
        deadline = std::min(deadline + static_cast<double>(received + count - counted) * ms_per_byte,
                            static_cast<double>(now + shared.limits.command_stall_ms));
        counted = received + count;
      }
      return static_cast<std::int64_t>(deadline);
    };
    while (received < length) {
      if (received == data.size()) {
        const std::size_t grown =
            std::min<std::size_t>(length, std::max(kFirstUploadChunk, 2 * data.size()));
        if (!data.Grow(grown)) {
          shared.log.Write("Zelm Socket: no room for the upload, connection from %s closed",
                           AddressText(connection.peer).text);
          return SessionStep::kEnd;
        }
      }
      const Received got = ReceiveUntil(data.data() + received, data.size() - received, deadline_for);
      received += got.count;
      if (got.status == ReceiveStatus::kComplete) continue;
      if (got.status == ReceiveStatus::kStalled) {
        shared.log.Write("Zelm Socket: upload from %s too slow (%lu of %lu bytes in %lld ms), "
                         "connection closed",
                         AddressText(connection.peer).text, static_cast<unsigned long>(received),
                         static_cast<unsigned long>(length),
                         static_cast<long long>(platform::SteadyMilliseconds() - started));
        return SessionStep::kEnd;
      }
      return SessionStep::kErrorEnd;
    }
    const UploadStore::Publication publication = store.PublishData(std::move(data));

    if (ReceivePayload(word, sizeof word).status != ReceiveStatus::kComplete) {
      return SessionStep::kErrorEnd;
    }
    store.PublishVersion(publication, DecodeU32(word));
    return SessionStep::kContinue;
  }

  bool Known(std::string_view tag) const {
    return tag == kTagFrame || tag == kTagFmcRead || tag == kTagFmcVersion ||
           tag == kTagMcpStore || tag == kTagFmcStore || tag == kTagFlightPlanStore ||
           tag == kTagStatus;
  }

  SessionStep Serve(std::string_view tag) {
    if (tag == kTagFrame) return SendFrame();
    if (tag == kTagFmcRead) return SendFmcData();
    if (tag == kTagFmcVersion) return SendFmcVersion();
    if (tag == kTagMcpStore) return ReceiveMcpBlock();
    if (tag == kTagFmcStore) return ReceiveUpload(shared.fmc);
    if (tag == kTagFlightPlanStore) return ReceiveUpload(shared.flight_plan);
    if (tag == kTagStatus) return SendStatus();
    return SessionStep::kContinue;  // unknown tags are ignored
  }
};

void LogSocketError(DiagnosticLog& log, std::uint32_t peer) {
  if (!log.Enabled) return;
  const int code = platform::LastSystemError();
  const std::string text = platform::SystemErrorText(code);
  log.Write("Zelm Socket: WSA Error code %d: %s (client %s)", code, text.c_str(),
            AddressText(peer).text);
}

}  // namespace

AddressText::AddressText(std::uint32_t address) {
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(address >> 24),
                static_cast<unsigned>((address >> 16) & 0xFF),
                static_cast<unsigned>((address >> 8) & 0xFF),
                static_cast<unsigned>(address & 0xFF));
}

void SessionConnection::Close() {
  platform::MutexLock lock(*guard);
  if (closed) return;
  platform::Shutdown(socket, platform::ShutdownHow::kReceive);
  platform::CloseSocket(socket);
  closed = true;
}

bool SessionConnection::ClientHasClosed() {
  platform::MutexLock lock(*guard);
  return closed || platform::PeerHasClosed(socket);
}

void SessionConnection::Interrupt() {
  platform::MutexLock lock(*guard);
  if (!closed) wake(socket);
}

void SessionConnection::ForceWake() {
  platform::MutexLock lock(*guard);
  if (!closed && platform::ForceWake(socket)) closed = true;
}

bool SessionConnection::Evict(std::int64_t since) {
  if (since == kBusy || since == kEvicted) return false;
  if (!idle_since.compare_exchange_strong(since, kEvicted)) return false;
  Interrupt();
  return true;
}

int SendAll(platform::SocketHandle socket, const void* data, std::size_t length,
            int stall_limit_ms) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t sent = 0;
  // Progress is a whole piece (or the whole rest) taken since the last mark: a peer whose
  // system takes a few bytes now and then, without reading, does not keep the send alive.
  std::size_t sent_at_mark = 0;
  std::int64_t progress_at = platform::SteadyMilliseconds();
  while (sent < length) {
    const std::size_t piece = std::min(length - sent, kSendPieceBytes);
    const int n = platform::SendSome(socket, bytes + sent, static_cast<int>(piece));
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      if (sent - sent_at_mark >= std::min(kSendPieceBytes, length - sent_at_mark)) {
        sent_at_mark = sent;
        progress_at = platform::SteadyMilliseconds();
      }
      continue;
    }
    const int code = platform::LastSocketError();
    const bool full = platform::IsWouldBlockError(code);
    if (!full && !platform::IsSendRetryError(code)) return -1;
    const std::int64_t waited = platform::SteadyMilliseconds() - progress_at;
    if (waited >= stall_limit_ms) return -1;
    const int slice = static_cast<int>(std::min<std::int64_t>(kSendWaitSliceMs, stall_limit_ms - waited));
    if (!full) {
      platform::SleepMilliseconds(std::min(kSendRetryPauseMs, slice));
    } else if (platform::WaitSocket(socket, /*for_sending=*/true, slice) < 0) {
      return -1;
    }
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
  platform::SetSendBufferBytes(connection.socket, kSessionSendBufferBytes);

  Session session{connection, shared};
  SessionStep step = SessionStep::kContinue;
  while (step == SessionStep::kContinue) {
    std::uint8_t tag[kTagSize];
    const Received got = session.ReadTag(tag);
    if (got.status == ReceiveStatus::kStalled) {
      step = SessionStep::kErrorEnd;
      break;
    }
    if (got.count == 0 || got.status == ReceiveStatus::kFailed) break;
    if (!shared.running.load()) break;
    if (got.status != ReceiveStatus::kComplete) continue;  // the next read meets the close
    const std::string_view command(reinterpret_cast<const char*>(tag), sizeof tag);
    if (!session.Known(command)) continue;  // ignored, and the session stays idle
    if (!session.BeginCommand()) break;     // evicted while the tag arrived
    step = session.Serve(command);
  }
  // The place is given up as soon as the session ends, before its thread has been joined.
  connection.idle_since.store(SessionConnection::kEvicted);
  if (step == SessionStep::kErrorEnd) LogSocketError(shared.log, connection.peer);
  connection.Close();
  shared.log.Write("Zelm Socket: ended client serving thread for %s",
                   AddressText(connection.peer).text);
}

}  // namespace velkaro
