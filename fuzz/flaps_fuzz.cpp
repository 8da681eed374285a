// Arbitrary aircraft.cfg contents for the flaps reader: every entry it keeps is an angle from 0
// to 90 or -1, and nothing crashes or reads out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "aircraft/flaps_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/velkaro-flaps-fuzz-" + std::to_string(getpid()) + ".cfg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  velkaro::FlapsTable table;
  table.fill(0.0f);
  if (!velkaro::ReadFlapsTable(path, table)) std::abort();
  for (float angle : table) {
    if (!(angle == -1.0f || (angle >= 0.0f && angle <= 90.0f))) std::abort();
  }
  return 0;
}
