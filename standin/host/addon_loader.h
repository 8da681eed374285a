// Loads the add-on library the way the simulator's add-on loader does and finds the stand-in
// simulator's control interface in the SimConnect module the add-on was bound to (or, for a
// simulator without the add-on, loads that module itself). Used by
// velkaro-sim and by the end-to-end tests. Paths are UTF-8 text.
#pragma once

#include <string>

#include "simconnect/standin_api.h"

namespace velkaro::standin {

struct AddOn {
  int (*start)() = nullptr;
  void (*stop)() = nullptr;
  const StandInApi* simulator = nullptr;
  std::string path;

  int Start() const;
  void Stop() const;
};

// The add-on built beside the running program (Velkaro.dll / Velkaro.so).
std::string DefaultAddOnPath();
// The folder the running program lies in, with a trailing separator.
std::string ProgramFolder();
// The sample aircraft copied beside the running program, with the system's separators.
std::string DefaultAircraftPath();

// Loads the add-on at `path`; on failure returns false with a one-line reason. On Windows the
// add-on's manifest must bind it to the SimConnect assembly in its folder: a load that would
// fall back to some other SimConnect.dll is refused.
bool LoadAddOn(const std::string& path, AddOn* out, std::string* error);

// The stand-in SimConnect library built beside the running program (libSimConnect.so; on Windows
// SimConnect.dll in its assembly folder).
std::string DefaultSimulatorPath();
// Loads the stand-in simulator without an add-on (velkaro-sim --no-addon) and takes its control
// interface; on failure returns null with a one-line reason.
const StandInApi* LoadSimulator(const std::string& path, std::string* error);

}  // namespace velkaro::standin
