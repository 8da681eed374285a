// Flight recordings: how small and how cheap they are, and how fast they export.
//
//   recording_bench [--seconds S] [--rate HZ] [--level ZLIB_LEVEL] [--port P]
//
// Starts velkaro-sim (beside this program) with the add-on at HZ frames per second, and records
// what a client receives, as zelm record does (every new frame, fetched with the fresh-frame
// wait), for S seconds of each flight:
//   cruising     the stand-in's jet as it flies by itself (straight and level, wind drifting it,
//                fuel burning);
//   manoeuvring  the same jet with its autopilot given a new heading (90 degrees on) and a new
//                altitude (2000 ft up or down at 3000 ft/min) every 4 s: turning, climbing and
//                descending all the time.
// For each: bytes a frame in the file (header, records and index, over frames) against the raw
// 2280; the writer's processor time a frame (thread CPU time over the whole recording, and
// wall-clock percentiles of each Append); then the export of the recording read back: frames a
// second for reading alone, CSV of the fields with data, and GPX.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "recording.h"
#include "recording_export.h"
#include "zelm_client.h"

extern char** environ;

namespace velkaro::bench {
namespace {

struct Options {
  double seconds = 20.0;
  double rate = 60.0;
  int port = protocol::kDefaultPort;
  int level = zelm::RecordingWriter::Options{}.compression_level;
};

struct Result {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  double cpu_us_per_frame = 0;
  Percentiles append_us{};
  double read_fps = 0, csv_fps = 0, gpx_fps = 0;
};

std::int64_t NowUnixUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Frames a second of `step` over every frame of the recording at `path`, repeated for at least
// half a second.
template <typename Step>
double FramesPerSecond(const std::string& path, Step step) {
  std::uint64_t frames = 0;
  const Clock::time_point start = Clock::now();
  do {
    std::string error;
    auto reader = zelm::RecordingReader::Open(path, &error);
    if (!reader) {
      std::fprintf(stderr, "recording_bench: %s\n", error.c_str());
      std::exit(1);
    }
    zelm::RecordedFrame frame;
    while (reader->Next(&frame)) {
      step(frame);
      ++frames;
    }
  } while (Clock::now() - start < std::chrono::milliseconds(500));
  return frames / std::chrono::duration<double>(Clock::now() - start).count();
}

Result Record(const Options& options, bool manoeuvre, const std::string& path) {
  std::string error;
  auto connection =
      zelm::Connection::Open("127.0.0.1", static_cast<std::uint16_t>(options.port), &error);
  auto control =
      zelm::Connection::Open("127.0.0.1", static_cast<std::uint16_t>(options.port), &error);
  if (!connection || !control) {
    std::fprintf(stderr, "recording_bench: %s\n", error.c_str());
    std::exit(1);
  }
  zelm::RecordingWriter::Options writer_options;
  writer_options.compression_level = options.level;
  auto writer = zelm::RecordingWriter::Create(path, &error, writer_options);
  if (!writer) {
    std::fprintf(stderr, "recording_bench: %s\n", error.c_str());
    std::exit(1);
  }
  // Level flight on the autopilot to begin with, in both flights.
  double heading = 90.0;
  double altitude = 10000.0;
  auto steer = [&] {
    zelm::McpRequestBuilder block;
    block.ApMaster(true).Heading(heading).Altitude(altitude).VerticalSpeed(3000);
    if (!control->UploadMcp(block.block()) || !control->Sync()) {
      std::fprintf(stderr, "recording_bench: autopilot upload: %s\n", control->error().c_str());
      std::exit(1);
    }
  };
  if (manoeuvre) steer();

  Result result;
  std::vector<double> append_us;
  zelm::Frame frame, previous;
  bool have_previous = false;
  double cpu = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point next_turn = start + std::chrono::seconds(4);
  const auto length = std::chrono::duration<double>(options.seconds);
  while (Clock::now() - start < length) {
    const Clock::time_point asked = Clock::now();
    if (!connection->FetchFrame(&frame)) {
      std::fprintf(stderr, "recording_bench: %s\n", connection->error().c_str());
      std::exit(1);
    }
    const Clock::time_point arrived = Clock::now();
    // As zelm record: a reply after the fresh-frame wait ran out that repeats the last frame
    // is no new frame.
    if (have_previous && arrived - asked >= std::chrono::milliseconds(90) &&
        frame.bytes == previous.bytes) {
      continue;
    }
    const double cpu_before = ThreadCpuMicros();
    const Clock::time_point before = Clock::now();
    if (!writer->Append(frame.bytes, NowUnixUs())) {
      std::fprintf(stderr, "recording_bench: %s\n", writer->error().c_str());
      std::exit(1);
    }
    append_us.push_back(Micros(Clock::now() - before));
    cpu += ThreadCpuMicros() - cpu_before;
    previous = frame;
    have_previous = true;
    if (manoeuvre && arrived >= next_turn) {
      heading = std::fmod(heading + 90.0, 360.0);
      altitude += altitude >= 10000.0 ? -2000.0 : 2000.0;
      steer();
      next_turn += std::chrono::seconds(4);
    }
  }
  const double cpu_before = ThreadCpuMicros();
  if (!writer->Finish()) {
    std::fprintf(stderr, "recording_bench: %s\n", writer->error().c_str());
    std::exit(1);
  }
  const double finish_cpu = ThreadCpuMicros() - cpu_before;
  result.frames = writer->frame_count();
  result.bytes = writer->bytes_written();
  result.cpu_us_per_frame = (cpu + finish_cpu) / static_cast<double>(result.frames);
  result.append_us = Summarise(append_us);

  result.read_fps = FramesPerSecond(path, [](const zelm::RecordedFrame&) {});
  std::string text;
  const zelm::record_export::CsvExport csv(zelm::record_export::FieldsWithData());
  result.csv_fps = FramesPerSecond(path, [&](const zelm::RecordedFrame& f) {
    csv.AppendRow(&text, f);
    if (text.size() > (1 << 20)) text.clear();
  });
  const zelm::record_export::GpxExport gpx("bench", "recording_bench", 0);
  result.gpx_fps = FramesPerSecond(path, [&](const zelm::RecordedFrame& f) {
    gpx.AppendPoint(&text, f);
    if (text.size() > (1 << 20)) text.clear();
  });
  return result;
}

void Report(const char* name, const Result& r, double rate) {
  const double per_frame = static_cast<double>(r.bytes) / static_cast<double>(r.frames);
  std::printf(
      "%-12s %5llu frames (%.1f a second)  %7.1f bytes a frame (%.0fx smaller than %zu)  "
      "%.0f bytes a second\n",
      name, static_cast<unsigned long long>(r.frames), rate, per_frame,
      static_cast<double>(kFrameSize) / per_frame, kFrameSize, per_frame * rate);
  std::printf(
      "%-12s writer CPU %.1f us a frame; Append wall time p50 %.1f p90 %.1f p99 %.1f max %.1f "
      "us\n",
      "", r.cpu_us_per_frame, r.append_us.p50, r.append_us.p90, r.append_us.p99, r.append_us.max);
  std::printf(
      "%-12s export: read %.0f frames/s, CSV (fields with data) %.0f frames/s, GPX %.0f "
      "frames/s\n",
      "", r.read_fps, r.csv_fps, r.gpx_fps);
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      options.seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--rate") == 0) {
      options.rate = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--level") == 0) {
      options.level = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--port") == 0) {
      options.port = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr,
                   "usage: recording_bench [--seconds S] [--rate HZ] [--level 0-9] [--port P]\n");
      return 2;
    }
  }
  const std::string self(argv[0]);
  const std::string folder = self.substr(0, self.find_last_of('/') + 1);
  const std::string sim = folder + "velkaro-sim";
  const std::string rate = std::to_string(options.rate);
  std::vector<char*> sim_argv = {const_cast<char*>(sim.c_str()), const_cast<char*>("--rate"),
                                 const_cast<char*>(rate.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, sim.c_str(), &actions, nullptr, sim_argv.data(), environ) != 0) {
    std::fprintf(stderr, "recording_bench: cannot start %s\n", sim.c_str());
    return 1;
  }
  // Wait for the add-on's server.
  std::string error;
  for (int i = 0; i < 100; ++i) {
    if (zelm::Connection::Open("127.0.0.1", static_cast<std::uint16_t>(options.port), &error))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  char dir_template[] = "/tmp/recording_bench.XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  std::printf(
      "recording_bench: velkaro-sim at %.0f frames a second, %.0f s of each flight, zlib level "
      "%d\n",
      options.rate, options.seconds, options.level);
  const Result cruise = Record(options, false, dir + "/cruise.vrec");
  Report("cruising", cruise, options.rate);
  const Result manoeuvre = Record(options, true, dir + "/manoeuvre.vrec");
  Report("manoeuvring", manoeuvre, options.rate);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  std::remove((dir + "/cruise.vrec").c_str());
  std::remove((dir + "/manoeuvre.vrec").c_str());
  rmdir(dir.c_str());
  return 0;
}

}  // namespace
}  // namespace velkaro::bench

int main(int argc, char** argv) {
  return velkaro::bench::Main(argc, argv);
}
