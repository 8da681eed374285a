// Arbitrary aircraft.cfg contents for the flaps reader: every entry it keeps is an angle from 0
// to 90 or -1, and nothing crashes or reads out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "aircraft/flaps_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velkaro::FlapsTable table =
      velkaro::ParseFlapsTable(std::string_view(reinterpret_cast<const char*>(data), size));
  for (float angle : table) {
    if (!(angle == -1.0f || (angle >= 0.0f && angle <= 90.0f))) std::abort();
  }
  return 0;
}
