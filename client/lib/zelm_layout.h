// libzelm's description of the wire for clients in other languages: the frame table, the
// autopilot block table with its check value and its settings, and the protocol's tags and
// bounds, as one JSON document. It is written from the same definitions the add-on and libzelm
// use (common/frame_layout.h, common/mcp_block.h, common/mcp_settings.h, common/protocol.h), so a
// client that decodes and builds through it agrees with them; the Python package ships it as
// clients/python/zelm/layout.json (a test keeps that file equal to LayoutJson()).
//
// Also here: the autopilot settings by name, with the rule each value must pass, for front ends
// that take settings as text (zelm mcp, the gateway's JSON).
//
// Thread-safety: everything here is read-only or works on the caller's objects.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/mcp_settings.h"
#include "zelm_client.h"

namespace zelm {

// Version of the document's own shape; raised when a key is removed or changes its meaning
// (new keys do not raise it).
inline constexpr int kLayoutDocumentVersion = 1;

// The layout document: UTF-8 JSON, two-space indents, keys in a fixed order, ending in a line end.
std::string LayoutJson();

// The autopilot settings (common/mcp_settings.h): one row each, with the short name every front
// end takes and the older spellings it still accepts.
using McpSetting = velkaro::McpSetting;
using McpSettingRole = velkaro::McpSettingRole;
using McpSettingRule = velkaro::McpSettingRule;

// Every setting, in the order of the block's fields.
std::span<const McpSetting> McpSettings();
// The unit of the setting's value ("ft", "kt or Mach", "deg"), empty when it has none.
const char* McpSettingUnit(const McpSetting& setting);
// The setting of that short name or alias ("hdg", "heading"), or nullptr.
const McpSetting* FindMcpSetting(std::string_view name);
// The short names, for a message that refuses an unknown one: "alt, vs, spd, ...".
std::string McpSettingNames();

// Writes `value` (for a state: 0 off, 1 on) into the builder's block when the setting's rule and
// range take it; otherwise leaves the builder as it was, says why in `error` ("hdg takes 0 to
// 360 deg, not 2700") and returns false.
bool ApplyMcpSetting(McpRequestBuilder& builder, const McpSetting& setting, double value,
                     std::string* error);

}  // namespace zelm
