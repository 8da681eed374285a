// Registration of the user-aircraft record (data definition 0) with the simulator.
#pragma once

namespace velkaro {

// Registers every datum of the catalogue, in table order, on the open connection. Simulator's
// thread, in DLLStart.
void RegisterSimVarCatalogue();

}  // namespace velkaro
