#include "frame_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace zelm {

using velkaro::FrameField;
using velkaro::FrameType;

namespace {

std::string Latin1AsUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendLatin1AsUtf8(&out, text);
  return out;
}

void AppendElementJson(std::string* out, const Frame& frame, const FrameField& f,
                       std::size_t index) {
  if (f.type == FrameType::kText) {
    std::string utf8;
    AppendLatin1AsUtf8(&utf8, frame.TextAt(f, index));
    AppendJsonString(out, utf8);
    return;
  }
  const double value = frame.NumberAt(f, index);
  char digits[32];
  std::to_chars_result end{};
  switch (NumberFormOf(value)) {
    case NumberForm::kNull:
      *out += "null";
      return;
    case NumberForm::kWhole:
      end = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(value));
      break;
    case NumberForm::kOther:
      // The fewest digits that read back as the same double; one that has neither a point nor
      // an exponent ("-0", "9007199254740994") gets ".0", so it is read back as a double too.
      end = std::to_chars(digits, digits + sizeof digits, value);
      if (std::find_if(digits, end.ptr, [](char c) { return c == '.' || c == 'e'; }) == end.ptr) {
        *end.ptr++ = '.';
        *end.ptr++ = '0';
      }
      break;
  }
  out->append(digits, end.ptr);
}

}  // namespace

NumberForm NumberFormOf(double value) {
  if (!std::isfinite(value)) return NumberForm::kNull;
  // Integers, and doubles that hold a whole number exactly, as integers ("12345", not
  // "12345.0"), as this output always showed them.
  constexpr double kExactWhole = 9007199254740992.0;  // 2^53
  const bool negative_zero = value == 0.0 && std::signbit(value);
  if (value == std::trunc(value) && std::fabs(value) <= kExactWhole && !negative_zero) {
    return NumberForm::kWhole;
  }
  return NumberForm::kOther;
}

void AppendLatin1AsUtf8(std::string* out, std::string_view text) {
  for (const unsigned char c : text) {
    if (c < 0x80) {
      *out += static_cast<char>(c);
    } else {
      *out += static_cast<char>(0xC0 | (c >> 6));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

void AppendJsonString(std::string* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out += '"';
  std::size_t plain = 0;  // the start of the characters not yet appended, which need no escape
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(text.data() + plain, i - plain);
    plain = i + 1;
    if (c == '"' || c == '\\') {
      const char escape[] = {'\\', static_cast<char>(c)};
      out->append(escape, sizeof escape);
    } else {
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out->append(escape, sizeof escape);
    }
  }
  out->append(text.data() + plain, text.size() - plain);
  *out += '"';
}

nlohmann::json ElementJson(const Frame& frame, const FrameField& f, std::size_t index) {
  if (f.type == FrameType::kText) return Latin1AsUtf8(frame.TextAt(f, index));
  const double value = frame.NumberAt(f, index);
  switch (NumberFormOf(value)) {
    case NumberForm::kNull:
      return nullptr;
    case NumberForm::kWhole:
      return static_cast<std::int64_t>(value);
    case NumberForm::kOther:
      break;
  }
  return value;
}

nlohmann::json FieldJson(const Frame& frame, const FrameField& f) {
  if (f.count == 1) return ElementJson(frame, f, 0);
  nlohmann::json all = nlohmann::json::array();
  for (std::size_t i = 0; i < f.count; ++i) all.push_back(ElementJson(frame, f, i));
  return all;
}

void AppendFieldJson(std::string* out, const Frame& frame, const FrameField& f) {
  if (f.count == 1) {
    AppendElementJson(out, frame, f, 0);
    return;
  }
  *out += '[';
  for (std::size_t i = 0; i < f.count; ++i) {
    if (i > 0) *out += ',';
    AppendElementJson(out, frame, f, i);
  }
  *out += ']';
}

}  // namespace zelm
