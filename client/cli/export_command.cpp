// zelm export: a flight recording as CSV (a row a frame, the fields that carry data or those
// named) or as a GPX 1.1 track, to a file or to standard output, optionally thinned to a frame
// every so many seconds. A recording cut short is exported up to its last whole frame, with a
// warning that says where it ends.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "common/version.h"
#include "platform/file.h"
#include "platform/system.h"
#include "printable.h"
#include "recording.h"
#include "recording_export.h"

namespace zelm::cli {

namespace {

namespace platform = velkaro::platform;

struct ExportOptions {
  std::string recording;
  bool csv = false;
  bool gpx = false;
  std::string output = "-";
  std::vector<std::string> fields;
  double every_seconds = 0.0;  // 0: every frame (GPX: one a second unless given)
};

// A GPX track of every frame of a long flight would be more points than map programs take.
constexpr double kDefaultGpxEverySeconds = 1.0;
constexpr std::size_t kWriteChunk = 256 * 1024;
constexpr std::chrono::milliseconds kProgressEvery{250};

record_export::Fields ChosenFields(const std::vector<std::string>& names) {
  if (names.empty()) return record_export::FieldsWithData();
  record_export::Fields chosen;
  for (const std::string& name : names) {
    const velkaro::FrameField* f = velkaro::FindFrameField(name);
    if (f == nullptr) {
      std::string known;
      for (const velkaro::FrameField* with_data : record_export::FieldsWithData()) {
        known += (known.empty() ? "" : ", ") + std::string(with_data->name);
      }
      Fail("--fields: no field is named \"" + Printable(name) +
               "\"; the fields with data are: " + known + " (zelm frame --all lists every field)",
           kExitUsage);
    }
    if (std::find(chosen.begin(), chosen.end(), f) == chosen.end()) chosen.push_back(f);
  }
  return chosen;
}

// The file name without its folders and its extension: the GPX track's name.
std::string TrackName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

class Output {
 public:
  explicit Output(const std::string& path) : path_(path) {
    if (path == "-") {
      platform::SetBinaryMode(stdout);
      file_ = stdout;
      return;
    }
    errno = 0;
    file_ = platform::OpenFile(path.c_str(), "wb");
    if (file_ == nullptr) Fail("cannot create " + path + ": " + std::strerror(errno));
  }
  ~Output() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Writes `text` once it has grown past a chunk (or at once with `now`), and empties it.
  void Write(std::string* text, bool now = false) {
    if (text->empty() || (!now && text->size() < kWriteChunk)) return;
    if (std::fwrite(text->data(), 1, text->size(), file_) != text->size()) WriteFailed();
    text->clear();
  }
  void Close() {
    if (file_ == stdout) {
      if (std::fflush(stdout) != 0) WriteFailed();
      return;
    }
    std::FILE* file = std::exchange(file_, nullptr);
    if (std::fclose(file) != 0) WriteFailed();
  }

 private:
  [[noreturn]] void WriteFailed() {
    Fail("cannot write " + (path_ == "-" ? std::string("to standard output") : path_) + ": " +
         std::strerror(errno));
  }
  std::string path_;
  std::FILE* file_ = nullptr;
};

int CommandExport(const ExportOptions& options) {
  if (!options.csv && !options.gpx) {
    Fail("export: say what to write, --csv or --gpx (see zelm export --help)", kExitUsage);
  }
  const record_export::Fields fields = ChosenFields(options.fields);
  std::string error;
  auto reader = RecordingReader::Open(options.recording, &error);
  if (!reader) Fail(error);
  const double every = options.every_seconds > 0 ? options.every_seconds
                       : options.gpx             ? kDefaultGpxEverySeconds
                                                 : 0.0;
  const auto every_us = static_cast<std::uint64_t>(std::llround(every * 1e6));

  Output output(options.output);
  const bool progress = options.output != "-" && platform::EnableTerminalControl(stderr);
  const std::uint64_t duration = progress ? reader->DurationUs() : 0;
  auto last_progress = Clock::now();

  const record_export::CsvExport csv(fields);
  const record_export::GpxExport gpx(TrackName(options.recording),
                                     std::string("zelm ") + VELKARO_VERSION_TEXT,
                                     reader->header().start_unix_us);
  std::string text;
  text.reserve(kWriteChunk + 64 * 1024);
  if (options.gpx) {
    gpx.AppendBegin(&text);
  } else {
    csv.AppendHeader(&text);
  }
  std::uint64_t written = 0;
  std::uint64_t next_due = 0;
  RecordedFrame frame;
  while (reader->Next(&frame)) {
    if (g_stop.load()) Fail("interrupted");
    if (every_us > 0) {
      if (frame.time_us < next_due) continue;
      // On a grid from the start, so thinning does not drift with the frame times.
      next_due = (frame.time_us / every_us + 1) * every_us;
    }
    if (options.gpx) {
      if (gpx.AppendPoint(&text, frame)) ++written;
    } else {
      csv.AppendRow(&text, frame);
      ++written;
    }
    output.Write(&text);
    if (progress && Clock::now() - last_progress >= kProgressEvery) {
      last_progress = Clock::now();
      std::fprintf(stderr, "\rexporting %s: %.0f%%\x1b[K", options.recording.c_str(),
                   duration == 0 ? 100.0 : 100.0 * static_cast<double>(frame.time_us) / duration);
    }
  }
  if (progress) std::fputs("\r\x1b[K", stderr);
  if (options.gpx) gpx.AppendEnd(&text);
  output.Write(&text, true);
  output.Close();
  if (reader->cut_short()) {
    std::fprintf(stderr, "zelm: warning: %s: %s; exported what came before\n",
                 options.recording.c_str(), reader->end_problem().c_str());
  }
  if (options.output != "-") {
    std::fprintf(stderr, "%s: %llu %s\n", options.output.c_str(),
                 static_cast<unsigned long long>(written), options.gpx ? "track points" : "rows");
  }
  return kExitDone;
}

}  // namespace

void AddExportCommand(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* command =
      app.add_subcommand("export", "a flight recording as CSV (a row a frame) or a GPX track");
  command->add_option("recording", options->recording, "the recording (FLIGHT.vrec)")
      ->type_name("FILE")
      ->required();
  CLI::Option* csv = command->add_flag(
      "--csv", options->csv, "CSV: time (s) and the fields, a header of names with units");
  CLI::Option* gpx =
      command->add_flag("--gpx", options->gpx,
                        "a GPX 1.1 track: position, altitude and time (a point a second "
                        "unless --every says otherwise)");
  csv->excludes(gpx);
  command->add_option("-o,--output", options->output, "where to write (default -: standard output)")
      ->type_name("FILE");
  command
      ->add_option("--fields", options->fields,
                   "CSV: only these fields, in this order, e.g. altitude,trueHeading "
                   "(default: the fields that carry data)")
      ->delimiter(',')
      ->excludes(gpx);
  command
      ->add_option("--every", options->every_seconds,
                   "at most a frame every SECONDS of the recording (default: every frame)")
      ->type_name("SECONDS")
      ->check(Number(0.0, true, 86400.0, "takes a number of seconds above 0, up to 86400"));
  command->footer(
      "CSV columns: \"time (s)\" from the recording's start, then \"name (unit)\", or\n"
      "\"name[1] (unit)\", \"name[2] (unit)\"... for a field of several elements. A recording\n"
      "cut short is exported up to its last whole frame, with a warning.\n\n" +
      std::string(kExitStatusText));
  SetHandler(command, &context, [options] { return CommandExport(*options); });
}

}  // namespace zelm::cli
