// zelm-layout: writes libzelm's layout document (zelm::LayoutJson) to PATH, or to standard
// output without one. The Python package's copy is regenerated with
//   build/linux/zelm-layout clients/python/zelm/layout.json
#include <cstdio>
#include <string>

#include "zelm_layout.h"

int main(int argc, char** argv) {
  if (argc > 2 ||
      (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
    std::fprintf(stderr, "usage: zelm-layout [PATH]   (the layout document as JSON)\n");
    return argc == 2 ? 0 : 2;
  }
  const std::string json = zelm::LayoutJson();
  std::FILE* out = argc == 2 ? std::fopen(argv[1], "wb") : stdout;
  if (out == nullptr) {
    std::fprintf(stderr, "zelm-layout: cannot write %s\n", argv[1]);
    return 1;
  }
  const bool written = std::fwrite(json.data(), 1, json.size(), out) == json.size();
  const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "zelm-layout: cannot write %s\n", argc == 2 ? argv[1] : "the output");
    return 1;
  }
  return 0;
}
