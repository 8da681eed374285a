// The gateway's JSON messages, one definition for the browser side and the MQTT side.
//
// To a client:
//   {"type":"hello", "gateway":VERSION, "units":{NAME:UNIT,...}, "upstream":{...}}  once
//   {"type":"frame", "seq":N, "fields":{NAME:VALUE or [VALUE,...], ...}}  each new frame;
//       the fields are the frame layout's data-carrying fields, by the layout's names (the
//       names of `zelm frame --json`)
//   {"type":"upstream", "connected":BOOL, "error":TEXT, ...}  on each change
//   {"type":"mcp_result", "id":ID, "ok":true} / {"type":"mcp_result", "id":ID, "ok":false,
//       "error":TEXT}  the answer to a command; {"type":"error","error":TEXT} for a message that
//       is not a command at all
// From a client:
//   {"mcp": {"ap": true, "hdg": 270, "alt": 12000}, "id": ANY}  settings by their short names
//       (common/mcp_settings.h; the older spellings "apMaster", "ap_master" are accepted too);
//       switches take true/false, numbers a number the setting takes
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "serve/upstream.h"
#include "zelm_client.h"
#include "zelm_layout.h"

namespace zelm::serve {

// The data-carrying fields of a frame, by name.
nlohmann::json FrameFields(const Frame& frame);
// The unit of every data-carrying field.
nlohmann::json FrameUnits();

// Writes frame after frame's FrameFields as JSON text ({"name":value,...}, in the layout's order),
// the text the browser side and the MQTT side send: every field of every frame goes out this way.
// It is written straight into the text (building the tree first costs several times as much), and
// only the fields whose bytes changed since the last frame are written afresh: between two frames
// most fields keep their value. Not thread-safe: one writer per thread.
class FrameFieldsWriter {
 public:
  FrameFieldsWriter();
  // The text of `frame`, valid until the next call.
  const std::string& Write(const Frame& frame);

 private:
  struct Field {
    const velkaro::FrameField* layout;
    std::string text;  // the key (after a comma but for the first) and the value: ,"name":value
    std::size_t key_length;
  };
  std::vector<Field> fields_;
  Frame last_;
  bool have_last_ = false;
  std::string text_;
};

// The frame message of `fields` (a FrameFieldsWriter's text).
std::string FrameMessage(std::string_view fields, std::uint64_t seq);
// JSON text; anything not UTF-8 that slipped into a value becomes U+FFFD, never an exception.
std::string Dump(const nlohmann::json& value);
nlohmann::json UpstreamJson(const UpstreamState& state);
// The add-on's last status reply as JSON; null when it has none or it is not JSON.
nlohmann::json AddonStatusJson(const Upstream& upstream);
// The add-on's status is taken as JSON up to this deep; a deeper one is refused unread, since
// copying and writing JSON recurse once per level.
inline constexpr int kMaxAddonStatusDepth = 32;

// Whether the JSON text `text` nests arrays and objects deeper than `limit` (outside strings).
bool NestedDeeperThan(std::string_view text, int limit);

// Builds the block of an "mcp" object: true, or false with the reason in `error` and nothing
// to send (an empty object, an unknown name, which the reason follows with the short names, a
// setting given twice under two names, a value of the wrong type or out of range).
bool ParseMcpSettings(const nlohmann::json& mcp, McpRequestBuilder* builder, std::string* error);

}  // namespace zelm::serve
