#include "log/boundary.h"

namespace velkaro {

void Boundary::Report(const char* what) noexcept {
  if (logged_.First()) LogMessage("%s: exception caught (%s)", name_, what);
}

}  // namespace velkaro
