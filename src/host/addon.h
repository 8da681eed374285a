// The add-on's outer shell: the two entry points that the simulator's add-on loader calls and
// the SimConnect dispatch procedure through which every message reaches the add-on. All three run
// on the simulator's thread, one call at a time.
#pragma once

#include <cstdint>

#include "simconnect/simconnect.h"

#if defined(_WIN32)
#define VELKARO_EXPORT extern "C" __declspec(dllexport)
#else
#define VELKARO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Connects to the simulator and prepares the bridge. Always returns 0.
VELKARO_EXPORT int SIMCONNECT_CALL DLLStart(void);
// Closes the connection, stops the network service and joins every thread it started.
VELKARO_EXPORT void SIMCONNECT_CALL DLLStop(void);

namespace velkaro {

// Identifiers the add-on registers with SimConnect.
inline constexpr SIMCONNECT_DWORD kUserAircraftDefinition = 0;
inline constexpr SIMCONNECT_DWORD kUserAircraftRequest = 1;
inline constexpr SIMCONNECT_DWORD kAircraftLoadedRequest = 2;
inline constexpr SIMCONNECT_DWORD kFrameEvent = 0;
inline constexpr SIMCONNECT_DWORD kAircraftLoadedEvent = 1;
inline constexpr SIMCONNECT_DWORD kSimStartEvent = 2;

class FrameExchange;
class McpExchange;

// The state DLLStart leaves before it connects to the simulator: the start-up frame written into
// `frame` (the conversion's working frame) and stored in `frames` (the sequence unchanged), both
// autopilot blocks of `mcp` at their start values. Tests and fuzzers that run sessions on state
// of their own prepare it with this; no session may run meanwhile.
void PrepareForStart(std::uint8_t* frame, FrameExchange& frames, McpExchange& mcp);
// The same for the add-on's own state: DLLStart runs it; tests and benchmarks that drive
// DispatchCallback directly run it in DLLStart's place. Simulator's thread.
void PrepareForStart();

void SIMCONNECT_CALL DispatchCallback(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                      void* context);

}  // namespace velkaro
