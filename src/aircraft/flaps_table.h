// The flap detent table of the loaded aircraft: entry i is the angle in degrees of trailing-edge
// flap detent i, 0 to 19. The flaps reader fills it from the aircraft's aircraft.cfg; the frame
// conversion looks the simulator's flap handle position up in it.
//
// An entry below 0.0 means that no angle is known for that detent (the reader writes -1.0 for
// every detent the file does not give). Before the first aircraft.cfg is read every entry is 0.0.
#pragma once

#include <array>

namespace velkaro {

using FlapsTable = std::array<float, 20>;

}  // namespace velkaro
