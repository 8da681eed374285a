// zelm status: the add-on's status reply ("rSTATUS010", a JSON object) as a person reads it,
// and as JSON again for programs.
//
// A reply comes from an add-on of any version: a field may be missing, of another type than
// this zelm knows, or new to it. Whatever is there is shown (a value of an unexpected type as
// its JSON text, an unknown field under its own name); only text that is not a JSON object, or
// one nested deeper than kMaxStatusDepth, is refused. Texts from the reply are shown with their
// control characters escaped, so a reply cannot drive the terminal.
//
// Thread-safety: the functions keep no state.
#pragma once

#include <string>
#include <string_view>

namespace zelm {

// How deeply a status reply's arrays and objects may nest (the add-on's nest two levels).
inline constexpr int kMaxStatusDepth = 32;

// The reply as aligned "name: value" lines in human units, each ending in a line feed; false,
// with the reason in `error`, when the reply is not a JSON object.
bool FormatStatus(std::string_view reply, std::string* text, std::string* error);

// The reply pretty-printed (two-space indent, a line feed at the end); false as FormatStatus.
bool PrettyStatus(std::string_view reply, std::string* text, std::string* error);

}  // namespace zelm
