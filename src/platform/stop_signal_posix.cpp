#include <csignal>

#include "platform/stop_signal.h"

namespace velkaro::platform {

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
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void StopFinished() {}

}  // namespace velkaro::platform
