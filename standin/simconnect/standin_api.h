// The stand-in simulator's control interface: what the host program velkaro-sim and the tests
// use to drive the simulator that lives inside the stand-in SimConnect library (frames, aircraft
// changes, pinned variables, injected messages, fault switches) and to inspect the SimConnect
// calls the add-on made (the newest kStandInRecordedCalls of them, so that a simulator running
// for hours does not grow).
//
// The host finds it in the SimConnect module that the add-on itself loaded (one exported
// function, StandIn_GetApi), so host and add-on always talk to the same simulator. All calls are
// made on the host's simulator thread.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define STANDIN_CALL __cdecl
#else
#define STANDIN_CALL
#endif

extern "C" {

// One SimConnect call as the add-on made it.
struct StandInCall {
  char function[48];      // e.g. "SimConnect_AddToDataDefinition"
  std::uint32_t args[6];  // the numeric arguments in order, after the handle
  int arg_count;
  char text[264];     // first text argument ("" when none)
  char text2[64];     // second text argument (units)
  int text_is_null;   // the first text argument was a null pointer
  int text2_is_null;  // the second text argument was a null pointer
  float real;         // the epsilon of AddToDataDefinition
};

struct StandInApi {
  std::uint32_t version;
  // Back to a new simulator: no connection, no recorded calls, the start-up aircraft, no pins.
  void(STANDIN_CALL* Reset)(void);
  // Makes every following SimConnect_Open fail (non-zero) or succeed (zero).
  void(STANDIN_CALL* SetOpenFails)(int fail);
  int(STANDIN_CALL* IsOpen)(void);

  // The recorded calls, oldest first (index 0); at most kStandInRecordedCalls, the newest.
  int(STANDIN_CALL* CallCount)(void);
  int(STANDIN_CALL* GetCall)(int index, StandInCall* out);
  void(STANDIN_CALL* ClearCalls)(void);

  // The simulation starts: raises "SimStart".
  void(STANDIN_CALL* RaiseSimStart)(void);
  // Loads an aircraft: it becomes the "AircraftLoaded" state, and the event is raised.
  void(STANDIN_CALL* LoadAircraft)(const char* path);
  // Sets the aircraft path reported by the state without raising the event (start-up).
  void(STANDIN_CALL* SetAircraftPath)(const char* path);
  void(STANDIN_CALL* SetTitle)(const char* title);

  // One simulator frame of `seconds`: the aircraft moves, "Frame" is raised and every queued
  // message is dispatched to the add-on (its data requests are answered within the frame).
  void(STANDIN_CALL* Step)(double seconds);
  // Dispatches the queued messages.
  void(STANDIN_CALL* Pump)(void);
  // Queues a message as it stands (tests craft records and events with it).
  void(STANDIN_CALL* Deliver)(const void* message, std::uint32_t size);

  // Pins a simulation variable to a value in the units the add-on registered for it (the
  // model's own units until it has registered). Returns 0 when the stand-in knows no such
  // variable.
  int(STANDIN_CALL* SetVariable)(const char* name, double value);
  // Builds the record of data definition `define_id` as the next frame would deliver it.
  std::uint32_t(STANDIN_CALL* BuildRecord)(std::uint32_t define_id, void* out,
                                           std::uint32_t capacity);
};

#define STANDIN_API_VERSION 1u

#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
    const StandInApi* STANDIN_CALL StandIn_GetApi(void);

}  // extern "C"

// Calls kept for CallCount/GetCall: a start of the add-on (about 200 calls) and a few thousand
// frames after it. Older calls make way for newer ones.
inline constexpr int kStandInRecordedCalls = 4096;
