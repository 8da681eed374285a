// Ctrl-C and termination requests for the host's frame loop: they set a flag that the loop
// polls, so the add-on is always stopped through DLLStop.
#pragma once

#include <atomic>

namespace velkaro::standin {

void InstallStopHandler(std::atomic<bool>* stop_requested);

}  // namespace velkaro::standin
