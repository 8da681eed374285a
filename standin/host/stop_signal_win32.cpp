#include <windows.h>

#include "host/stop_signal.h"

namespace velkaro::standin {

namespace {
std::atomic<bool>* g_stop = nullptr;
BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop->store(true);
  return TRUE;
}
}  // namespace

void InstallStopHandler(std::atomic<bool>* stop_requested) {
  g_stop = stop_requested;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace velkaro::standin
