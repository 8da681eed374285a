#include <windows.h>

#include "platform/stop_signal.h"

namespace velkaro::platform {

namespace {

std::atomic<bool>* g_stop = nullptr;
std::atomic<bool> g_finished{false};
// Windows ends the process about 5 s after a close, logoff or shutdown event whatever the handler
// does; the programs stop well within that.
constexpr DWORD kLongestHold = 4500;

BOOL WINAPI OnConsoleEvent(DWORD type) {
  g_stop->store(true);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Returning ends the process at once: wait for the program to finish first.
    for (DWORD waited = 0; !g_finished.load() && waited < kLongestHold; waited += 50) Sleep(50);
  }
  return TRUE;
}

}  // namespace

void InstallStopHandler(std::atomic<bool>* stop_requested) {
  g_stop = stop_requested;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StopFinished() {
  g_finished.store(true);
}

}  // namespace velkaro::platform
