// Text from the add-on made safe to show on a terminal: zelm frame's texts and zelm status's
// names and values go through it, so neither a frame nor a status reply can drive the terminal.
//
// Thread-safety: keeps no state.
#pragma once

#include <string>
#include <string_view>

namespace zelm {

// `text` (UTF-8, or any bytes) with the C0 control characters and DEL escaped as "\x1b", and
// the C1 control characters, as UTF-8 encodes them (0xC2 0x80 to 0xC2 0x9F), as "\u009b". Every
// other byte is kept as it is, so UTF-8 text reads as it came.
std::string Printable(std::string_view text);

}  // namespace zelm
