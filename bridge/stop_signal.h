// Ctrl-C, termination requests and, on Windows, closing the console window or logging off: they
// set a flag the bridge's loop polls, so the bridge always stops through its own shutdown (the
// simulator connection closed, the clients' sessions joined). Windows ends a process soon after
// its console is closed: the handler holds that off until the bridge says it has stopped.
#pragma once

#include <atomic>

namespace velkaro::bridge {

void InstallStopHandler(std::atomic<bool>* stop_requested);
// The bridge has stopped: a handler waiting for it may return.
void StopFinished();

}  // namespace velkaro::bridge
