// zelm record: every new frame the add-on serves, with the time it arrived, into a flight
// recording (docs/recording.md) until Ctrl-C or for --seconds. On a terminal a progress line
// (frames, duration, size) is kept up to date; at the end the recording is finished with its
// index, also after Ctrl-C. A lost connection or a write that fails ends the command with a
// message; what was recorded until then stays readable.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "platform/system.h"
#include "recording.h"

namespace zelm::cli {

namespace {

namespace platform = velkaro::platform;

struct RecordOptions {
  std::string output;
  double seconds = 0.0;  // 0: until Ctrl-C
};

// The add-on answers a client that has every frame already with the same frame again once its
// fresh-frame wait (about 100 ms) has run out; such a reply is not a new frame.
constexpr std::chrono::milliseconds kRepeatAfter{90};
constexpr std::chrono::milliseconds kProgressEvery{250};

std::string SizeText(std::uint64_t bytes) {
  char text[32];
  if (bytes < 10 * 1024) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  }
  return text;
}

std::string Summary(const RecordingWriter& writer) {
  char text[160];
  const double seconds = writer.duration_us() / 1e6;
  const std::uint64_t frames = writer.frame_count();
  std::snprintf(text, sizeof text, "%llu frames, %.1f s, %s (%.0f bytes a frame)",
                static_cast<unsigned long long>(frames), seconds,
                SizeText(writer.bytes_written()).c_str(),
                frames == 0 ? 0.0 : static_cast<double>(writer.bytes_written()) / frames);
  return text;
}

int CommandRecord(const ConnectionOptions& connection_options, const RecordOptions& options) {
  auto connection = Connect(connection_options, TimeLimit::kEachFrame);
  std::string error;
  auto writer = RecordingWriter::Create(options.output, &error);
  if (!writer) Fail(error);

  // A terminal that takes cursor sequences gets the line, rewritten in place.
  const bool progress = platform::EnableTerminalControl(stderr);
  auto show_progress = [&](bool last) {
    if (!progress) return;
    std::fprintf(stderr, "\rrecording %s: %s\x1b[K%s", options.output.c_str(),
                 Summary(*writer).c_str(), last ? "\n" : "");
    std::fflush(stderr);
  };
  // Receipt times: the system clock once, at the first frame, then the steady clock, so a clock
  // step during the flight does not bend its times.
  const auto wall_start = std::chrono::system_clock::now();
  const Clock::time_point steady_start = Clock::now();
  auto receipt_us = [&](Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::microseconds>(wall_start.time_since_epoch() +
                                                                 (at - steady_start))
        .count();
  };
  const auto limit =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));

  zelm::Frame frame;
  zelm::Frame previous;
  bool have_previous = false;
  Clock::time_point first_arrival{};
  Clock::time_point last_progress{};
  std::string lost;
  while (!g_stop.load()) {
    connection->SetDeadline(connection_options.Timeout());
    const Clock::time_point asked = Clock::now();
    if (!connection->FetchFrame(&frame)) {
      if (!g_stop.load()) lost = connection->error();
      break;
    }
    const Clock::time_point arrived = Clock::now();
    const bool repeat =
        have_previous && arrived - asked >= kRepeatAfter && frame.bytes == previous.bytes;
    if (!repeat) {
      if (writer->frame_count() == 0) first_arrival = arrived;
      if (!writer->Append(frame.bytes, receipt_us(arrived))) {
        show_progress(true);
        Fail(writer->error() + " (the recording holds the frames before)");
      }
      previous = frame;
      have_previous = true;
    }
    if (arrived - last_progress >= kProgressEvery) {
      show_progress(false);
      last_progress = arrived;
    }
    if (options.seconds > 0 && writer->frame_count() > 0 && arrived - first_arrival >= limit) {
      break;
    }
  }
  const bool finished = writer->Finish();
  if (progress) std::fputs("\r\x1b[K", stderr);  // the summary below says it all
  if (!finished) Fail(writer->error());
  std::printf("%s: %s\n", options.output.c_str(), Summary(*writer).c_str());
  std::fflush(stdout);
  if (!lost.empty()) {
    throw CommandFailed{kExitFailed, lost + " (the recording holds the frames before)"};
  }
  return kExitDone;
}

}  // namespace

void AddRecordCommand(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<RecordOptions>();
  CLI::App* record = app.add_subcommand(
      "record", "record every new frame, with its time, into a flight recording (Ctrl-C stops)");
  record->add_option("-o,--output", options->output, "the recording to write (FLIGHT.vrec)")
      ->type_name("FILE")
      ->required();
  record
      ->add_option("--seconds", options->seconds,
                   "stop after SECONDS of frames (default: record until Ctrl-C)")
      ->type_name("SECONDS")
      ->check(Number(0.0, true, 366.0 * 86400.0, "takes a number of seconds above 0"));
  record->footer(
      "Ctrl-C, or the end of --seconds, finishes the recording with its index and exits 0. A\n"
      "recording cut short (a crash, a full disk) stays readable up to its last whole frame.\n"
      "Play it back with zelm replay, turn it into CSV or GPX with zelm export; the format is\n"
      "docs/recording.md.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(record, &context.connection, "each frame");
  SetHandler(record, &context,
             [&context, options] { return CommandRecord(context.connection, *options); });
}

}  // namespace zelm::cli
