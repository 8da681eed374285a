#include "autopilot/mcp_apply.h"

#include <cmath>

#include "log/log.h"
#include "simdata/record_layout.h"

namespace velkaro {

namespace {

constexpr RecordSlot rApMaster = RecordDatum("AUTOPILOT MASTER");
constexpr RecordSlot rThrottleArm = RecordDatum("AUTOPILOT THROTTLE ARM");
constexpr RecordSlot rFlightDirector = RecordDatum("AUTOPILOT FLIGHT DIRECTOR ACTIVE");
constexpr RecordSlot rAirspeedHold = RecordDatum("AUTOPILOT AIRSPEED HOLD");
constexpr RecordSlot rRpmHold = RecordDatum("AUTOPILOT RPM HOLD");
constexpr RecordSlot rMachHold = RecordDatum("AUTOPILOT MACH HOLD");
constexpr RecordSlot rAltitudeLock = RecordDatum("AUTOPILOT ALTITUDE LOCK");
constexpr RecordSlot rHeadingLock = RecordDatum("AUTOPILOT HEADING LOCK");
constexpr RecordSlot rNav1Lock = RecordDatum("AUTOPILOT NAV1 LOCK");
constexpr RecordSlot rApproachHold = RecordDatum("AUTOPILOT APPROACH HOLD");
constexpr RecordSlot rAltitudeLockVar = RecordDatum("AUTOPILOT ALTITUDE LOCK VAR");
constexpr RecordSlot rVerticalHoldVar = RecordDatum("AUTOPILOT VERTICAL HOLD VAR");

struct StateSwitch {
  McpStateField state;
  RecordSlot simulator_state;
  ClientEvent event;
};

constexpr StateSwitch kStateSwitches[] = {
    {mcp::kApMaster, rApMaster, kEventApMaster},
    {mcp::kAutothrottleArm, rThrottleArm, kEventAutothrottleArm},
    {mcp::kFlightDirector, rFlightDirector, kEventToggleFlightDirector},
    {mcp::kSpeedHold, rAirspeedHold, kEventApPanelSpeedSet},
    {mcp::kN1Hold, rRpmHold, kEventApN1Hold},
    {mcp::kMachHold, rMachHold, kEventApPanelMachSet},
    {mcp::kAltitudeHold, rAltitudeLock, kEventApPanelAltitudeSet},
    {mcp::kHeadingHold, rHeadingLock, kEventApPanelHeadingSet},
    {mcp::kLocHold, rNav1Lock, kEventApLocHold},
    {mcp::kApproachHold, rApproachHold, kEventApAppHold},
};

using Conversion = std::optional<std::int32_t> (*)(double);

struct Reference {
  McpReferenceField field;
  Conversion convert;
  ClientEvent event;
};

constexpr Reference kReferences[] = {
    {mcp::kSpeedReference, WholeUnits, kEventApSpdVarSet},
    {mcp::kN1Reference, WholeUnits, kEventApN1RefSet},
    {mcp::kMachReference, Hundredths, kEventApMachVarSet},
    {mcp::kAltitudeReference, Hundreds, kEventApAltVarSetEnglish},
    {mcp::kVerticalSpeedReference, Hundreds, kEventApVsVarSetEnglish},
    {mcp::kHeadingBug, WholeUnits, kEventHeadingBugSet},
    {mcp::kNav1Course, WholeUnits, kEventVor1Set},
};

// Values this large are out of reach of a 32-bit result whatever the conversion.
constexpr double kConvertibleLimit = 4.0e9;

bool Convertible(double value) {
  return value > -kConvertibleLimit && value < kConvertibleLimit;
}

// The simulator's value truncated toward zero, when it fits a 32-bit integer.
std::optional<std::int32_t> Truncated(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::uint32_t OnState(double value) {
  return value != 0.0 ? 1u : 0u;
}

// A negative value goes to the simulator as its 32-bit two's complement.
std::uint32_t Word(std::int32_t value) {
  return static_cast<std::uint32_t>(value);
}

void Transmit(void* context, ClientEvent event, std::uint32_t data) {
  SimConnect_TransmitClientEvent(static_cast<SIMCONNECT_HANDLE>(context), SIMCONNECT_OBJECT_ID_USER,
                                 event, data, SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                 SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY);
}

// The log says once per field why a value was not sent: a client that repeats a bad block every
// frame must not fill the log.
void LogRefusals(const McpBlock& pending, McpFieldSet fields) {
  for (std::size_t i = 0; i < kMcpFields.size(); ++i) {
    if ((fields & (McpFieldSet{1} << i)) == 0) continue;
    const McpField& f = kMcpFields[i];
    if (f.type == McpType::kU8) {
      LogMessage("Autopilot: %s %u is neither off (0) nor on (1); not sent", f.name,
                 static_cast<unsigned>(pending[f.offset]));
    } else {
      LogMessage("Autopilot: %s %g cannot be sent as a 32-bit whole number; not sent", f.name,
                 DecodeF64(pending.data() + f.offset));
    }
  }
}

}  // namespace

// In double precision, which holds every 32-bit whole number and its halves exactly: single
// precision would move a value above 2^24 onto its neighbour before rounding.
std::optional<std::int32_t> RoundToWhole(double f) {
  if (!(f >= -2147483648.0 && f < 2147483648.0)) return std::nullopt;  // NaN fails too
  const std::int64_t n = static_cast<std::int32_t>(f);
  const double a = static_cast<double>(n + 1) - f;
  const double b = f - static_cast<double>(n);
  const std::int64_t result = a > b ? n : n + 1;
  if (result > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(result);
}

std::optional<std::int32_t> WholeUnits(double value) {
  if (!Convertible(value)) return std::nullopt;
  return RoundToWhole(value);
}

std::optional<std::int32_t> Hundredths(double value) {
  const double scaled = value * 100.0;
  if (!Convertible(scaled)) return std::nullopt;
  // A Mach number written with a half hundredth (0.575) is held a little below it and comes
  // out of the product as 57.49999999999999: it is put back on its half, on a grid of 2^-16
  // (the scaling and rounding are exact), so that it rounds up as written. The grid is far
  // coarser than that error and far finer than any setting a client means.
  constexpr double kGrid = 65536.0;
  return RoundToWhole(std::round(scaled * kGrid) / kGrid);
}

std::optional<std::int32_t> Hundreds(double value) {
  if (!Convertible(value)) return std::nullopt;
  const std::optional<std::int32_t> whole = RoundToWhole(value / 100.0);
  if (!whole) return std::nullopt;
  const std::int64_t result = static_cast<std::int64_t>(*whole) * 100;
  if (result < INT32_MIN || result > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(result);
}

McpFieldSet PlanMcpEvents(const McpBlock& pending, const std::uint8_t* record, McpEventSink sink,
                          void* context) {
  const std::uint32_t flags = McpChangeFlags(pending);
  McpFieldSet refused = 0;

  for (const StateSwitch& s : kStateSwitches) {
    if ((flags & s.state.bit) == 0) continue;
    const std::uint32_t wanted = pending[s.state.offset];
    // Any other byte would differ from both simulator states and toggle the mode with every
    // block that carries it.
    if (wanted > 1) {
      refused |= McpFieldAt(s.state.offset);
      continue;
    }
    if (OnState(ReadF64(record, s.simulator_state)) != wanted) sink(context, s.event, wanted);
  }

  for (const Reference& r : kReferences) {
    if ((flags & r.field.bit) == 0) continue;
    const std::optional<std::int32_t> value = r.convert(McpGetF64(pending, r.field));
    if (value) {
      sink(context, r.event, Word(*value));
    } else {
      refused |= McpFieldAt(r.field.offset);
    }
  }

  // A request whose target cannot be sent is skipped whole: engaging a hold without its target
  // would hold whatever the simulator had.
  const double altitude = McpGetF64(pending, mcp::kAltitudeRequest);
  if (altitude != -1.0) {
    if (const std::optional<std::int32_t> feet = Hundreds(altitude)) {
      if (ReadF64(record, rAltitudeLock) == 0.0) sink(context, kEventApPanelAltitudeSet, 1);
      if (Truncated(ReadF64(record, rAltitudeLockVar)) != feet) {
        sink(context, kEventApAltVarSetEnglish, Word(*feet));
      }
    } else {
      refused |= McpFieldAt(mcp::kAltitudeRequest.offset);
    }
  }

  const double vertical_speed = McpGetF64(pending, mcp::kVerticalSpeedRequest);
  if (vertical_speed != -1.0) {
    if (const std::optional<std::int32_t> fpm = Hundreds(vertical_speed)) {
      if (Truncated(ReadF64(record, rVerticalHoldVar)) != fpm) {
        sink(context, kEventApVsVarSetEnglish, Word(*fpm));
      }
    } else {
      refused |= McpFieldAt(mcp::kVerticalSpeedRequest.offset);
    }
  }

  const double speed = McpGetF64(pending, mcp::kSpeedRequest);
  if (speed >= 0.0) {
    const bool mach = speed > 0.0 && speed < 2.0;
    if (const std::optional<std::int32_t> target = mach ? Hundredths(speed) : WholeUnits(speed)) {
      sink(context, mach ? kEventApPanelMachSet : kEventApPanelSpeedSet, 1);
      sink(context, mach ? kEventApMachVarSet : kEventApSpdVarSet, Word(*target));
    } else {
      refused |= McpFieldAt(mcp::kSpeedRequest.offset);
    }
  }

  const double heading = McpGetF64(pending, mcp::kHeadingRequest);
  if (heading >= 0.0) {
    if (const std::optional<std::int32_t> degrees = WholeUnits(heading)) {
      sink(context, kEventApPanelHeadingSet, 1);
      sink(context, kEventHeadingBugSet, Word(*degrees));
    } else {
      refused |= McpFieldAt(mcp::kHeadingRequest.offset);
    }
  }
  return refused;
}

void ApplyMcpPending(McpExchange& mcp, SIMCONNECT_HANDLE simulator, const std::uint8_t* record) {
  // Taking the block and resetting it is one step for the merges: a merge lands either in this
  // application or, whole, in the next one.
  McpBlock pending;
  if (!mcp.TakePending(&pending)) return;
  const McpFieldSet refused = PlanMcpEvents(pending, record, Transmit, simulator);
  if (refused != 0) LogRefusals(pending, mcp.FirstRefusals(refused));
}

}  // namespace velkaro
