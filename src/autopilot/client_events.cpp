#include "autopilot/client_events.h"

namespace velkaro {

void MapClientEvents(SIMCONNECT_HANDLE simconnect,
                     const std::function<void(const char* name)>& mapped) {
  for (const ClientEventName& event : kClientEventTable) {
    SimConnect_MapClientEventToSimEvent(simconnect, event.id, event.simulator_event);
    if (mapped) mapped(event.simulator_event);
  }
}

}  // namespace velkaro
