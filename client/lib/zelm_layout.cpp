#include "zelm_layout.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "common/coding.h"
#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "common/mcp_settings.h"
#include "common/protocol.h"

namespace zelm {

namespace protocol = velkaro::protocol;
using velkaro::FrameField;
using velkaro::FrameRole;
using velkaro::FrameType;
using velkaro::McpField;
using velkaro::McpType;
using Json = nlohmann::ordered_json;

namespace {

// What the block's table leaves to comments: each field's role, unit and meaning. One row per
// field of common/mcp_block.h, in its order; the checks below hold the two together.
struct McpFieldNotes {
  const char* name;
  const char* role;
  const char* unit;
  const char* meaning;
};

// clang-format off
constexpr McpFieldNotes kMcpNotes[] = {
  {"magic",                  "magic",     "",       "\"ZELM20\" and its NUL, then one free byte; the add-on does not check it"},
  {"altitudeRequest",        "request",   "ft",     "engage altitude hold and set the altitude; -1.0 none"},
  {"verticalSpeedRequest",   "request",   "ft/min", "set the vertical speed; -1.0 none"},
  {"speedRequest",           "request",   "kt or Mach", "engage speed hold: above 0 and below 2.0 a Mach number, else knots; negative none"},
  {"headingRequest",         "request",   "deg",    "engage heading hold and set the heading bug; negative none"},
  {"reserved1",              "reserved",  "",       "carried by the merge, not acted upon"},
  {"reserved2",              "reserved",  "",       "carried by the merge, not acted upon"},
  {"reserved3",              "reserved",  "",       "carried by the merge, not acted upon"},
  {"speedReference",         "reference", "kt",     "speed reference, sent in whole knots"},
  {"n1Reference",            "reference", "",       "N1 reference, sent in whole units"},
  {"machReference",          "reference", "",       "Mach reference, sent in hundredths"},
  {"altitudeReference",      "reference", "ft",     "altitude reference, sent in hundreds of feet"},
  {"verticalSpeedReference", "reference", "ft/min", "vertical speed reference, sent in hundreds of feet per minute"},
  {"headingBug",             "reference", "deg",    "heading bug, sent in whole degrees"},
  {"nav1Course",             "reference", "deg",    "NAV1 course, sent in whole degrees"},
  {"changeFlags",            "flags",     "",       "one bit per changed state or reference; other bits are carried and have no effect"},
  {"apMaster",               "state",     "",       "autopilot master: 0 off, 1 on"},
  {"autothrottleArm",        "state",     "",       "autothrottle arm: 0 off, 1 on"},
  {"flightDirector",         "state",     "",       "flight director: 0 off, 1 on"},
  {"speedHold",              "state",     "",       "airspeed hold: 0 off, 1 on"},
  {"n1Hold",                 "state",     "",       "N1 (RPM) hold: 0 off, 1 on"},
  {"machHold",               "state",     "",       "Mach hold: 0 off, 1 on"},
  {"altitudeHold",           "state",     "",       "altitude hold: 0 off, 1 on"},
  {"reserved131",            "reserved",  "",       "carried by the merge, not acted upon"},
  {"headingHold",            "state",     "",       "heading hold: 0 off, 1 on"},
  {"reserved134",            "reserved",  "",       "carried by the merge, not acted upon"},
  {"locHold",                "state",     "",       "NAV1 (localizer) hold: 0 off, 1 on"},
  {"approachHold",           "state",     "",       "approach hold: 0 off, 1 on"},
  {"reserved137",            "reserved",  "",       "carried by the merge, not acted upon"},
  {"unused139",              "unused",    "",       "never read, never copied"},
};
// clang-format on

consteval bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Every field has its notes, in the table's order, and the role agrees with what the table says
// of the field: a state is a flagged byte, a reference a flagged f64, a request an unflagged f64.
consteval bool McpNotesMatchTheBlock() {
  if (std::size(kMcpNotes) != std::size(velkaro::mcp_fields::kAll)) return false;
  for (std::size_t i = 0; i < std::size(kMcpNotes); ++i) {
    const McpField& f = velkaro::mcp_fields::kAll[i];
    const McpFieldNotes& n = kMcpNotes[i];
    if (!SameText(f.name, n.name)) return false;
    const bool flagged = f.bit != velkaro::kNoFlag;
    if (SameText(n.role, "state") != (flagged && f.type == McpType::kU8)) return false;
    if (SameText(n.role, "reference") != (flagged && f.type == McpType::kF64)) return false;
    if (SameText(n.role, "request") && (flagged || f.type != McpType::kF64)) return false;
  }
  return true;
}
static_assert(McpNotesMatchTheBlock(), "every autopilot block field has its notes, in order");

// The notes and the settings agree: each state, reference and request field has exactly one
// setting (common/mcp_settings.h proves the field's kind), with the unit its notes give.
consteval bool SettingsMatchTheNotes() {
  for (const McpFieldNotes& n : kMcpNotes) {
    const bool settable =
        SameText(n.role, "state") || SameText(n.role, "reference") || SameText(n.role, "request");
    int settings = 0;
    for (const McpSetting& s : velkaro::mcp_settings::kAll) {
      if (!SameText(s.field, n.name)) continue;
      ++settings;
      if (!SameText(s.unit, n.unit)) return false;
    }
    if (settings != (settable ? 1 : 0)) return false;
  }
  return true;
}
static_assert(SettingsMatchTheNotes(),
              "a field the notes call settable has no setting or two, or its unit differs");

// The block field of that name; the settings table names only fields that exist.
const McpField& McpFieldByName(std::string_view name) {
  for (const McpField& f : velkaro::kMcpFields) {
    if (name == f.name) return f;
  }
  return velkaro::kMcpFields.front();
}

const char* TypeName(FrameType type) {
  switch (type) {
    case FrameType::kF64:
      return "f64";
    case FrameType::kI32:
      return "i32";
    case FrameType::kU8:
      return "u8";
    case FrameType::kText:
      return "text";
  }
  return "";
}

const char* TypeName(McpType type) {
  switch (type) {
    case McpType::kF64:
      return "f64";
    case McpType::kU32:
      return "u32";
    case McpType::kU8:
      return "u8";
    case McpType::kText:
      return "text";
    case McpType::kBytes:
      return "bytes";
  }
  return "";
}

const char* RoleName(FrameRole role) {
  switch (role) {
    case FrameRole::kValue:
      return "value";
    case FrameRole::kFixed:
      return "fixed";
    case FrameRole::kStartup:
      return "startup";
  }
  return "";
}

const char* RoleName(McpSettingRole role) {
  switch (role) {
    case McpSettingRole::kState:
      return "state";
    case McpSettingRole::kReference:
      return "reference";
    case McpSettingRole::kRequest:
      return "request";
  }
  return "";
}

const char* RuleName(McpSettingRule rule) {
  switch (rule) {
    case McpSettingRule::kOnOff:
      return "onOff";
    case McpSettingRule::kNumber:
      return "number";
    case McpSettingRule::kNumberExceptNone:
      return "numberExceptNone";
    case McpSettingRule::kNonNegativeNumber:
      return "nonNegativeNumber";
  }
  return "";
}

// A number of a field of type `type`: whole for the integer types, a real for f64.
Json TypedNumber(bool integer, double value) {
  if (integer) return static_cast<long long>(value);
  return value;
}

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    out += pair;
  }
  return out;
}

