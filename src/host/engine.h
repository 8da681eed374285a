// The engine both hosts run: the add-on inside the simulator (host/addon.cpp, through DLLStart,
// DLLStop and DispatchCallback) and velkaro-bridge, a SimConnect client program (bridge/). It
// reads the settings, serves the clients, registers the aircraft's variables and events with a
// simulator connection, and turns every message of that connection into frames and autopilot
// events.
//
// Every function here runs on the host's simulator thread (the simulator's own for the add-on,
// the bridge's dispatch thread for the bridge), one call at a time, except where it says.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "simconnect/simconnect.h"

namespace velkaro::engine {

// Where the settings come from: Velkaro.ini in the folder of the engine's own module file (the
// add-on's DLL, the bridge's program; a test names another with addon_state::SetSettingsFolder),
// or the file `file` when it is not empty (its folder then takes a relative log path). `port`,
// when given, replaces the file's port.
struct SettingsSource {
  std::string file;
  std::optional<int> port;
};

// Puts the settings in force, switches the log on or off by them, writes the log's first lines
// (version, settings, file, each warning) and starts the status afresh. Never fails: a file that
// cannot be read leaves the defaults (served to this computer only) and a warning. Before any
// other thread of the engine exists.
void ApplySettings(const SettingsSource& source);

// The boundaries of the engine's calls log one failure each; a new start logs afresh.
void RearmBoundaries();

// Starts the socket server with the settings in force. False, with the reason in the log and
// in `error`, when it cannot listen.
bool StartServer(std::string* error);
// Waits at most `milliseconds` for the server to listen: false, with the reason in `error` (the
// server's own words: "Zelm Socket: bind failed on 0.0.0.0:5193: ..."), when it cannot.
bool WaitUntilListening(int milliseconds, std::string* error);
// Stops the server and joins its threads, when one runs.
void StopServer();

// Called after each registration call with what it registered: a simulation variable's name
// (`is_event` false) or a client event's simulator name (true). The bridge matches the
// simulator's refusals to names through it.
using Registered = std::function<void(const char* name, bool is_event)>;

// Makes `simconnect` the engine's simulator connection (null: none) and, when not null,
// registers the aircraft's record and the system events, dispatches what the simulator answered
// so far to `dispatch` (which hands each message to Dispatch), and maps the client events.
void Connect(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DISPATCH_PROC dispatch, void* context,
             const Registered& registered = {});

// One message of the simulator connection, within the dispatch boundary.
void Dispatch(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size);

}  // namespace velkaro::engine
