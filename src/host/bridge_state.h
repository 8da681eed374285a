// The bridge state: the one process-wide record through which the simulator's thread, the
// socket server thread and the client serving threads meet. It exists from library load to
// unload; every unit reaches it directly as `Bridge`.
//
// Thread-safety, member by member:
//   - simulator's thread only: AircraftPath, AircraftChanged, ServerThread, SimConnectHandle,
//     AircraftFlapsTable, SimDataFrame (the conversion's working frame);
//   - written before any other thread of the add-on exists, then only read: BindAddress,
//     LogFilePath, LogEnabled;
//   - ServerRunning: an atomic flag, set and cleared by the simulator's thread, read everywhere;
//   - ListenSocket: stored by the server thread and taken by DLLStop, both under ListenLock;
//   - Frames: the published frame and the frame sequence (see FrameExchange);
//   - McpRequest and McpPending: under McpLock, held only for a 144-byte copy, check or merge;
//   - Fmc and FlightPlan: the upload stores, each with its own short lock (see UploadStore).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "aircraft/flaps_table.h"
#include "autopilot/mcp_block.h"
#include "host/simconnect.h"
#include "net/upload_store.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "simdata/frame_exchange.h"
#include "simdata/frame_layout.h"

namespace velkaro {

struct BridgeState {
  // FmcData with FmcVersion, and FlightPlanData with FlightPlanVersion: each pair is replaced
  // and read together.
  UploadStore Fmc;
  UploadStore FlightPlan;

  std::string AircraftPath;
  std::string BindAddress = "ANY";
  std::string LogFilePath = "Velkaro.log";

  // No socket until the server creates one (0 would name a valid descriptor on POSIX).
  platform::SocketHandle ListenSocket = platform::kInvalidSocket;
  std::mutex ListenLock;

  std::unique_ptr<platform::Thread> ServerThread;
  std::atomic<bool> ServerRunning{false};
  bool LogEnabled;
  bool AircraftChanged = false;

  McpBlock McpRequest{};
  McpBlock McpPending{};
  std::mutex McpLock;

  std::array<std::uint8_t, kFrameSize> SimDataFrame{};
  FrameExchange Frames;  // holds FrameSequence

  SIMCONNECT_HANDLE SimConnectHandle = nullptr;
  FlapsTable AircraftFlapsTable{};
};

extern BridgeState Bridge;

}  // namespace velkaro
