#include "serve/messages.h"

#include <chrono>
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

void AppendFrameFields(std::string* out, const Frame& frame) {
  // Each carried field's key, with the comma before it, written once.
  struct Key {
    const FrameField* field;
    std::string text;  // ,"name":
  };
  static const std::vector<Key> keys = [] {
    std::vector<Key> all;
    for (const FrameField& f : velkaro::kFrameFields) {
      if (!Carried(f)) continue;
      std::string text = all.empty() ? "" : ",";
      AppendJsonString(&text, f.name);
      all.push_back(Key{&f, text + ':'});
    }
    return all;
  }();
  *out += '{';
  for (const Key& key : keys) {
    *out += key.text;
    AppendFieldJson(out, frame, *key.field);
  }
  *out += '}';
}

std::string FrameMessage(const Frame& frame, std::uint64_t seq) {
  static constexpr std::size_t kTypicalBytes = 8 * 1024;
  std::string out;
  out.reserve(kTypicalBytes);
  out += R"({"type":"frame","seq":)";
  out += std::to_string(seq);
  out += R"(,"fields":)";
  AppendFrameFields(&out, frame);
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

nlohmann::json AddonStatusJson(const Upstream& upstream) {
  const std::string text = upstream.AddonStatus();
  if (text.empty()) return nullptr;
  nlohmann::json addon = nlohmann::json::parse(text, nullptr, false);
  return addon.is_discarded() ? nlohmann::json(nullptr) : addon;
}

bool ParseMcpSettings(const nlohmann::json& mcp, McpRequestBuilder* builder, std::string* error) {
  if (!mcp.is_object() || mcp.empty()) {
    *error = "\"mcp\" takes an object of settings, e.g. {\"ap\": true, \"hdg\": 270}";
    return false;
  }
  McpRequestBuilder built;
  for (const auto& [name, value] : mcp.items()) {
    const McpSetting* setting = FindMcpSetting(name);
    if (setting == nullptr) {
      *error = "unknown autopilot setting \"" + name + "\"";
      return false;
    }
    double number = 0;
    if (setting->kind == McpSettingKind::kState) {
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
