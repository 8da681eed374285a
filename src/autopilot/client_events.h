// The client events through which the add-on drives the simulator's autopilot: ids 3 to 19,
// each mapped once to a simulator event when the connection opens. Ids 0 to 2 are the system
// event subscriptions.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "simconnect/simconnect.h"

namespace velkaro {

enum ClientEvent : std::uint32_t {
  kEventApMaster = 3,
  kEventAutothrottleArm = 4,
  kEventToggleFlightDirector = 5,
  kEventApPanelAltitudeSet = 6,
  kEventApPanelSpeedSet = 7,
  kEventApPanelMachSet = 8,
  kEventApPanelHeadingSet = 9,
  kEventApN1Hold = 10,
  kEventApLocHold = 11,
  kEventApAppHold = 12,
  kEventVor1Set = 13,
  kEventApAltVarSetEnglish = 14,
  kEventApVsVarSetEnglish = 15,
  kEventApSpdVarSet = 16,
  kEventApMachVarSet = 17,
  kEventHeadingBugSet = 18,
  kEventApN1RefSet = 19,
};

struct ClientEventName {
  ClientEvent id;
  const char* simulator_event;
};

inline constexpr std::array<ClientEventName, 17> kClientEventTable = {{
    {kEventApMaster, "AP_MASTER"},
    {kEventAutothrottleArm, "AUTO_THROTTLE_ARM"},
    {kEventToggleFlightDirector, "TOGGLE_FLIGHT_DIRECTOR"},
    {kEventApPanelAltitudeSet, "AP_PANEL_ALTITUDE_SET"},
    {kEventApPanelSpeedSet, "AP_PANEL_SPEED_SET"},
    {kEventApPanelMachSet, "AP_PANEL_MACH_SET"},
    {kEventApPanelHeadingSet, "AP_PANEL_HEADING_SET"},
    {kEventApN1Hold, "AP_N1_HOLD"},
    {kEventApLocHold, "AP_LOC_HOLD"},
    {kEventApAppHold, "AP_APP_HOLD"},
    {kEventVor1Set, "VOR1_SET"},
    {kEventApAltVarSetEnglish, "AP_ALT_VAR_SET_ENGLISH"},
    {kEventApVsVarSetEnglish, "AP_VS_VAR_SET_ENGLISH"},
    {kEventApSpdVarSet, "AP_SPD_VAR_SET"},
    {kEventApMachVarSet, "AP_MACH_VAR_SET"},
    {kEventHeadingBugSet, "HEADING_BUG_SET"},
    {kEventApN1RefSet, "AP_N1_REF_SET"},
}};

// Maps the seventeen client events, ids ascending, on the open connection `simconnect`;
// `mapped`, when given, hears each simulator event name after its call. Simulator's thread, when
// the connection opens.
void MapClientEvents(SIMCONNECT_HANDLE simconnect,
                     const std::function<void(const char* name)>& mapped = {});

}  // namespace velkaro
