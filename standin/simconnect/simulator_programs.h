// Inside the stand-in SimConnect library: how the simulator serves programs outside its process.
// The simulator (simconnect_standin.cpp) gives each program a connection of its own (data
// definitions, requests, event mappings, subscriptions) beside the in-process one; velkaro-sim's
// side of the link (program_server.cpp) hands it the program's calls and carries what the
// simulator posts back over the link.
//
// Thread-safety: every function may be called from any thread; the simulator's lock serialises
// them with the frame loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simconnect/program_link.h"

namespace velkaro::standin {

// Where the simulator posts one program's SimConnect messages (the bytes of a SIMCONNECT_RECV_*).
// Post is called with the simulator's lock held: it must neither block nor call back into the
// simulator.
class ProgramMailbox {
 public:
  virtual ~ProgramMailbox() = default;
  virtual void Post(std::vector<std::uint8_t> message) = 0;
};

// Gives a program named `name` a connection of its own, posting its SIMCONNECT_RECV_OPEN to
// `mailbox` (which must outlive DetachProgram). Returns the connection's id.
int AttachProgram(ProgramMailbox* mailbox, const std::string& name);
// Runs one call of the program's against the simulator, as the in-process SimConnect function
// of that name runs it; refusals are posted as exceptions carrying the call's send id.
void RunProgramCall(int program, const link::Call& call);
// Posts SIMCONNECT_RECV_QUIT to the program.
void PostQuit(int program);
// Forgets the program's connection: nothing is posted to its mailbox afterwards.
void DetachProgram(int program);

// velkaro-sim's side of the link (program_server.cpp).

// Starts accepting programs at "HOST:PORT" (HOST a dotted IPv4 address or "localhost"). Returns
// the port, or 0 with the reason in `error`. At most one listener at a time.
int StartProgramServer(const std::string& address, std::string* error);
// Posts SIMCONNECT_RECV_QUIT to every program, sends them what waits for them (each within a
// bounded time), closes their connections and the listener. Does nothing when not serving.
void StopProgramServer();
// The programs connected now.
int ConnectedPrograms();

}  // namespace velkaro::standin
