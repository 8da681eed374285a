#include "simdata/catalogue.h"

#include "simdata/record_layout.h"

namespace velkaro {

void RegisterSimVarCatalogue(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DWORD definition) {
  for (const SimVarDatum& datum : kSimVarCatalogue) {
    SimConnect_AddToDataDefinition(simconnect, definition, datum.name, datum.units, datum.type,
                                   0.0f, SIMCONNECT_UNUSED);
  }
}

}  // namespace velkaro