Json TypesJson() {
  Json types = Json::object();
  types["f64"] = {{"size", 8}, {"meaning", "IEEE 754 double, little-endian"}};
  types["i32"] = {{"size", 4},
                  {"meaning", "signed 32-bit integer, two's complement, little-endian"}};
  types["u32"] = {{"size", 4}, {"meaning", "unsigned 32-bit integer, little-endian"}};
  types["u8"] = {{"size", 1}, {"meaning", "one byte; a flag or state is 0 or 1"}};
  types["text"] = {{"size", nullptr},
                   {"meaning",
                    "8-bit characters, a NUL and zero fill; elementSize bytes per element, so at "
                    "most elementSize - 1 characters"}};
  types["bytes"] = {{"size", 1}, {"meaning", "opaque bytes"}};
  return types;
}

Json Command(std::string_view tag, const char* request, const char* reply) {
  return {{"tag", std::string(tag)}, {"request", request}, {"reply", reply}};
}

Json ProtocolJson() {
  Json commands = Json::object();
  commands["frame"] = Command(protocol::kTagFrame, "nothing",
                              "the latest frame (frame.size bytes); a connection that already has "
                              "it waits up to freshFrameWaitMs for the next, then gets it again");
  commands["fmcRead"] = Command(protocol::kTagFmcRead, "nothing",
                                "u32 length N (at most maxUploadBytes), N bytes of FMC data, u32 "
                                "version word");
  commands["fmcVersion"] = Command(protocol::kTagFmcVersion, "nothing",
                                   "the first fmcHeadBytes of the FMC data, zero-filled when "
                                   "shorter; all 0xFF when none is stored");
  commands["mcpStore"] =
      Command(protocol::kTagMcpStore, "the autopilot block (mcp.size bytes), u32 check value",
              "none; a block whose check value does not match is dropped silently");
  commands["fmcStore"] = Command(protocol::kTagFmcStore,
                                 "u32 length N (minUploadBytes to maxUploadBytes), N bytes, u32 "
                                 "version word",
                                 "none; a refused upload ends the connection");
  commands["flightPlanStore"] =
      Command(protocol::kTagFlightPlanStore,
              "u32 length N (minUploadBytes to maxUploadBytes), N bytes, u32 version word",
              "none; a refused upload ends the connection; nothing reads it back");
  commands["status"] = Command(protocol::kTagStatus, "nothing",
                               "u32 length N (at most maxStatusBytes), N bytes of UTF-8 JSON; an "
                               "add-on before 1.1 sends nothing, so do not wait long");
  Json p = Json::object();
  p["defaultPort"] = protocol::kDefaultPort;
  p["tagSize"] = protocol::kTagSize;
  p["wordBytes"] = protocol::kWordBytes;
  p["fmcHeadBytes"] = protocol::kFmcHeadBytes;
  p["minUploadBytes"] = 1;
  p["maxUploadBytes"] = protocol::kMaxUploadBytes;
  p["maxStatusBytes"] = protocol::kMaxStatusBytes;
  p["freshFrameWaitMs"] = protocol::kFreshFrameWaitMs;
  p["meaning"] =
      "The client sends tagSize-byte ASCII command tags, some followed by a payload; replies come "
      "in the order of the requests. Every length, version word and check value is a u32. Unknown "
      "tags are ignored; there is no greeting, acknowledgement or error reply.";
  p["commands"] = std::move(commands);
  return p;
}

