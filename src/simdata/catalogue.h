// Registration of the user-aircraft record (data definition 0) with the simulator.
#pragma once

#include <functional>

#include "simconnect/simconnect.h"

namespace velkaro {

// Registers every datum of the catalogue, in table order, as data definition `definition` on the
// open connection `simconnect`; `registered`, when given, hears each datum's name after its call.
// Simulator's thread, when the connection opens.
void RegisterSimVarCatalogue(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DWORD definition,
                             const std::function<void(const char* name)>& registered = {});

}  // namespace velkaro
