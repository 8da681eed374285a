// What tests and benchmarks that drive the add-on in process may see and set of its state,
// without the bridge state itself (which only host/ names). Each call is made where the state's
// own rule allows it (see host/bridge_state.h): the simulator's thread for the aircraft, before
// DLLStart for the settings folder.
#pragma once

#include <string>

#include "aircraft/flaps_table.h"
#include "simdata/frame_exchange.h"

namespace velkaro::addon_state {

// DLLStart reads Velkaro.ini from `folder` (ending in a separator); empty for the folder of the
// add-on's module file. A test program linked with the add-on's code names a folder of its own.
void SetSettingsFolder(const std::string& folder);

// Marks the socket server as running (or not) without starting it: records are then converted
// and published with no server thread, and DispatchCallback does not try to start one.
void SetServerRunning(bool running);
bool ServerRunning();

// The frame publication that sessions wait on.
FrameExchange& Frames();

// The aircraft as the simulator's thread keeps it: the path of the loaded aircraft's file,
// whether a change of it still waits to be dealt with, and the flaps table in force.
std::string& AircraftPath();
bool AircraftChanged();
FlapsTable& AircraftFlaps();

}  // namespace velkaro::addon_state
