// Arbitrary byte streams from a client, fed to a real client session over a socket pair: no
// input may crash it, hang it, leak or corrupt memory, or make it allocate without bound.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "autopilot/mcp_block.h"
#include "host/bridge_state.h"
#include "net/client_session.h"
#include "simdata/frame_layout.h"

namespace {

void PrepareBridge() {
  using namespace velkaro;
  InitFrame(Bridge.SimDataFrame.data());
  Bridge.Frames.Store(Bridge.SimDataFrame.data());  // sequence 0: frames are sent without waiting
  ResetMcpBlock(Bridge.McpRequest);
  ResetMcpBlock(Bridge.McpPending);
  Bridge.ServerRunning.store(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool prepared = (PrepareBridge(), true);
  (void)prepared;

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  std::mutex guard;
  velkaro::SessionConnection connection;
  connection.socket = static_cast<velkaro::platform::SocketHandle>(pair[0]);
  connection.guard = &guard;
  std::thread session([&] { velkaro::ClientSession(connection); });

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