Json FrameJson() {
  Json fields = Json::array();
  for (const FrameField& f : velkaro::kFrameFields) {
    const bool integer = f.type == FrameType::kI32 || f.type == FrameType::kU8;
    Json field = Json::object();
    field["name"] = f.name;
    field["offset"] = f.offset;
    field["type"] = TypeName(f.type);
    field["count"] = f.count;
    field["elementSize"] = velkaro::ElementWidth(f);
    field["size"] = velkaro::FieldBytes(f);
    field["unit"] = f.unit;
    field["role"] = RoleName(f.role);
    if (f.role == FrameRole::kFixed) {
      if (f.fixed.is_text) {
        field["constant"] = f.fixed.text;
      } else {
        field["constant"] = TypedNumber(integer, f.fixed.number);
      }
    }
    if (f.type == FrameType::kText) {
      field["start"] = "";
    } else {
      field["start"] = TypedNumber(integer, f.start);
    }
    field["meaning"] = f.meaning;
    fields.push_back(std::move(field));
  }
  Json frame = Json::object();
  frame["size"] = velkaro::kFrameSize;
  frame["magic"] = protocol::kFrameMagic;
  frame["meaning"] =
      "The aircraft-state frame. Fields of count elements hold them back to back: for radio "
      "fields element 0 is receiver 1, for engine fields element e-1 is engine e. Roles: value "
      "carries the aircraft's state; fixed holds its constant in every element once the first "
      "frame is converted; startup keeps its start value. Bytes that no field covers are zero. A "
      "reply that does not begin with the magic and its NUL is not a frame.";
  frame["fields"] = std::move(fields);
  return frame;
}

