// The flaps reader: after each aircraft change it reads the trailing-edge flap detent angles
// from the aircraft.cfg that lies beside the aircraft file named by AircraftPath, into the
// bridge's AircraftFlapsTable. The frame conversion then turns the flap handle position into
// the detent angle.
//
// Simulator's thread only, once per aircraft change (never per frame), before the conversion of
// the same record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "aircraft/flaps_table.h"
#include "log/log.h"
#include "platform/file.h"

namespace velkaro {

// The largest aircraft.cfg the reader takes. Real ones are tens of kilobytes; a larger file is
// refused whole, because reading it would hold up the simulator's frame.
inline constexpr std::size_t kMaxAircraftConfigBytes = 1024 * 1024;

// Strips leading and trailing spaces, tabs, line feeds and carriage returns.
std::string_view TrimText(std::string_view text);
// Not empty, and only digits, spaces, "." and a "-" in the first place.
bool IsNumericText(std::string_view text);

// The aircraft.cfg path for an aircraft file path: its folder (up to the last "\" or "/") and
// "aircraft.cfg" after the same separator. Empty when the path names no folder.
std::string AircraftConfigPath(std::string_view aircraft_path);

// The detents of aircraft.cfg text: every entry -1.0 first, then the angles of the type-1 flaps
// sections, the first value for a detent winning.
FlapsTable ParseFlapsTable(std::string_view text);

// Reads the detents of the file at `config_path` into `table` (as ParseFlapsTable). Only a
// regular file of at most kMaxAircraftConfigBytes is read, and opening it never waits; for
// anything else the result says why (with the system's error code in `system_error`, when given,
// for a file that cannot be opened or read) and the table is untouched, as it is when the
// reading throws (std::bad_alloc).
platform::FileReadResult ReadFlapsTable(const std::string& config_path, FlapsTable& table,
                                        int* system_error = nullptr);

// Reads `table` from the aircraft.cfg of the aircraft at `aircraft_path`; when there is no file
// to read, the table keeps what it held and a line in `log` tells why (with the system's error
// code and text when the system refused to open or read it).
void ReadAircraftFlaps(const std::string& aircraft_path, FlapsTable& table, DiagnosticLog& log);

}  // namespace velkaro
