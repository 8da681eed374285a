// File services the system's C library does not offer portably.
#pragma once

#include <cstddef>

namespace velkaro::platform {

// Appends `length` bytes to the file at `path` (created when missing) in one write that the
// system performs whole, so appends from several threads or processes never interleave. Text
// mode line ends: each line feed is stored as the platform's text line end (CR LF on Windows).
// False when the file cannot be opened or written; the bytes are then dropped.
bool AppendTextWhole(const char* path, const char* data, std::size_t length);

}  // namespace velkaro::platform
