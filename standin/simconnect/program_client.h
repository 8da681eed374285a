// The stand-in SimConnect library's client side: SimConnect for a program outside the
// simulator's process (velkaro-bridge, the tests), connected to velkaro-sim over the private
// link (program_link.h). Every call is sent to velkaro-sim, which runs it against its simulator;
// the messages velkaro-sim sends back are received by a thread of the library's own into a
// bounded queue and delivered by Dispatch.
//
// The event handle given to Open is signalled whenever a message has been queued and when the
// connection is lost: on Windows an event HANDLE (SetEvent); elsewhere an eventfd descriptor
// cast to the handle (reinterpret_cast<void*>(static_cast<intptr_t>(fd))), to which a uint64 1
// is written. A null handle is never signalled.
//
// Thread-safety: a program calls the functions of one connection from one thread at a time (as
// SimConnect asks); the receiving thread only ever fills the queue and signals the event, and
// never waits for the program.
#pragma once

#include "simconnect/program_link.h"
#include "simconnect/simconnect.h"

namespace velkaro::standin::program {

// Connects to velkaro-sim at $VELKARO_SIM_ADDRESS (link::kDefaultSimAddress when unset) and
// completes the handshake; SIMCONNECT_RECV_ID_OPEN is the first message Dispatch delivers.
// E_FAIL, without waiting longer than about link::kConnectTimeoutMs, when nothing listens there.
SIMCONNECT_HRESULT Open(SIMCONNECT_HANDLE* handle, const char* name, void* event_handle);
// True for a handle Open returned that was not closed yet.
bool Owns(SIMCONNECT_HANDLE handle);
// Ends the connection, stops its receiving thread and forgets the handle.
SIMCONNECT_HRESULT Close(SIMCONNECT_HANDLE handle);
// Sends one call, under the connection's next send id. E_FAIL when the connection is lost.
SIMCONNECT_HRESULT Send(SIMCONNECT_HANDLE handle, link::Call call);
// Delivers every message received so far to `dispatch`, oldest first; then 0, or E_FAIL when the
// connection to velkaro-sim is lost (what had arrived is delivered first).
SIMCONNECT_HRESULT Dispatch(SIMCONNECT_HANDLE handle, SIMCONNECT_DISPATCH_PROC dispatch,
                            void* context);
SIMCONNECT_HRESULT LastSendId(SIMCONNECT_HANDLE handle, SIMCONNECT_DWORD* send_id);

// Signals a program's event handle (event_signal_<system>.cpp); does nothing for a null one.
void SignalEvent(void* event_handle);

}  // namespace velkaro::standin::program
