#include "autopilot/client_events.h"

#include "host/bridge_state.h"

namespace velkaro {

void MapClientEvents() {
  for (const ClientEventName& event : kClientEventTable) {
    SimConnect_MapClientEventToSimEvent(Bridge.SimConnectHandle, event.id, event.simulator_event);
  }
}

}  // namespace velkaro
