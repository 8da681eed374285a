#include <windows.h>

#include "simconnect/program_client.h"

namespace velkaro::standin::program {

void SignalEvent(void* event_handle) {
  if (event_handle != nullptr) SetEvent(static_cast<HANDLE>(event_handle));
}

}  // namespace velkaro::standin::program
