// The bridge state: the one process-wide record through which the simulator's thread, the
// socket server thread and the client serving threads meet. It exists from library load to
// unload and is the add-on's composition root: the entry points and the simulator's thread
// reach it directly as `Bridge`; the socket server hands each session references to the parts
// it shares (SessionShared), so sessions never name it.
//
// Thread-safety, member by member:
//   - simulator's thread only: AircraftPath, AircraftChanged, Server (started and stopped
//     there; the server guards its own listening socket and owns its sessions),
//     SimConnectHandle, AircraftFlapsTable, SimDataFrame (the conversion's working frame);
//   - written by DLLStart before any other thread of the add-on exists, then only read: Config
//     (the settings from Velkaro.ini); SettingsFolder is set before DLLStart. (The log is its own
//     record, AddOnLog(), set up by DLLStart in the same way.)
//   - ServerRunning: an atomic flag, set and cleared by the simulator's thread, read everywhere;
//   - Frames: the published frame and the frame sequence (see FrameExchange);
//   - Mcp: the autopilot request and pending blocks behind their own lock (see McpExchange);
//   - Fmc and FlightPlan: the upload stores, each with its own short lock (see UploadStore);
//   - Uploads: what upload data holds, charged by the sessions and freed by whichever thread
//     lets the data go (see UploadAllowance);
//   - Status: what the "rSTATUS010" reply reports, written by the simulator's thread (atomics
//     per frame, a short lock when something rare changes) and the server (see StatusBoard).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "aircraft/flaps_table.h"
#include "autopilot/mcp_exchange.h"
#include "common/frame_layout.h"
#include "config/settings.h"
#include "net/socket_server.h"
#include "net/status.h"
#include "net/upload_store.h"
#include "simconnect/simconnect.h"
#include "simdata/frame_exchange.h"

namespace velkaro {

struct BridgeState {
  // Declared before the stores, whose data gives its charge back to it when freed.
  UploadAllowance Uploads;
  // FmcData with FmcVersion, and FlightPlanData with FlightPlanVersion: each pair is replaced
  // and read together.
  UploadStore Fmc;
  UploadStore FlightPlan;

  std::string AircraftPath;
  // Where DLLStart reads Velkaro.ini: empty for the folder of the add-on's own module file. A test
  // program linked with the add-on's code (its module is the program) names a folder of its own.
  std::string SettingsFolder;
  Settings Config;  // in force since DLLStart: the defaults until then
  StatusBoard Status;

  // The socket server while it runs (and after it failed to bind, until DLLStop).
  std::unique_ptr<SocketServer> Server;
  std::atomic<bool> ServerRunning{false};
  bool AircraftChanged = false;

  McpExchange Mcp;

  std::array<std::uint8_t, kFrameSize> SimDataFrame{};
  FrameExchange Frames;  // holds FrameSequence

  SIMCONNECT_HANDLE SimConnectHandle = nullptr;
  FlapsTable AircraftFlapsTable{};
};

extern BridgeState Bridge;

}  // namespace velkaro
