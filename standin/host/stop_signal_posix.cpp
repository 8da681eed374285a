#include <csignal>

#include "host/stop_signal.h"

namespace velkaro::standin {

namespace {
std::atomic<bool>* g_stop = nullptr;
extern "C" void OnStopSignal(int) {
  g_stop->store(true);
}
}  // namespace

void InstallStopHandler(std::atomic<bool>* stop_requested) {
  g_stop = stop_requested;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace velkaro::standin
