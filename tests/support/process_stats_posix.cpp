#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/process_stats.h"

namespace velkaro::testing {

ProcessStats CurrentProcessStats() {
  ProcessStats stats;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "Threads:") fields >> stats.threads;
    if (key == "VmRSS:") {
      std::size_t kib = 0;
      fields >> kib;
      stats.resident_bytes = kib * 1024;
    }
  }
  if (DIR* fds = opendir("/proc/self/fd")) {
    int count = 0;
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(fds);
    stats.descriptors = count - 1;  // the listing's own descriptor
  }
  return stats;
}

std::string ProcessStats::ToString() const {
  return std::to_string(threads) + " threads, " + std::to_string(descriptors) + " descriptors, " +
         std::to_string(resident_bytes / 1024) + " KiB resident";
}

}  // namespace velkaro::testing
