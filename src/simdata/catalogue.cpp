#include "simdata/catalogue.h"

#include "host/addon.h"
#include "host/bridge_state.h"
#include "simdata/record_layout.h"

namespace velkaro {

void RegisterSimVarCatalogue() {
  for (const SimVarDatum& datum : kSimVarCatalogue) {
    SimConnect_AddToDataDefinition(Bridge.SimConnectHandle, kUserAircraftDefinition, datum.name,
                                   datum.units, datum.type, 0.0f, SIMCONNECT_UNUSED);
  }
}

}  // namespace velkaro
