// A program's stop requests: Ctrl-C, termination requests, a hang-up and, on Windows, closing the
// console window, logging off or shutting down. They set a flag that the program's loop polls, so
// the program always stops through its own shutdown (velkaro-sim's DLLStop, the bridge's closed
// simulator connection and joined sessions). Windows ends a process soon after its console is
// closed: the handler holds that off until the program says it has stopped (StopFinished), for
// at most 4.5 s. One implementation file per system; for programs, not the add-on.
#pragma once

#include <atomic>

namespace velkaro::platform {

void InstallStopHandler(std::atomic<bool>* stop_requested);
// The program has stopped: a handler waiting for it may return.
void StopFinished();

}  // namespace velkaro::platform
