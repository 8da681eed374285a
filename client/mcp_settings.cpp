#include "mcp_settings.h"

#include <cmath>
#include <cstdio>

namespace zelm {
namespace {

using B = McpRequestBuilder;
using enum McpSettingKind;

// Ranges are what a panel can dial, not what the block can hold: a value outside them is a
// mistake of the sender's (a heading of 2700, an altitude in metres typed as feet).
constexpr McpSetting kSettings[] = {
    {"ap", kSwitch, 0, 0, "", "autopilot master", &B::ApMaster, nullptr},
    {"at", kSwitch, 0, 0, "", "autothrottle arm", &B::Autothrottle, nullptr},
    {"fd", kSwitch, 0, 0, "", "flight director", &B::FlightDirector, nullptr},
    {"speed_hold", kSwitch, 0, 0, "", "speed hold", &B::SpeedHold, nullptr},
    {"n1_hold", kSwitch, 0, 0, "", "N1 hold", &B::N1Hold, nullptr},
    {"mach_hold", kSwitch, 0, 0, "", "Mach hold", &B::MachHold, nullptr},
    {"alt_hold", kSwitch, 0, 0, "", "altitude hold", &B::AltitudeHold, nullptr},
    {"hdg_hold", kSwitch, 0, 0, "", "heading hold", &B::HeadingHold, nullptr},
    {"loc_hold", kSwitch, 0, 0, "", "localizer hold", &B::LocHold, nullptr},
    {"app_hold", kSwitch, 0, 0, "", "approach hold", &B::ApproachHold, nullptr},
    {"alt", kNumber, -2000, 60000, "ft", "altitude: engage and set", nullptr, &B::Altitude, true},
    {"vs", kNumber, -10000, 10000, "ft/min", "vertical speed: engage and set", nullptr,
     &B::VerticalSpeed, true},
    {"spd", kNumber, 0, 999, "kt or Mach", "speed (below 2.0 a Mach number): engage and set",
     nullptr, &B::Speed},
    {"hdg", kNumber, 0, 360, "deg", "heading: engage and set", nullptr, &B::Heading},
    {"spd_ref", kNumber, 0, 999, "kt", "speed reference", nullptr, &B::SpeedReference},
    {"n1_ref", kNumber, 0, 120, "%", "N1 reference", nullptr, &B::N1Reference},
    {"mach_ref", kNumber, 0, 1.99, "Mach", "Mach reference", nullptr, &B::MachReference},
    {"alt_ref", kNumber, -2000, 60000, "ft", "altitude reference", nullptr, &B::AltitudeReference},
    {"vs_ref", kNumber, -10000, 10000, "ft/min", "vertical speed reference", nullptr,
     &B::VerticalSpeedReference},
    {"hdg_bug", kNumber, 0, 360, "deg", "heading bug", nullptr, &B::HeadingBug},
    {"crs", kNumber, 0, 360, "deg", "NAV1 course", nullptr, &B::Nav1Course},
};

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

std::span<const McpSetting> McpSettings() {
  return kSettings;
}

const McpSetting* FindMcpSetting(std::string_view name) {
  for (const McpSetting& s : kSettings) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

bool ApplyMcpSwitch(McpRequestBuilder& builder, const McpSetting& setting, bool on,
                    std::string* error) {
  if (setting.kind != kSwitch) {
    *error = std::string(setting.name) + " takes a number";
    return false;
  }
  (builder.*setting.set_switch)(on);
  return true;
}

bool ApplyMcpNumber(McpRequestBuilder& builder, const McpSetting& setting, double value,
                    std::string* error) {
  if (setting.kind != kNumber) {
    *error = std::string(setting.name) + " takes true or false";
    return false;
  }
  if (!std::isfinite(value) || value < setting.min || value > setting.max) {
    *error = std::string(setting.name) + " takes " + Number(setting.min) + " to " +
             Number(setting.max) + (*setting.unit ? std::string(" ") + setting.unit : "") +
             ", not " + Number(value);
    return false;
  }
  if (setting.minus_one_means_none && value == -1.0) {
    *error = std::string(setting.name) + " -1 means no request; leave it out instead";
    return false;
  }
  (builder.*setting.set_number)(value);
  return true;
}

}  // namespace zelm
