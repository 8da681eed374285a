// A frame's fields as JSON values, one definition for `zelm frame --json` and the gateway's
// messages: numbers as JSON numbers (whole ones as integers, not-a-number and infinities as
// null), texts from 8-bit ISO 8859-1 into UTF-8 (which JSON requires), fields of several
// elements as arrays.
//
// Each value comes two ways: as an nlohmann::json value, and appended to a text directly (the
// gateway writes every field of every frame, and building the tree first costs several times
// as much). Both take the element's form from NumberFormOf and its text from AppendLatin1AsUtf8.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "zelm_client.h"

namespace zelm {

enum class NumberForm {
  kNull,   // not finite
  kWhole,  // a whole number a double holds exactly (and not -0): written as an integer
  kOther,
};
NumberForm NumberFormOf(double value);

// 8-bit text (ISO 8859-1, as the frame's texts are taken) as UTF-8, which JSON requires.
void AppendLatin1AsUtf8(std::string* out, std::string_view text);

nlohmann::json ElementJson(const Frame& frame, const velkaro::FrameField& field, std::size_t index);
// The field's one element, or an array of all of them.
nlohmann::json FieldJson(const Frame& frame, const velkaro::FrameField& field);

// The same values as JSON text: `text` as a JSON string (quoted and escaped), FieldJson's value
// of the field.
void AppendJsonString(std::string* out, std::string_view text);
void AppendFieldJson(std::string* out, const Frame& frame, const velkaro::FrameField& field);

}  // namespace zelm
