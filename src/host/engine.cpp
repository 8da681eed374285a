#include "host/engine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aircraft/flaps_reader.h"
#include "autopilot/client_events.h"
#include "autopilot/mcp_apply.h"
#include "common/version.h"
#include "config/settings.h"
#include "host/addon.h"
#include "host/bridge_state.h"
#include "log/boundary.h"
#include "log/log.h"
#include "net/socket_server.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "simdata/catalogue.h"
#include "simdata/frame_conversion.h"
#include "simdata/record_layout.h"

using namespace velkaro;

namespace {

constexpr std::size_t kTitleBytes = 256;

// Where the variable parts of the messages start (offsetof on the SDK's derived structs is
// conditionally supported: see simconnect/simconnect.h). The record starts at dwData, the last
// member of the data message's header.
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

// The boundaries of the dispatch, and of the flaps reader inside it: an exception there leaves
// the previous flaps table and lets the record be converted.
Boundary dispatch_boundary("DispatchCallback");
Boundary flaps_boundary("Flaps reader");
Boundary settings_boundary("Settings");
LogOnce short_record_logged;

// What the sessions share: the bridge's parts.
SessionShared BridgeShared() {
  return {Bridge.Frames,  Bridge.Fmc,           Bridge.FlightPlan, Bridge.Mcp,
          Bridge.Uploads, Bridge.ServerRunning, AddOnLog(),        Bridge.Status};
}

// The socket server with the settings in force: sets ServerRunning and starts the server's
// thread. False with the reason when it cannot.
bool StartServerThread(std::string* error) {
  Bridge.Server.reset();  // none is left from an earlier run; were one, it would clear the flag
  Bridge.ServerRunning.store(true);
  Bridge.Server = std::make_unique<SocketServer>(BridgeShared(), Bridge.ServerRunning,
                                                 ServerSettingsFor(Bridge.Config));
  if (Bridge.Server->Start()) {
    LogMessage("Create SocketServe thread OK!");
    return true;
  }
  const int code = platform::LastSystemError();
  Bridge.Server.reset();
  Bridge.ServerRunning.store(false);
  const std::string reason = platform::SystemErrorText(code);
  LogMessage("Failed to create SocketServe thread! error %d, %s", code,
             reason.empty() ? "no text for it" : reason.c_str());
  *error = "error " + std::to_string(code) + (reason.empty() ? "" : ", " + reason);
  return false;
}

// The add-on's server, started on the first record.
void StartServer() {
  std::string ignored;
  StartServerThread(&ignored);
}

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
    // The simulator names the file in the system's code page; the add-on holds UTF-8 paths.
    Bridge.AircraftPath = platform::SystemTextToUtf8(std::string_view(text, length));
  }
  Bridge.AircraftChanged = true;
  Bridge.Status.SetAircraftPath(Bridge.AircraftPath);
}

