// The autopilot settings: what a client sets in the autopilot block (mcp_block.h), one row per
// setting. Every front end takes a setting by the row's short name: the `zelm mcp` options
// ("hdg_bug" is --hdg-bug), the gateway's JSON over WebSocket and MQTT ({"mcp": {"hdg": 270}}),
// the Python package's keyword arguments (build_mcp(hdg=270)). The older spellings in `aliases`
// are accepted too: the lowerCamelCase name of McpRequestBuilder's setter, which the gateway took,
// and its snake_case, which the Python package took.
//
// A row names its block field, its role, the rule its values must pass, its unit, its meaning
// for people and the values a panel can dial (a number outside them is a mistake of the sender's,
// a heading of 2700 or an altitude in metres, refused like one the rule refuses). The checks
// below prove at compile time that each row names a field of its role, that every flagged field
// has a setting, and that no two names are the same. libzelm reads the table
// (zelm_layout.h: FindMcpSetting, ApplyMcpSetting) and writes it into the layout document,
// from which the Python package takes its names.
//
// Adding a setting: its field in mcp_fields::kAll, its row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/mcp_block.h"

namespace velkaro {

// What a setting fills in the block.
enum class McpSettingRole : std::uint8_t {
  kState,      // a state byte (0 off, 1 on) and its change-flag bit
  kReference,  // an f64 reference and its change-flag bit
  kRequest,    // an f64 request, which has no bit: its "none" value says there is no request
};

// Which values a setting takes. Numbers are always finite.
enum class McpSettingRule : std::uint8_t {
  kOnOff,              // on or off
  kNumber,             // any number
  kNumberExceptNone,   // any number but the field's "none" value (its start value, -1.0)
  kNonNegativeNumber,  // 0 or more (a negative value would mean no request)
};

inline constexpr std::size_t kMcpSettingAliases = 2;

struct McpSetting {
  const char* name;  // the short name every front end takes: "ap", "hdg", "spd_ref"
  // Older spellings still accepted: first the lowerCamelCase name ("apMaster"), then its
  // snake_case ("ap_master") where that differs from both; nullptr for none.
  std::array<const char*, kMcpSettingAliases> aliases;
  const char* field;  // the block field it fills (mcp_fields::kAll)
  McpSettingRole role;
  McpSettingRule rule;
  const char* unit;  // of the value: "ft", "kt or Mach", "deg"; empty for none
  double min;        // the values a panel can dial, inclusive
  double max;
  const char* meaning;  // for people: "altitude", "autopilot master"
};

namespace mcp_settings {
using enum McpSettingRole;
using enum McpSettingRule;
// clang-format off
inline constexpr McpSetting kAll[] = {
  // name       aliases                                          field                     role        rule                unit          min     max    meaning
  {"alt",        {"altitude"},                                    "altitudeRequest",        kRequest,   kNumberExceptNone,  "ft",         -2000,  60000, "altitude"},
  {"vs",         {"verticalSpeed", "vertical_speed"},             "verticalSpeedRequest",   kRequest,   kNumberExceptNone,  "ft/min",     -10000, 10000, "vertical speed"},
  {"spd",        {"speed"},                                       "speedRequest",           kRequest,   kNonNegativeNumber, "kt or Mach", 0,      999,   "speed, below 2.0 a Mach number"},
  {"hdg",        {"heading"},                                     "headingRequest",         kRequest,   kNonNegativeNumber, "deg",        0,      360,   "heading"},
  {"spd_ref",    {"speedReference", "speed_reference"},           "speedReference",         kReference, kNumber,            "kt",         0,      999,   "speed reference"},
  {"n1_ref",     {"n1Reference", "n1_reference"},                 "n1Reference",            kReference, kNumber,            "",           0,      120,   "N1 reference"},
  {"mach_ref",   {"machReference", "mach_reference"},             "machReference",          kReference, kNumber,            "",           0,      1.99,  "Mach reference"},
  {"alt_ref",    {"altitudeReference", "altitude_reference"},     "altitudeReference",      kReference, kNumber,            "ft",         -2000,  60000, "altitude reference"},
  {"vs_ref",     {"verticalSpeedReference", "vertical_speed_reference"}, "verticalSpeedReference", kReference, kNumber,   "ft/min",     -10000, 10000, "vertical speed reference"},
  {"hdg_bug",    {"headingBug", "heading_bug"},                   "headingBug",             kReference, kNumber,            "deg",        0,      360,   "heading bug"},
  {"crs",        {"nav1Course", "nav1_course"},                   "nav1Course",             kReference, kNumber,            "deg",        0,      360,   "NAV1 course"},
  {"ap",         {"apMaster", "ap_master"},                       "apMaster",               kState,     kOnOff,             "",           0,      1,     "autopilot master"},
  {"at",         {"autothrottle"},                                "autothrottleArm",        kState,     kOnOff,             "",           0,      1,     "autothrottle arm"},
  {"fd",         {"flightDirector", "flight_director"},           "flightDirector",         kState,     kOnOff,             "",           0,      1,     "flight director"},
  {"speed_hold", {"speedHold"},                                   "speedHold",              kState,     kOnOff,             "",           0,      1,     "speed hold"},
  {"n1_hold",    {"n1Hold"},                                      "n1Hold",                 kState,     kOnOff,             "",           0,      1,     "N1 hold"},
  {"mach_hold",  {"machHold"},                                    "machHold",               kState,     kOnOff,             "",           0,      1,     "Mach hold"},
  {"alt_hold",   {"altitudeHold", "altitude_hold"},               "altitudeHold",           kState,     kOnOff,             "",           0,      1,     "altitude hold"},
  {"hdg_hold",   {"headingHold", "heading_hold"},                 "headingHold",            kState,     kOnOff,             "",           0,      1,     "heading hold"},
  {"loc_hold",   {"locHold"},                                     "locHold",                kState,     kOnOff,             "",           0,      1,     "localizer hold"},
  {"app_hold",   {"approachHold", "approach_hold"},               "approachHold",           kState,     kOnOff,             "",           0,      1,     "approach hold"},
};
// clang-format on
}  // namespace mcp_settings

// Every setting, in the order of the block's fields.
inline constexpr std::span<const McpSetting> kMcpSettings{mcp_settings::kAll};

// The index in kMcpFields of the field a setting fills; kMcpFields.size() only for a row the
// checks below refuse.
// (An index, not a pointer: GCC's sanitizer builds cannot compare the address of a table entry
// in a constant expression.)
constexpr std::size_t McpSettingFieldIndex(const McpSetting& setting) {
  for (std::size_t i = 0; i < kMcpFields.size(); ++i) {
    if (std::string_view(kMcpFields[i].name) == setting.field) return i;
  }
  return kMcpFields.size();
}

// Writes `value` into the setting's field (a state byte: 1 for any value but 0) and, for a state
// or reference, sets its bit in changeFlags. The value is written as given: a front end checks
// it against the setting's rule and range first (zelm::ApplyMcpSetting).
inline void McpWriteSetting(McpBlock& block, const McpSetting& setting, double value) {
  const McpField& f = kMcpFields[McpSettingFieldIndex(setting)];
  if (f.type == McpType::kU8) {
    block[f.offset] = value != 0.0 ? 1 : 0;
  } else {
    EncodeF64(block.data() + f.offset, value);
  }
  if (f.bit != kNoFlag) McpSetChangeFlags(block, McpChangeFlags(block) | (1u << f.bit));
}

namespace mcp_settings_checks {

// A short name is what an option, a JSON key and a Python keyword can all be: a lower-case
// letter, then lower-case letters, digits and underscores.
consteval bool IsShortName(const char* name) {
  if (name == nullptr || !(*name >= 'a' && *name <= 'z')) return false;
  for (; *name != '\0'; ++name) {
    const char c = *name;
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}
// An alias is a JSON key and a Python keyword: a letter, then letters, digits and underscores.
consteval bool IsAlias(const char* name) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (name == nullptr || !letter(*name)) return false;
  for (; *name != '\0'; ++name) {
    if (!(letter(*name) || (*name >= '0' && *name <= '9') || *name == '_')) return false;
  }
  return true;
}

consteval bool IsFinite(double v) {
  return v - v == 0.0;  // NaN and the infinities give NaN
}

// Each row names an existing field of its role, in the order of the block, with the rule of that
// role and a range of finite numbers that the rule does not contradict.
consteval bool RowsMatchTheBlock() {
  std::size_t next_offset = 0;
  for (const McpSetting& s : mcp_settings::kAll) {
    const std::size_t index = McpSettingFieldIndex(s);
    if (index == kMcpFields.size()) return false;
    const McpField& field = kMcpFields[index];
    if (field.count != 1 || field.offset < next_offset) return false;
    next_offset = field.offset + 1;
    const bool flagged = field.bit != kNoFlag;
    if (!IsFinite(s.min) || !IsFinite(s.max) || !(s.min <= s.max)) return false;
    if (s.unit == nullptr || s.meaning == nullptr || *s.meaning == '\0') return false;
    switch (s.role) {
      case McpSettingRole::kState:
        if (field.type != McpType::kU8 || !flagged || s.rule != McpSettingRule::kOnOff) {
          return false;
        }
        if (s.min != 0 || s.max != 1 || *s.unit != '\0') return false;
        break;
      case McpSettingRole::kReference:
        if (field.type != McpType::kF64 || !flagged || s.rule != McpSettingRule::kNumber) {
          return false;
        }
        break;
      case McpSettingRole::kRequest:
        if (field.type != McpType::kF64 || flagged) return false;
        if (s.rule == McpSettingRule::kNumberExceptNone) {
          if (field.start != -1.0) return false;  // the "none" the rule refuses
        } else if (s.rule == McpSettingRule::kNonNegativeNumber) {
          if (s.min < 0) return false;
        } else {
          return false;
        }
        break;
    }
  }
  return true;
}
static_assert(RowsMatchTheBlock(),
              "an autopilot setting names no field, a field of another kind, or a bad range");

// Every state and reference field (a flagged field) has exactly one setting, and no field two.
consteval bool EveryFlaggedFieldHasOneSetting() {
  for (const McpField& f : mcp_fields::kAll) {
    int settings = 0;
    for (const McpSetting& s : mcp_settings::kAll) {
      settings += std::string_view(s.field) == f.name ? 1 : 0;
    }
    if (settings > 1 || (f.bit != kNoFlag && settings != 1)) return false;
  }
  return true;
}
static_assert(EveryFlaggedFieldHasOneSetting(),
              "a state or reference field has no setting, or a field has two");

// Short names and aliases are well formed, and no two of them, in any rows, are the same.
consteval bool NamesAreUnique() {
  std::array<std::string_view, std::size(mcp_settings::kAll) * (1 + kMcpSettingAliases)> names{};
  std::size_t count = 0;
  for (const McpSetting& s : mcp_settings::kAll) {
    if (!IsShortName(s.name) || s.aliases[0] == nullptr) return false;
    names[count++] = s.name;
    for (const char* alias : s.aliases) {
      if (alias == nullptr) continue;
      if (!IsAlias(alias)) return false;
      names[count++] = alias;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}
static_assert(NamesAreUnique(),
              "an autopilot setting's name is malformed, or two names are the same");

}  // namespace mcp_settings_checks

}  // namespace velkaro
