// The autopilot change application: on every accepted record, the changes waiting in
// McpPending become client events for the simulator (state switches, references, then the
// altitude, vertical speed, speed and heading requests), and McpPending returns to its start
// values so each change is sent once.
//
// Simulator's thread only. It allocates nothing and never waits on a client: the exchange's lock is
// held only to copy and reset the 144-byte block, and events are transmitted outside it. The
// only I/O is a log line the first time a field is refused, and only with the log on.
#pragma once

#include <cstdint>
#include <optional>

#include "autopilot/client_events.h"
#include "autopilot/mcp_exchange.h"
#include "common/mcp_block.h"
#include "simconnect/simconnect.h"

namespace velkaro {

// Rounds a value to a whole number, halves away from zero for positive values
// and toward zero for negative ones (250.5 gives 251, -2.7 gives -2). Empty when the value is
// not a number or the result does not fit a 32-bit integer.
std::optional<std::int32_t> RoundToWhole(double value);

// The three data conversions of a reference or request, each empty when the value cannot be
// sent as a 32-bit integer.
std::optional<std::int32_t> WholeUnits(double value);  // knots, degrees, N1
std::optional<std::int32_t> Hundredths(double value);  // Mach x 100
std::optional<std::int32_t> Hundreds(double value);    // feet, feet per minute

// Receives each event to send, in order.
using McpEventSink = void (*)(void* context, ClientEvent event, std::uint32_t data);

// Works out the events for a pending block against the simulator state in `record`. A changed
// state byte other than 0 (off) or 1 (on), and a reference or request whose value cannot be sent
// as a 32-bit integer (not a number, out of range), send nothing: a request neither engages its
// mode nor sets its target. Every other row is sent as usual. Returns the fields refused.
McpFieldSet PlanMcpEvents(const McpBlock& pending, const std::uint8_t* record, McpEventSink sink,
                          void* context);

// Takes the pending changes out of `mcp` (resetting them) and sends them to `simulator` as
// client events, judged against the simulator state in `record`. A refused field is logged the
// first time it is refused after the exchange's Reset, not again.
void ApplyMcpPending(McpExchange& mcp, SIMCONNECT_HANDLE simulator, const std::uint8_t* record);

}  // namespace velkaro
