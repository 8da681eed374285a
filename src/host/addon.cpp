#include "host/addon.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "aircraft/flaps_reader.h"
#include "autopilot/client_events.h"
#include "autopilot/mcp_apply.h"
#include "host/boundary.h"
#include "host/bridge_state.h"
#include "log/log.h"
#include "net/socket_server.h"
#include "simdata/catalogue.h"
#include "simdata/frame_conversion.h"
#include "simdata/record_layout.h"

using namespace velkaro;

namespace {

constexpr std::size_t kTitleBytes = 256;

// Where the variable parts of the messages start (offsetof on the SDK's derived structs is
// conditionally supported: see host/simconnect.h). The record starts at dwData, the last member
// of the data message's header.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
constexpr std::size_t kRecordHeaderBytes = offsetof(SIMCONNECT_RECV_SIMOBJECT_DATA, dwData);
constexpr std::size_t kFileNameAt = offsetof(SIMCONNECT_RECV_EVENT_FILENAME, szFileName);
constexpr std::size_t kStateTextAt = offsetof(SIMCONNECT_RECV_SYSTEM_STATE, szString);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The boundaries of the simulator's thread, and of the flaps reader inside the dispatch: an
// exception there leaves the previous flaps table and lets the record be converted.
Boundary start_boundary("DLLStart");
Boundary stop_boundary("DLLStop");
Boundary dispatch_boundary("DispatchCallback");
Boundary flaps_boundary("Flaps reader");
LogOnce short_record_logged;

void RequestUserAircraft() {
  SimConnect_RequestDataOnSimObjectType(Bridge.SimConnectHandle, kUserAircraftRequest,
                                        kUserAircraftDefinition, 0, SIMCONNECT_SIMOBJECT_TYPE_USER);
}

// The message's own length: the smaller of the size the simulator passed and the size the
// message states, so that nothing past either is read.
std::size_t MessageLength(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size) {
  return std::min<std::size_t>(size, message->dwSize);
}

// `text` is a file name field of `capacity` bytes, of which the message holds `available`.
void SetAircraftPath(const char* text, std::size_t capacity, std::size_t available) {
  const std::size_t held = std::min(capacity, available);
  const std::size_t length = strnlen(text, held);
  if (length == held) {
    // No NUL: the name was cut, and what is left of it may name another folder (an ancestor of
    // the aircraft's), whose aircraft.cfg is another aircraft's. No folder is taken from it: the
    // flaps table stays as it is, as for an aircraft.cfg that cannot be opened.
    Bridge.AircraftPath.clear();
    LogMessage("Aircraft path has no end within its %u bytes; flap detents unchanged",
               static_cast<unsigned>(held));
  } else {
    Bridge.AircraftPath.assign(text, length);
  }
  Bridge.AircraftChanged = true;
}

void OnUserAircraftRecord(const std::uint8_t* record, std::size_t record_bytes) {
  if (!Bridge.ServerRunning.load()) {
    // The first record starts the network service; it is not converted. A start that threw
    // before its thread existed leaves the flag set with no server behind it: it is cleared, so
    // that the next record tries again.
    if (!CatchAtBoundary(dispatch_boundary, StartSocketServer) && Bridge.Server == nullptr) {
      Bridge.ServerRunning.store(false);
    }
    return;
  }
  if (record_bytes < kRecordSize) {
    // A variable the simulator refused is missing from every record: all of them are short.
    if (short_record_logged.First()) {
      LogMessage("SimConnect record of %u bytes is shorter than the %u registered; ignored",
                 static_cast<unsigned>(record_bytes), static_cast<unsigned>(kRecordSize));
    }
    return;
  }
  if (std::memchr(record, 0, kTitleBytes) == nullptr) return;  // title not terminated
  if (Bridge.AircraftChanged) {
    CatchAtBoundary(flaps_boundary, ReadAircraftFlaps);
    Bridge.AircraftChanged = false;
  }
  ConvertAndPublishFrame(record);
  ApplyMcpPending(Bridge.Mcp, Bridge.SimConnectHandle, record);
}

void Dispatch(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size) {
  if (message == nullptr || size < sizeof(SIMCONNECT_RECV)) return;
  const std::size_t length = MessageLength(message, size);
  switch (message->dwID) {
    case SIMCONNECT_RECV_ID_EVENT: {
      if (length < sizeof(SIMCONNECT_RECV_EVENT)) break;
      const auto* event = reinterpret_cast<const SIMCONNECT_RECV_EVENT*>(message);
      if (event->uEventID == kFrameEvent) {
        RequestUserAircraft();
      } else if (event->uEventID == kSimStartEvent) {
        SimConnect_RequestSystemState(Bridge.SimConnectHandle, kAircraftLoadedRequest,
                                      "AircraftLoaded");
      }
      break;
    }
    case SIMCONNECT_RECV_ID_EVENT_FILENAME: {
      if (length < kFileNameAt) break;
      const auto* event = reinterpret_cast<const SIMCONNECT_RECV_EVENT_FILENAME*>(message);
      if (event->uEventID == kAircraftLoadedEvent) {
        SetAircraftPath(event->szFileName, sizeof event->szFileName, length - kFileNameAt);
      }
      break;
    }
    case SIMCONNECT_RECV_ID_EVENT_FRAME: {
      if (length < sizeof(SIMCONNECT_RECV_EVENT)) break;
      const auto* event = reinterpret_cast<const SIMCONNECT_RECV_EVENT_FRAME*>(message);
      if (event->uEventID == kFrameEvent) RequestUserAircraft();
      break;
    }
    case SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE: {
      if (length < kRecordHeaderBytes) break;
      const auto* data = reinterpret_cast<const SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE*>(message);
      if (data->dwRequestID == kUserAircraftRequest) {
        OnUserAircraftRecord(reinterpret_cast<const std::uint8_t*>(&data->dwData),
                             length - kRecordHeaderBytes);
      }
      break;
    }
    case SIMCONNECT_RECV_ID_SYSTEM_STATE: {
      if (length < kStateTextAt) break;
      const auto* state = reinterpret_cast<const SIMCONNECT_RECV_SYSTEM_STATE*>(message);
      if (state->dwRequestID == kAircraftLoadedRequest) {
        SetAircraftPath(state->szString, sizeof state->szString, length - kStateTextAt);
      }
      break;
    }
    default:
      break;  // exceptions, quit and everything else are not the add-on's business
  }
}

void Start() {
  ResetLog();
  InitFrame(Bridge.SimDataFrame.data());
  Bridge.Frames.Store(Bridge.SimDataFrame.data());
  Bridge.Mcp.Reset();
  platform::SocketsStartup();

  // A handle left from an earlier run was closed by DLLStop; a failed open must not leave it
  // behind for the next DLLStop to close again.
  Bridge.SimConnectHandle = nullptr;
  if (SimConnect_Open(&Bridge.SimConnectHandle, "Velkaro", nullptr, 0, nullptr, 0) < 0) {
    LogMessage("\nSimConnect Connection failed!");
    return;
  }
  LogMessage("\nSimConnect Connected");
  RegisterSimVarCatalogue();
  SimConnect_SubscribeToSystemEvent(Bridge.SimConnectHandle, kFrameEvent, "Frame");
  SimConnect_SubscribeToSystemEvent(Bridge.SimConnectHandle, kAircraftLoadedEvent,
                                    "AircraftLoaded");
  SimConnect_SubscribeToSystemEvent(Bridge.SimConnectHandle, kSimStartEvent, "SimStart");
  SimConnect_CallDispatch(Bridge.SimConnectHandle, DispatchCallback, nullptr);
  MapClientEvents();
}

void Stop() {
  if (Bridge.SimConnectHandle != nullptr) SimConnect_Close(Bridge.SimConnectHandle);
  StopSocketServer();
  platform::SocketsCleanup();
}

}  // namespace

namespace velkaro {

void SIMCONNECT_CALL DispatchCallback(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                      void* /*context*/) {
  CatchAtBoundary(dispatch_boundary, [&] { Dispatch(message, size); });
}

}  // namespace velkaro

int SIMCONNECT_CALL DLLStart(void) {
  for (Boundary* boundary :
       {&start_boundary, &stop_boundary, &dispatch_boundary, &flaps_boundary}) {
    boundary->Rearm();
  }
  short_record_logged.Rearm();
  CatchAtBoundary(start_boundary, Start);
  return 0;
}

void SIMCONNECT_CALL DLLStop(void) {
  CatchAtBoundary(stop_boundary, Stop);
}
