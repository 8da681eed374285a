// What an aircraft change costs the simulator's frame: the flaps reader opening, reading and
// parsing aircraft.cfg files of every shape up to the largest it takes, and refusing one too
// large to take.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "aircraft/flaps_reader.h"

namespace velkaro {
namespace {

namespace fs = std::filesystem;

// The shapes of file, each cut to `bytes`.
enum Shape { kTypical, kLongLines, kEmptyLines, kShortLines, kPositionLines };

std::string Contents(Shape shape, std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) {
    switch (shape) {
      case kTypical:  // sections of short key = value lines, as real files are
        text +=
            "[flaps.0]\ntype = 1 // trailing edge\nspan-outboard = 0.8\nextending-time = 12\n"
            "flaps-position.0 = 0, 0\nflaps-position.1 = 5, 250\nflaps-position.2 = 15, 200\n"
            "[general]\natc_type = VELKARO\natc_model = VK20\nperformance = cruise 450\n";
        break;
      case kLongLines:  // lines as long as the reader keeps
        text += std::string(64 * 1024 - 1, 'x') + "\n";
        break;
      case kEmptyLines:  // as many lines as the bytes allow (the empty line of the system)
        for (int i = 0; i < 2048; ++i) text += "\r\n";
        break;
      case kShortLines:  // the most lines that are not empty
        for (int i = 0; i < 2048; ++i) text += "x\n";
        break;
      case kPositionLines:  // one flaps section of position lines only
        if (text.empty()) text = "[flaps.0]\ntype = 1\n";
        text += "flaps-position.3 = 12.5, 200\n";
        break;
    }
  }
  text.resize(bytes);
  return text;
}

std::string WriteConfig(const std::string& name, const std::string& contents) {
  const fs::path path = fs::temp_directory_path() / ("velkaro-flaps-bench-" + name);
  std::ofstream(path, std::ios::binary) << contents;
  return path.string();
}

void BM_ReadFlapsTable(benchmark::State& state) {
  const auto shape = static_cast<Shape>(state.range(0));
  const auto bytes = static_cast<std::size_t>(state.range(1));
  const std::string path = WriteConfig(std::to_string(state.range(0)) + "-" + std::to_string(bytes),
                                       Contents(shape, bytes));
  FlapsTable table{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadFlapsTable(path, table));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  fs::remove(path);
}
BENCHMARK(BM_ReadFlapsTable)
    ->ArgNames({"shape", "bytes"})
    ->Args({kTypical, 30 * 1024})
    ->Args({kTypical, kMaxAircraftConfigBytes})
    ->Args({kLongLines, kMaxAircraftConfigBytes})
    ->Args({kEmptyLines, kMaxAircraftConfigBytes})
    ->Args({kShortLines, kMaxAircraftConfigBytes})
    ->Args({kPositionLines, kMaxAircraftConfigBytes})
    ->Unit(benchmark::kMicrosecond);

// A 300 MB file (sparse) is refused from its size alone.
void BM_RefuseTooLarge(benchmark::State& state) {
  const std::string path = WriteConfig("huge", "[flaps.0]\n");
  fs::resize_file(path, 300u * 1024 * 1024);
  FlapsTable table{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadFlapsTable(path, table));
  }
  fs::remove(path);
}
BENCHMARK(BM_RefuseTooLarge)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkaro

BENCHMARK_MAIN();
