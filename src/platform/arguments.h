// A program's command line as UTF-8 text, as every path the programs hold. On Windows main()'s
// arguments come in the system's code page, which cannot carry every path (a Cyrillic folder
// under a Western code page becomes "?????"): the command line is taken again in UTF-16 and
// converted. Elsewhere main()'s own arguments are kept as they are. One implementation file per
// system.
//
// Thread-safety: made once, at the start of main.
#pragma once

#include <string>
#include <vector>

namespace velkaro::platform {

class Utf8Arguments {
 public:
  // From main()'s arguments, which are kept when the system gives no other.
  Utf8Arguments(int argc, char** argv);
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;

  int argc() const { return static_cast<int>(texts_.size()); }
  // argc() texts and a null pointer after them, as main()'s; they live as long as the object.
  char** argv() { return pointers_.data(); }

 private:
  void Point();

  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

}  // namespace velkaro::platform
