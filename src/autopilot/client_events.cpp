#include "autopilot/client_events.h"

namespace velkaro {

void MapClientEvents(SIMCONNECT_HANDLE simconnect) {
  for (const ClientEventName& event : kClientEventTable) {
    SimConnect_MapClientEventToSimEvent(simconnect, event.id, event.simulator_event);
  }
}

}  // namespace velkaro
