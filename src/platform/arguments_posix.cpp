#include "platform/arguments.h"

namespace velkaro::platform {

Utf8Arguments::Utf8Arguments(int argc, char** argv) : texts_(argv, argv + argc) {
  Point();
}

void Utf8Arguments::Point() {
  for (std::string& text : texts_) pointers_.push_back(text.data());
  pointers_.push_back(nullptr);
}

}  // namespace velkaro::platform
