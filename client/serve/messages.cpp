#include "serve/messages.h"

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "common/frame_layout.h"
#include "frame_json.h"

namespace zelm::serve {

using velkaro::FrameField;
using velkaro::FrameRole;
using velkaro::FrameType;

namespace {

bool Carried(const FrameField& f) {
  return f.role == FrameRole::kValue;
}

}  // namespace

nlohmann::json FrameFields(const Frame& frame) {
  nlohmann::json fields = nlohmann::json::object();
  for (const FrameField& f : velkaro::kFrameFields) {
    if (Carried(f)) fields[f.name] = FieldJson(frame, f);
  }
  return fields;
}

nlohmann::json FrameUnits() {
  nlohmann::json units = nlohmann::json::object();
  for (const FrameField& f : velkaro::kFrameFields) {
    if (Carried(f)) units[f.name] = f.unit;
  }
  return units;
}

FrameFieldsWriter::FrameFieldsWriter() {
  for (const FrameField& f : velkaro::kFrameFields) {
    if (!Carried(f)) continue;
    std::string key = fields_.empty() ? "" : ",";
    AppendJsonString(&key, f.name);
    key += ':';
    const std::size_t key_length = key.size();
    fields_.push_back(Field{&f, std::move(key), key_length});
  }
}

const std::string& FrameFieldsWriter::Write(const Frame& frame) {
  text_.clear();
  text_ += '{';
  for (Field& field : fields_) {
    const FrameField& f = *field.layout;
    const std::size_t bytes = velkaro::FieldBytes(f);
    if (!have_last_ ||
        std::memcmp(frame.bytes.data() + f.offset, last_.bytes.data() + f.offset, bytes) != 0) {
      field.text.resize(field.key_length);
      AppendFieldJson(&field.text, frame, f);
    }
    text_ += field.text;
  }
  text_ += '}';
  last_ = frame;
  have_last_ = true;
  return text_;
}

std::string FrameMessage(std::string_view fields, std::uint64_t seq) {
  std::string out;
  out.reserve(fields.size() + 48);
  out += R"({"type":"frame","seq":)";
  out += std::to_string(seq);
  out += R"(,"fields":)";
  out += fields;
  out += '}';
  return out;
}

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json UpstreamJson(const UpstreamState& state) {
  nlohmann::json j{{"connected", state.connected},
                   {"error", state.error},
                   {"frames", state.frames},
                   {"reconnects", state.reconnects}};
  if (state.last_frame) {
    j["frame_age_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - *state.last_frame)
                            .count();
  } else {
    j["frame_age_ms"] = nullptr;
  }
  return j;
}

bool NestedDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, which may be a quote
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

nlohmann::json AddonStatusJson(const Upstream& upstream) {
  const std::string text = upstream.AddonStatus();
  if (text.empty()) return nullptr;
  // (The add-on session takes no status longer than protocol::kMaxStatusBytes.)
  if (NestedDeeperThan(text, kMaxAddonStatusDepth)) {
    return nlohmann::json{{"error", "the add-on's status nests deeper than " +
                                        std::to_string(kMaxAddonStatusDepth) +
                                        " levels and was not read"}};
  }
  nlohmann::json addon = nlohmann::json::parse(text, nullptr, false);
  return addon.is_discarded() ? nlohmann::json(nullptr) : addon;
}

bool ParseMcpSettings(const nlohmann::json& mcp, McpRequestBuilder* builder, std::string* error) {
  if (!mcp.is_object() || mcp.empty()) {
    *error = "\"mcp\" takes an object of settings, e.g. {\"ap\": true, \"hdg\": 270}";
    return false;
  }
  McpRequestBuilder built;
  // The name each setting was given by: a setting given twice, by its short name and an alias,
  // would leave which value counts to the order of the keys.
  std::vector<std::pair<const McpSetting*, std::string>> given;
  for (const auto& [name, value] : mcp.items()) {
    const McpSetting* setting = FindMcpSetting(name);
    if (setting == nullptr) {
      *error = "unknown autopilot setting \"" + name + "\"; the settings are " + McpSettingNames();
      return false;
    }
    for (const auto& [earlier, earlier_name] : given) {
      if (earlier == setting) {
        *error = std::string(setting->name) + " is given twice, as \"" + earlier_name +
                 "\" and as \"" + name + "\"";
        return false;
      }
    }
    given.emplace_back(setting, name);
    double number = 0;
    if (setting->role == McpSettingRole::kState) {
      if (!value.is_boolean()) {
        *error = name + " takes true or false";
        return false;
      }
      number = value.get<bool>() ? 1 : 0;
    } else {
      if (!value.is_number()) {
        *error = name + " takes a number";
        return false;
      }
      number = value.get<double>();
    }
    if (!ApplyMcpSetting(built, *setting, number, error)) return false;
  }
  *builder = built;
  return true;
}

}  // namespace zelm::serve
