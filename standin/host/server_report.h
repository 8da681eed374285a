// velkaro-sim's report on the add-on's server. The add-on starts listening with its first frame,
// where Velkaro.ini beside it says (port, bind), or fails to: rather than assume it serves,
// velkaro-sim reads the same file with the add-on's own settings code, asks the add-on
// "rSTATUS010" there and reports what it found out.
#pragma once

#include <string>

namespace velkaro::standin {

// How long the report waits for the add-on's server to answer: it listens moments after its
// first frame.
inline constexpr int kServerReportWaitMs = 2000;

// The report's lines, each ending with a line feed, for the add-on at `addon_path`, which has
// been started and has had its first frame:
//   - "velkaro-sim: clients connect to TCP port P[ on ADDRESS]." when its status says it serves,
//     followed by the add-on's warnings, if any;
//   - otherwise "velkaro-sim: the add-on has no server: " and why: the status's warnings, or
//     "nothing answers on port P; the add-on's log says why" and the failure line from its log
//     (or how to switch the log on).
// Waits at most about kServerReportWaitMs plus one status reply's time limit.
std::string ReportAddOnServer(const std::string& addon_path);

}  // namespace velkaro::standin
