// Registration of the user-aircraft record (data definition 0) with the simulator.
#pragma once

#include "simconnect/simconnect.h"

namespace velkaro {

// Registers every datum of the catalogue, in table order, as data definition `definition` on the
// open connection `simconnect`. Simulator's thread, in DLLStart.
void RegisterSimVarCatalogue(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DWORD definition);

}  // namespace velkaro
