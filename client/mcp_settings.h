// The autopilot settings a client may ask for by name, with their kinds and the values that make
// sense for them: one table for every front end that takes settings as text or JSON (the zelm
// mcp command, the gateway's browser and MQTT commands), so each accepts and refuses the same
// values and builds the block with the same McpRequestBuilder.
//
// Names are short and stable: "ap", "hdg", "alt", "spd_ref", ...; the zelm command takes them as
// options with dashes ("--spd-ref").
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "zelm_client.h"

namespace zelm {

enum class McpSettingKind { kSwitch, kNumber };

struct McpSetting {
  const char* name;
  McpSettingKind kind;
  double min;  // numbers only: the accepted range, inclusive
  double max;
  const char* unit;
  const char* help;
  McpRequestBuilder& (McpRequestBuilder::*set_switch)(bool);
  McpRequestBuilder& (McpRequestBuilder::*set_number)(double);
  bool minus_one_means_none = false;  // the block's "no request" value, refused as a value
};

// Every setting, in the order the help lists them.
std::span<const McpSetting> McpSettings();

// The setting of that name; nullptr when there is none.
const McpSetting* FindMcpSetting(std::string_view name);

// Applies one setting to `builder`: true, or false with the reason in `error` (a number out of
// range or not finite) and the builder unchanged.
bool ApplyMcpSwitch(McpRequestBuilder& builder, const McpSetting& setting, bool on,
                    std::string* error);
bool ApplyMcpNumber(McpRequestBuilder& builder, const McpSetting& setting, double value,
                    std::string* error);

}  // namespace zelm
