#include "host/addon.h"

#include <cstdint>
#include <string>

#include "host/bridge_state.h"
#include "host/engine.h"
#include "log/boundary.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/float_environment.h"
#include "platform/system.h"
#include "simdata/frame_conversion.h"

using namespace velkaro;

namespace {

// The boundaries of the entry points.
Boundary start_boundary("DLLStart");
Boundary stop_boundary("DLLStop");

void Start() {
  engine::ApplySettings({});
  PrepareForStart();
  platform::SocketsStartup();

  // A handle left from an earlier run was closed by DLLStop; a failed open must not leave it
  // behind for the next DLLStop to close again.
  Bridge.SimConnectHandle = nullptr;
  SIMCONNECT_HANDLE simconnect = nullptr;
  const SIMCONNECT_HRESULT opened = SimConnect_Open(&simconnect, "Velkaro", nullptr, 0, nullptr, 0);
  if (opened < 0) {
    const std::string reason = platform::ResultCodeText(opened);
    LogMessage("SimConnect Connection failed! HRESULT 0x%08X%s%s",
               static_cast<std::uint32_t>(opened), reason.empty() ? "" : ", ", reason.c_str());
    return;
  }
  engine::Connect(simconnect, DispatchCallback, nullptr);
}

void Stop() {
  if (Bridge.SimConnectHandle != nullptr) SimConnect_Close(Bridge.SimConnectHandle);
  Bridge.Status.SetSimConnectOpen(false, platform::SteadyMilliseconds());
  engine::StopServer();
  platform::SocketsCleanup();
}

}  // namespace

namespace velkaro {

void PrepareForStart(std::uint8_t* frame, FrameExchange& frames, McpExchange& mcp) {
  InitFrame(frame);
  frames.Store(frame);
  mcp.Reset();
}

void PrepareForStart() {
  PrepareForStart(Bridge.SimDataFrame.data(), Bridge.Frames, Bridge.Mcp);
}

void SIMCONNECT_CALL DispatchCallback(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                      void* /*context*/) {
  const platform::DefaultFloatEnvironment float_environment;
  engine::Dispatch(message, size);
}

}  // namespace velkaro

int SIMCONNECT_CALL DLLStart(void) {
  const platform::DefaultFloatEnvironment float_environment;
  start_boundary.Rearm();
  stop_boundary.Rearm();
  engine::RearmBoundaries();
  CatchAtBoundary(start_boundary, Start);
  return 0;
}

void SIMCONNECT_CALL DLLStop(void) {
  CatchAtBoundary(stop_boundary, Stop);
}
