// windows.h first: the other two need its types.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <string>

#include "support/process_stats.h"

namespace velkaro::testing {

ProcessStats CurrentProcessStats() {
  ProcessStats stats;
  const DWORD self = GetCurrentProcessId();
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    stats.threads = count;
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) {
    stats.descriptors = static_cast<int>(handles);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    stats.resident_bytes = memory.WorkingSetSize;
  }
  return stats;
}

std::string ProcessStats::ToString() const {
  return std::to_string(threads) + " threads, " + std::to_string(descriptors) + " handles, " +
         std::to_string(resident_bytes / 1024) + " KiB resident";
}

}  // namespace velkaro::testing
