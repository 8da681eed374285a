// velkaro-bridge's side of the simulator: a SimConnect client connection that comes and goes with
// the simulator. It opens the connection (trying again every 2 s while the simulator is not
// there), hands it to the engine (host/engine.h), which registers the aircraft's variables and
// events, then waits on the dispatch event and dispatches every message on this one thread, the
// bridge's simulator thread: the engine's rules for the simulator's thread hold here (nothing
// allocated per frame, no lock held across I/O, no wait on a client).
//
// When the simulator quits (its quit message) or the connection fails (a failed dispatch), the
// connection is closed, the engine is told there is none, and the bridge waits for the simulator
// again; the clients' server and the stores are the engine's and carry on.
//
// A simulator that lacks some of the variables or events refuses their names: the refusal (an
// exception naming the packet of the call) is matched to the name registered by that call, told
// once in the log and the status, and the record, which then arrives without the refused
// variables, is widened back to the full record with zeros in their place, so that every other
// field flows.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "dispatch_event.h"
#include "simconnect/simconnect.h"
#include "simdata/record_layout.h"

namespace velkaro::bridge {

class SimulatorLink {
 public:
  // Says what happens to the simulator connection on `out`.
  SimulatorLink(DispatchEvent& event, std::FILE* out);
  ~SimulatorLink();
  SimulatorLink(const SimulatorLink&) = delete;
  SimulatorLink& operator=(const SimulatorLink&) = delete;

  // Runs until `stop` is set (seen within 100 ms), then closes the connection.
  void Run(const std::atomic<bool>& stop);

  static constexpr int kRetryMs = 2000;
  static constexpr int kLongestWaitMs = 100;

 private:
  struct Sent {
    SIMCONNECT_DWORD packet;
    const char* name;
    bool is_event;
    std::size_t datum;  // the catalogue index of a variable
  };

  bool Open();
  void Close(const std::string& why);
  static void SIMCONNECT_CALL OnMessage(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                        void* context);
  void Handle(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size);
  void Refused(const SIMCONNECT_RECV_EXCEPTION& exception);
  // The record message `message` of `size` bytes, widened to the full record when it lacks the
  // refused variables; null when it is as registered (or cannot be widened).
  const SIMCONNECT_RECV* Widened(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size);
  void Say(const std::string& line);

  DispatchEvent& event_;
  std::FILE* const out_;
  SIMCONNECT_HANDLE handle_ = nullptr;
  bool quit_ = false;
  bool waiting_told_ = false;
  std::vector<Sent> sent_;  // this connection's registration calls
  std::array<bool, kSimVarCatalogue.size()> refused_{};
  std::size_t refused_bytes_ = 0;
  std::set<std::string> told_;  // refused names told already, across connections
  std::set<SIMCONNECT_DWORD> exceptions_told_;
  // The widened record message: the data message's header and a full record.
  alignas(8) std::array<std::uint8_t, 64 + kRecordSize> widened_{};
};

}  // namespace velkaro::bridge
