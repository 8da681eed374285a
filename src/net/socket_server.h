// The socket server: one thread that listens on the protocol's TCP port (protocol::kDefaultPort)
// on all IPv4 interfaces and starts a client serving thread for every accepted connection, at
// most kMaxSessions at once.
// Ended sessions are joined and dropped as the server goes; on stop every session is woken (its
// socket shut down, its frame wait ended) and joined before the server ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/protocol.h"

namespace velkaro {

inline constexpr int kListenBacklog = 6;
inline constexpr std::size_t kMaxSessions = 64;
// Client serving threads need little stack; the host is a 32-bit process.
inline constexpr std::size_t kSessionStackBytes = 256 * 1024;
inline constexpr std::size_t kServerStackBytes = 256 * 1024;
// Pause after a failed accept while running, so a persistent failure cannot spin.
inline constexpr int kAcceptRetryPauseMs = 50;

// While stopping, the listening socket is woken again this often until the server has ended.
inline constexpr int kStopWakeIntervalMs = 50;

// Simulator's thread, on the first record: sets ServerRunning and starts the server thread.
void StartSocketServer();
// Simulator's thread, in DLLStop: clears ServerRunning, wakes the server out of accept, joins
// it (it first joins every client serving thread) and closes the listening socket.
void StopSocketServer();

}  // namespace velkaro
