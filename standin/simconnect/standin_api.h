// The stand-in simulator's control interface: what the host program velkaro-sim and the tests
// use to drive the simulator that lives inside the stand-in SimConnect library (frames, aircraft
// changes, pinned variables, injected messages, fault switches) and to inspect what the add-on
// did with SimConnect: the variables it registered, and the calls it made (the newest
// kStandInRecordedCalls of them, so that a simulator running for hours does not grow).
//
// The host finds it in the SimConnect module that the add-on itself loaded (one exported
// function, StandIn_GetApi), so host and add-on always talk to the same simulator; velkaro-sim
// without the add-on loads the module itself. Taking the interface makes the process the
// simulator: SimConnect_Open then opens the in-process connection, where in any other process it
// connects to velkaro-sim. All calls are made on the host's simulator thread.
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

// One variable as the add-on registered it with SimConnect_AddToDataDefinition.
struct StandInDatum {
  std::uint32_t define_id;
  char name[256];
  char units[64];             // "" when registered without units (a null pointer)
  std::uint32_t type;         // the SIMCONNECT_DATATYPE value
  std::uint32_t width;        // bytes it takes in the record
  std::uint32_t text_length;  // a text: the most characters it delivers; 0 for a number
  int modelled;               // the stand-in has a value for it (otherwise it delivers zero)
  int pinned;                 // a value or a text is pinned to it
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
  // Loads an aircraft: it becomes the "AircraftLoaded" state, and the event is raised. The path
  // is UTF-8; the messages carry it in the system's code page, as the simulator's do (on Windows
  // a character the code page lacks becomes "?").
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

  // The variables registered on the open connection, every definition's in registration order
  // (definitions by ascending id). GetDatum returns 0 for an index out of range.
  int(STANDIN_CALL* DatumCount)(void);
  int(STANDIN_CALL* GetDatum)(int index, StandInDatum* out);
  // Converts `value` of the variable `name` from the unit `from` into the unit `to` (both of
  // its dimension, e.g. "Degrees" into "Radians"). Returns 0, leaving `out` alone, when the
  // stand-in knows no such variable or either unit does not fit it.
  int(STANDIN_CALL* ConvertValue)(const char* name, double value, const char* from, const char* to,
                                  double* out);
  // Pins a text variable ("NAV IDENT:1", "Title") to `text`; it is delivered as the registered
  // datum holds it (a text type keeps its last byte for the NUL, a number type delivers up to its
  // width in characters). A text pin replaces a value pin of the same name. Returns 0 when the
  // stand-in has no text variable of that name.
  int(STANDIN_CALL* SetText)(const char* name, const char* text);
  // Removes the value or text pinned to `name`: the model delivers it again, going on from the
  // pinned value where the pin was its state. Returns 0 when nothing was pinned to it.
  int(STANDIN_CALL* Unpin)(const char* name);

  // From now on the simulator lacks the simulation variable or event `name` (any case): a
  // connection's SimConnect_AddToDataDefinition or SimConnect_MapClientEventToSimEvent of it is
  // refused with a SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED exception (dwSendID the call's, dwIndex
  // 2: the name), and the definition goes on without the datum, its record holding the others.
  // Reset forgets the refusals.
  void(STANDIN_CALL* Refuse)(const char* name);

  // Serves SimConnect programs of other processes at "HOST:PORT" (HOST a dotted IPv4 address or
  // "localhost"), each on a connection of its own, from threads of the library's own. Returns the
  // port listened on, or 0 with the reason in `error` (NUL-terminated, cut to `error_capacity`).
  int(STANDIN_CALL* ServePrograms)(const char* address, char* error, std::uint32_t error_capacity);
  // Sends every connected program SIMCONNECT_RECV_ID_QUIT, then closes the connections and stops
  // listening. Bounded in time however the programs behave.
  void(STANDIN_CALL* StopPrograms)(void);
  // The programs connected now.
  int(STANDIN_CALL* ProgramCount)(void);
};

#define STANDIN_API_VERSION 3u

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