Json CheckValueJson() {
  Json check = Json::object();
  check["initial"] = 31;
  check["multiplier"] = 54059;
  check["byteMultiplier"] = 76963;
  check["modulus"] = 4294967296LL;
  check["meaning"] =
      "h = initial; for each byte of the block in order: v = the magnitude of the byte read as a "
      "signed 8-bit value (0x01 and 0xFF give 1, 0x80 gives 128); h = (h * multiplier) XOR "
      "(v * byteMultiplier), modulo modulus. Sent as a u32 after the block.";
  // Worked examples, computed by the add-on's own function.
  Json examples = Json::array();
  auto example = [&](const char* what, const velkaro::McpBlock& block) {
    examples.push_back({{"block", what},
                        {"bytes", Hex(block.data(), block.size())},
                        {"value", velkaro::McpCheckValue(block.data())}});
  };
  velkaro::McpBlock block{};
  example("all zero", block);
  block.back() = 0x01;
  example("zero, last byte 0x01", block);
  block.back() = 0xFF;
  example("zero, last byte 0xFF", block);
  block.fill(0);
  block.front() = 0x80;
  example("zero, first byte 0x80", block);
  example("start values (nothing requested, nothing changed)", McpRequestBuilder().block());
  check["examples"] = std::move(examples);
  return check;
}

Json McpJson() {
  Json fields = Json::array();
  for (std::size_t i = 0; i < velkaro::kMcpFields.size(); ++i) {
    const McpField& f = velkaro::kMcpFields[i];
    const McpFieldNotes& notes = kMcpNotes[i];
    Json field = Json::object();
    field["name"] = f.name;
    field["offset"] = f.offset;
    field["type"] = TypeName(f.type);
    // A text is one element of its whole width, as in the frame's table.
    const bool text = f.type == McpType::kText;
    field["count"] = text ? 1 : f.count;
    field["elementSize"] = text ? velkaro::McpFieldBytes(f) : velkaro::McpElementWidth(f);
    field["size"] = velkaro::McpFieldBytes(f);
    field["unit"] = notes.unit;
    field["role"] = notes.role;
    field["bit"] = f.bit == velkaro::kNoFlag ? Json(nullptr) : Json(f.bit);
    if (f.offset == velkaro::mcp::kMagic) {
      field["start"] = velkaro::kMcpMagic;
    } else if (f.type == McpType::kBytes) {
      field["start"] = 0;
    } else {
      field["start"] = TypedNumber(f.type != McpType::kF64, f.start);
    }
    field["meaning"] = notes.meaning;
    fields.push_back(std::move(field));
  }
  Json settings = Json::array();
  for (const McpSetting& s : velkaro::kMcpSettings) {
    const McpField& f = McpFieldByName(s.field);
    Json aliases = Json::array();
    for (const char* alias : s.aliases) {
      if (alias != nullptr) aliases.push_back(alias);
    }
    Json setting = Json::object();
    // "name" and "alias" are the keys of the first documents: the lowerCamelCase spelling (the
    // first alias) and the short name.
    setting["name"] = s.aliases[0];
    setting["shortName"] = s.name;
    setting["aliases"] = std::move(aliases);
    setting["field"] = s.field;
    setting["kind"] = RoleName(s.role);
    setting["accepts"] = RuleName(s.rule);
    if (s.role == McpSettingRole::kRequest) setting["none"] = f.start;
    setting["alias"] = s.name;
    setting["unit"] = s.unit;
    if (s.role != McpSettingRole::kState) {
      setting["min"] = s.min;
      setting["max"] = s.max;
    }
    setting["meaning"] = s.meaning;
    settings.push_back(std::move(setting));
  }
  Json mcp = Json::object();
  mcp["size"] = velkaro::kMcpBlockSize;
  mcp["magic"] = velkaro::kMcpMagic;
  mcp["meaning"] =
      "The autopilot panel block a client uploads with the mcpStore command. A new block has "
      "every field at its start value (the magic with its NUL at its offset). A setting fills its "
      "field; a state or reference also sets its bit in changeFlags (the add-on acts on a state "
      "or reference only when its bit is set), a request has no bit. A state is 0 or 1; every "
      "number is finite. accepts: onOff a state; number any number; numberExceptNone any number "
      "but the field's none value; nonNegativeNumber 0 or more. A setting's shortName is the name "
      "every front end takes (zelm mcp --NAME, the gateway's JSON, Python's keywords); its "
      "aliases, older spellings, are accepted too; name and alias repeat the first alias and the "
      "short name for readers of earlier documents. kind is its role; min and max, inclusive, "
      "bound the numbers a panel can dial.";
  mcp["checkValue"] = CheckValueJson();
  mcp["fields"] = std::move(fields);
  mcp["settings"] = std::move(settings);
  return mcp;
}

}  // namespace

