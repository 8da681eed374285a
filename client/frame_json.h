// A frame's fields as JSON values, one definition for `zelm frame --json` and the gateway's
// messages: numbers as JSON numbers (whole ones as integers, not-a-number and infinities as
// null), texts from 8-bit ISO 8859-1 into UTF-8 (which JSON requires), fields of several
// elements as arrays.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>

#include "zelm_client.h"

namespace zelm {

nlohmann::json ElementJson(const Frame& frame, const velkaro::FrameField& field, std::size_t index);
// The field's one element, or an array of all of them.
nlohmann::json FieldJson(const Frame& frame, const velkaro::FrameField& field);

}  // namespace zelm
