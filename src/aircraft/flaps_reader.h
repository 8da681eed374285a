// The flaps reader: after each aircraft change it reads the trailing-edge flap detent angles
// from the aircraft.cfg that lies beside the aircraft file named by AircraftPath, into the
// bridge's AircraftFlapsTable. The frame conversion then turns the flap handle position into
// the detent angle.
//
// Simulator's thread only, once per aircraft change (never per frame), before the conversion of
// the same record.
#pragma once

#include <string>
#include <string_view>

#include "aircraft/flaps_table.h"

namespace velkaro {

// Strips leading and trailing spaces, tabs, line feeds and carriage returns.
std::string_view TrimText(std::string_view text);
// Not empty, and only digits, spaces, "." and a "-" in the first place.
bool IsNumericText(std::string_view text);

// The aircraft.cfg path for an aircraft file path: its folder (up to the last "\" or "/") and
// "aircraft.cfg" after the same separator. Empty when the path names no folder.
std::string AircraftConfigPath(std::string_view aircraft_path);

// Reads the detents of `config_path` into `table`: every entry -1.0 first, then the angles of
// the type-1 flaps sections, the first value for a detent winning. False, with the table
// untouched, when the file cannot be opened.
bool ReadFlapsTable(const std::string& config_path, FlapsTable& table);

// Bridge operation: reads the table for Bridge.AircraftPath.
void ReadAircraftFlaps();

}  // namespace velkaro
