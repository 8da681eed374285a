// Arbitrary byte streams from a client, fed to a real client session over a socket pair: no
// input may crash it, hang it, leak or corrupt memory, or make it allocate without bound. Every
// input starts from a fresh shared state (frames, stores, autopilot blocks), so a finding
// replays from that one input.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "autopilot/mcp_exchange.h"
#include "common/frame_layout.h"
#include "log/log.h"
#include "net/client_session.h"
#include "net/upload_store.h"
#include "platform/mutex.h"
#include "simdata/frame_exchange.h"

namespace {

// What the add-on's sessions share, as DLLStart leaves it: the start-up frame in place, not yet
// published (so frames are sent without waiting), both autopilot blocks at their start values.
struct FreshState {
  FreshState() {
    std::uint8_t frame[velkaro::kFrameSize];
    velkaro::InitFrame(frame);
    frames.Store(frame);
    mcp.Reset();
  }
  velkaro::FrameExchange frames;
  velkaro::UploadAllowance uploads;  // before the stores, whose data gives its charge back
  velkaro::UploadStore fmc;
  velkaro::UploadStore flight_plan;
  velkaro::McpExchange mcp;
  std::atomic<bool> running{true};
  velkaro::DiagnosticLog log;  // off
  velkaro::StatusBoard status;
  const velkaro::SessionShared shared{frames, fmc, flight_plan, mcp, uploads, running, log, status};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FreshState state;

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  velkaro::platform::Mutex guard;
  velkaro::SessionConnection connection;
  connection.socket = static_cast<velkaro::platform::SocketHandle>(pair[0]);
  connection.guard = &guard;
  std::thread session([&] { velkaro::ClientSession(connection, state.shared); });

  // The client: writes its bytes while draining the replies, then closes its sending side and
  // reads until the session has closed the connection.
  std::thread reader([&] {
    std::uint8_t sink[65536];
    while (read(pair[1], sink, sizeof sink) > 0) {
    }
  });
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(pair[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  shutdown(pair[1], SHUT_WR);
  session.join();
  reader.join();
  close(pair[1]);
  return 0;
}
