#include "frame_json.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

using velkaro::FrameField;
using velkaro::FrameType;

namespace {

// 8-bit text (ISO 8859-1, as the frame's texts are taken) as UTF-8, which JSON requires.
std::string Latin1AsUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

nlohmann::json ElementJson(const Frame& frame, const FrameField& f, std::size_t index) {
  if (f.type == FrameType::kText) return Latin1AsUtf8(frame.TextAt(f, index));
  const double value = frame.NumberAt(f, index);
  if (!std::isfinite(value)) return nullptr;
  // Integers, and doubles that hold a whole number exactly, as integers ("12345", not
  // "12345.0"), as this output always showed them.
  constexpr double kExactWhole = 9007199254740992.0;  // 2^53
  const bool negative_zero = value == 0.0 && std::signbit(value);
  if (value == std::trunc(value) && std::fabs(value) <= kExactWhole && !negative_zero) {
    return static_cast<std::int64_t>(value);
  }
  return value;
}

nlohmann::json FieldJson(const Frame& frame, const FrameField& f) {
  if (f.count == 1) return ElementJson(frame, f, 0);
  nlohmann::json all = nlohmann::json::array();
  for (std::size_t i = 0; i < f.count; ++i) all.push_back(ElementJson(frame, f, i));
  return all;
}

}  // namespace zelm