std::string LayoutJson() {
  Json doc = Json::object();
  doc["document"] = "zelm layout";
  doc["documentVersion"] = kLayoutDocumentVersion;
  doc["meaning"] =
      "The wire formats of the Velkaro add-on for Zelm clients: encodings, the command protocol, "
      "the aircraft-state frame and the autopilot block. Offsets and sizes are in bytes.";
  doc["byteOrder"] = "little";
  doc["types"] = TypesJson();
  doc["protocol"] = ProtocolJson();
  doc["frame"] = FrameJson();
  doc["mcp"] = McpJson();
  return doc.dump(2) + "\n";
}

std::span<const McpSetting> McpSettings() {
  return velkaro::kMcpSettings;
}

const char* McpSettingUnit(const McpSetting& setting) {
  return setting.unit;
}

const McpSetting* FindMcpSetting(std::string_view name) {
  for (const McpSetting& s : velkaro::kMcpSettings) {
    if (name == s.name) return &s;
    for (const char* alias : s.aliases) {
      if (alias != nullptr && name == alias) return &s;
    }
  }
  return nullptr;
}

std::string McpSettingNames() {
  std::string names;
  for (const McpSetting& s : velkaro::kMcpSettings) {
    if (!names.empty()) names += ", ";
    names += s.name;
  }
  return names;
}

bool ApplyMcpSetting(McpRequestBuilder& builder, const McpSetting& setting, double value,
                     std::string* error) {
  auto refuse = [&](const std::string& why) {
    if (error != nullptr) *error = std::string(setting.name) + " " + why;
    return false;
  };
  if (!std::isfinite(value)) return refuse("takes a finite number");
  switch (setting.rule) {
    case McpSettingRule::kOnOff:
      if (value != 0.0 && value != 1.0) return refuse("takes on (1) or off (0)");
      break;
    case McpSettingRule::kNumberExceptNone:
      if (value == McpFieldByName(setting.field).start) {
        return refuse("-1 means no request; leave the setting out instead");
      }
      break;
    case McpSettingRule::kNonNegativeNumber:
      if (value < 0.0) return refuse("takes a value of 0 or more");
      break;
    case McpSettingRule::kNumber:
      break;
  }
  if (value < setting.min || value > setting.max) {
    char range[96];
    std::snprintf(range, sizeof range, "takes %g to %g%s%s, not %g", setting.min, setting.max,
                  *setting.unit != '\0' ? " " : "", setting.unit, value);
    return refuse(range);
  }
  builder.Write(setting, value);
  return true;
}

}  // namespace zelm
