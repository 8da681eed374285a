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

#include "net/client_session.h"
#include "platform/mutex.h"
#include "support/session_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velkaro::testing::SharedState state;

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
