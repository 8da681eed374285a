// libzelm's description of the wire for clients in other languages: the frame table, the
// autopilot block table with its check value and the settings McpRequestBuilder offers, and the
// protocol's tags and bounds, as one JSON document. It is written from the same definitions the
// add-on and libzelm use (common/frame_layout.h, common/mcp_block.h, common/protocol.h), so a
// client that decodes and builds through it agrees with them; the Python package ships it as
// clients/python/zelm/layout.json (a test keeps that file equal to LayoutJson()).
//
// Also here: the table of McpRequestBuilder's settings by name, with the rule each value must
// pass, for front ends that take settings as text (zelm mcp, the JSON document).
//
// Thread-safety: everything here is read-only or works on the caller's objects.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "zelm_client.h"

namespace zelm {

// Version of the document's own shape; raised when a key is removed or changes its meaning
// (new keys do not raise it).
inline constexpr int kLayoutDocumentVersion = 1;

// The layout document: UTF-8 JSON, two-space indents, keys in a fixed order, ending in a line end.
std::string LayoutJson();

// What a setting fills in the block.
enum class McpSettingKind {
  kState,      // a state byte (0 off, 1 on) and its change-flag bit
  kReference,  // an f64 reference and its change-flag bit
  kRequest,    // an f64 request, which has no bit: its "none" value says there is no request
};

// Which values a setting takes. Numbers are always finite.
enum class McpSettingRule {
  kOnOff,              // on or off
  kNumber,             // any number
  kNumberExceptNone,   // any number but the field's "none" value (-1.0)
  kNonNegativeNumber,  // 0 or more (a negative value would mean no request)
};

struct McpSetting {
  const char* name;   // lowerCamelCase after the builder's setter: "apMaster", "heading"
  const char* field;  // the block field it fills (common/mcp_block.h)
  McpSettingKind kind;
  McpSettingRule rule;
  McpRequestBuilder& (McpRequestBuilder::*set_state)(bool);    // for kState
  McpRequestBuilder& (McpRequestBuilder::*set_value)(double);  // for kReference and kRequest
  // The short name front ends take ("ap", "hdg", "spd_ref"; `zelm mcp --spd-ref`, the gateway's
  // {"mcp": {"hdg": 270}}), and the values a panel can dial, inclusive: a number outside them is
  // a mistake of the sender's (a heading of 2700, an altitude in metres), refused like one the
  // rule refuses.
  const char* alias;
  double min;
  double max;
  const char* label;  // for people: "altitude", "autopilot master"
};

// Every setting of McpRequestBuilder, in the order of the block's fields.
std::span<const McpSetting> McpSettings();
// The unit of the setting's value ("ft", "kt or Mach", "deg"), empty when it has none.
const char* McpSettingUnit(const McpSetting& setting);
// The setting of that name or short name, or nullptr.
const McpSetting* FindMcpSetting(std::string_view name);

// Applies `value` (for a state: 0 off, 1 on) through the builder when the setting's rule takes
// it; otherwise leaves the builder as it was, says why in `error` and returns false.
bool ApplyMcpSetting(McpRequestBuilder& builder, const McpSetting& setting, double value,
                     std::string* error);

}  // namespace zelm
