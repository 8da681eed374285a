// velkaro-sim's console: the lines it takes on standard input while the simulator runs, and what
// its command line shares with them (pins, the aircraft file, the list of variables).
//
//   aircraft PATH              load another aircraft ("AircraftLoaded"), with the title in its
//                              aircraft.cfg
//   set NAME=VALUE [UNIT]      pin a variable, in the units the add-on registered for it, or in
//                              UNIT of the same kind (nan, inf and -inf too); a text
//                              variable takes its text
//   unset NAME                 unpin it: the stand-in's model drives it again
//   vars                       the variables the add-on registered, with units and type
//   help                       these commands
//   quit                       stop
//
// Variables are those the add-on registered with the stand-in SimConnect (the stand-in's own
// record of its AddToDataDefinition calls), so names, units and text lengths are always the ones
// the add-on receives. Every answer is text to show, lines ending in a line feed, each but the
// table of variables beginning "velkaro-sim: ".
//
// Not thread-safe: called on velkaro-sim's frame loop thread, where the stand-in's control
// interface is used.
#pragma once

#include <string>
#include <string_view>

#include "simconnect/standin_api.h"

namespace velkaro::standin {

// One console line's answer, and whether it asked the simulator to stop.
struct CommandOutcome {
  std::string reply;
  bool quit = false;
};

// Runs one line typed on standard input (a trailing carriage return is ignored).
CommandOutcome RunCommand(const StandInApi& sim, std::string_view line);

// Pins "NAME=VALUE [UNIT]" as the set command does (also --set). True when pinned; `reply` says
// what was pinned, or exactly what is wrong with the assignment.
bool PinVariable(const StandInApi& sim, std::string_view assignment, std::string* reply);

// The variables the add-on registered, one a line, in columns that fit 80 characters: name,
// registered units and SimConnect type ("text(N)" after the type of a text variable that holds
// at most N characters), then a short note on how set takes values.
std::string ListVariables(const StandInApi& sim);

// An aircraft file as the add-on will be given it.
struct AircraftFile {
  std::string path;     // made absolute against the current folder
  std::string error;    // why it cannot be loaded (missing, not a file, unreadable); "" if it can
  std::string warning;  // no flap detents or no title beside it; "" when both are there
  std::string title;    // the title in its aircraft.cfg; "" when there is none
};

// The aircraft's title in aircraft.cfg text: the first title= in a [fltsim.N] section (names
// in any case, blanks and a // comment dropped). "" when there is none.
std::string AircraftTitle(std::string_view config);

// Examines the aircraft file at `path` and the aircraft.cfg in its folder, which the add-on reads
// by the same rules (a regular file of at most kMaxAircraftConfigBytes), and takes the title
// from it.
AircraftFile CheckAircraftFile(std::string_view path);

}  // namespace velkaro::standin
