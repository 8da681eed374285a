#include "simdata/catalogue.h"

#include "simdata/record_layout.h"

namespace velkaro {

void RegisterSimVarCatalogue(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DWORD definition,
                             const std::function<void(const char* name)>& registered) {
  for (const SimVarDatum& datum : kSimVarCatalogue) {
    SimConnect_AddToDataDefinition(simconnect, definition, datum.name, datum.units, datum.type,
                                   0.0f, SIMCONNECT_UNUSED);
    if (registered) registered(datum.name);
  }
}

}  // namespace velkaro