void OnUserAircraftRecord(const std::uint8_t* record, std::size_t record_bytes) {
  if (!Bridge.ServerRunning.load()) {
    // The first record starts the network service; it is not converted. A start that threw
    // before its thread existed leaves the flag set with no server behind it: it is cleared, so
    // that the next record tries again.
    if (!CatchAtBoundary(dispatch_boundary, StartServer) && Bridge.Server == nullptr) {
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
  static_assert(StatusBoard::kAircraftTitleBytes == kTitleBytes);
  Bridge.Status.NoteAircraftTitle(reinterpret_cast<const char*>(record));
  if (Bridge.AircraftChanged) {
    CatchAtBoundary(flaps_boundary, [] {
      ReadAircraftFlaps(Bridge.AircraftPath, Bridge.AircraftFlapsTable, AddOnLog());
    });
    Bridge.Status.SetFlaps(Bridge.AircraftFlapsTable);
    Bridge.AircraftChanged = false;
  }
  // Into the working frame, with the loaded aircraft's detents; then published, which advances
  // the frame sequence and wakes the sessions waiting for it.
  ConvertRecord(record, Bridge.AircraftFlapsTable, std::time(nullptr), Bridge.SimDataFrame.data());
  Bridge.Frames.Publish(Bridge.SimDataFrame.data());
  Bridge.Status.RecordPublication(platform::SteadyMilliseconds());
  ApplyMcpPending(Bridge.Mcp, Bridge.SimConnectHandle, record);
}

void DispatchMessage(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size) {
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

static_assert(kLogDefaultMaxBytes == kDefaultLogMaxBytes, "the log's own default is the settings'");

// A log entry that could not be written, once per start: the status says it, as the log cannot.
void ReportLogWriteFailure(void*, const std::string& warning) {
  try {
    Bridge.Status.AddWarning(warning);
  } catch (...) {
    // Without memory for the warning there is nowhere left to say it.
  }
}

// The settings from Velkaro.ini in the add-on's own folder. Reading them never stops the start:
// a file that cannot be read leaves the defaults and a warning.
LoadedSettings ReadSettings(const std::string& folder) {
  if (!folder.empty()) return LoadSettings(folder);
  LoadedSettings loaded;
  loaded.settings.warnings.push_back(
      "the add-on's folder cannot be found; Velkaro.ini not read, defaults in force");
  return loaded;
}

// The settings in force, the log switched on or off by them, the log's first lines (version,
// settings, file; then each warning) and the status's configuration.
void ApplySettingsFrom(const engine::SettingsSource& source) {
  const std::string folder = !source.file.empty() ? platform::FolderOf(source.file)
                             : Bridge.SettingsFolder.empty()
                                 ? platform::FolderOf(platform::OwnModulePath())
                                 : Bridge.SettingsFolder;
  LoadedSettings loaded =
      source.file.empty() ? ReadSettings(folder) : LoadSettingsFile(source.file);
  if (source.port) loaded.settings.port = *source.port;
  Bridge.Config = loaded.settings;
  DiagnosticLog& log = AddOnLog();
  log.Enabled = kLogAvailable && Bridge.Config.log_enabled;
  log.FilePath = LogFilePath(Bridge.Config, folder);
  log.MaxBytes = Bridge.Config.log_max_bytes;
  log.OnWriteFailure = ReportLogWriteFailure;
  const std::string log_warning = ResetLog();
  std::vector<std::string>& warnings = loaded.settings.warnings;
  // A log that is off has only the status to say why; one written beside someone else's file
  // says it in its own lines too.
  if (!log_warning.empty()) warnings.push_back(log_warning);
  if (Bridge.Config.log_enabled && !kLogAvailable) {
    warnings.push_back("this build of the add-on has no log");
  }

  StatusBoard::Configuration configuration;
  configuration.settings = Bridge.Config;
  configuration.config_file = loaded.file;
  configuration.log_enabled = log.Enabled;
  configuration.log_path = log.FilePath;
  Bridge.Status.Start(platform::SteadyMilliseconds(), std::move(configuration),
                      Bridge.AircraftFlapsTable);
  for (const std::string& warning : warnings) Bridge.Status.AddWarning(warning);

  // The status is started first: a failure to write these lines is reported into it.
  const std::string file_text =
      loaded.file.empty() ? "no configuration file" : "configuration file " + loaded.file;
  LogMessage("Velkaro %s started with %s; %s", VELKARO_VERSION_TEXT,
             Bridge.Config.Describe().c_str(), file_text.c_str());
  for (const std::string& warning : warnings) LogMessage("Configuration: %s", warning.c_str());
}

}  // namespace

namespace velkaro::engine {

void ApplySettings(const SettingsSource& source) {
  // Out of memory here leaves the settings as they were (the defaults at the first start); the
  // engine starts all the same.
  CatchAtBoundary(settings_boundary, [&] { ApplySettingsFrom(source); });
}

void RearmBoundaries() {
  for (Boundary* boundary : {&dispatch_boundary, &flaps_boundary, &settings_boundary}) {
    boundary->Rearm();
  }
  short_record_logged.Rearm();
}

bool StartServer(std::string* error) {
  return StartServerThread(error);
}

bool WaitUntilListening(int milliseconds, std::string* error) {
  const std::int64_t until = platform::SteadyMilliseconds() + milliseconds;
  while (Bridge.Server != nullptr && Bridge.Server->port() == 0 &&
         platform::SteadyMilliseconds() < until) {
    const StatusBoard::View view = Bridge.Status.Read(platform::SteadyMilliseconds());
    for (const std::string& warning : view.warnings) {
      if (warning.rfind("Zelm Socket:", 0) == 0) {
        *error = warning;
        return false;
      }
    }
    platform::SleepMilliseconds(20);
  }
  if (Bridge.Server != nullptr && Bridge.Server->port() != 0) return true;
  *error = "the server did not start listening within " + std::to_string(milliseconds) + " ms";
  return false;
}

void StopServer() {
  if (!Bridge.ServerRunning.load() || Bridge.Server == nullptr) return;
  Bridge.Server->Stop();
  Bridge.Server.reset();
}

void Connect(SIMCONNECT_HANDLE simconnect, SIMCONNECT_DISPATCH_PROC dispatch, void* context,
             const Registered& registered) {
  Bridge.SimConnectHandle = simconnect;
  Bridge.Status.SetSimConnectOpen(simconnect != nullptr, platform::SteadyMilliseconds());
  if (simconnect == nullptr) return;
  LogMessage("SimConnect Connected");
  RegisterSimVarCatalogue(simconnect, kUserAircraftDefinition, [&](const char* name) {
    if (registered) registered(name, false);
  });
  SimConnect_SubscribeToSystemEvent(simconnect, kFrameEvent, "Frame");
  SimConnect_SubscribeToSystemEvent(simconnect, kAircraftLoadedEvent, "AircraftLoaded");
  SimConnect_SubscribeToSystemEvent(simconnect, kSimStartEvent, "SimStart");
  SimConnect_CallDispatch(simconnect, dispatch, context);
  MapClientEvents(simconnect, [&](const char* name) {
    if (registered) registered(name, true);
  });
}

void Dispatch(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size) {
  CatchAtBoundary(dispatch_boundary, [&] { DispatchMessage(message, size); });
}

}  // namespace velkaro::engine
