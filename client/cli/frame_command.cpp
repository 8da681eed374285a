// zelm frame: fetches a frame and shows its fields with their units, or as JSON. By default the
// fields that carry data (not the layout's fixed placeholders and start-up constants); --all for
// every field, --fields for the ones named; --watch repeats it every so many seconds until Ctrl-C.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "commands.h"
#include "common/frame_layout.h"
#include "printable.h"

namespace zelm::cli {

namespace {

struct FrameOptions {
  bool json = false;
  bool all = false;
  std::vector<std::string> fields;  // names, as in the layout
  double watch_seconds = 0.0;       // 0: once
};

using Fields = std::vector<const velkaro::FrameField*>;

std::string FieldNames(bool with_placeholders) {
  std::string names;
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    if (!with_placeholders && f.role != velkaro::FrameRole::kValue) continue;
    if (!names.empty()) names += ", ";
    names += f.name;
  }
  return names;
}

// The fields to show, in the order asked for (the layout's order without --fields); an unknown
// name is a usage error that lists the names there are.
Fields Chosen(const FrameOptions& options) {
  Fields chosen;
  if (options.fields.empty()) {
    for (const velkaro::FrameField& f : velkaro::kFrameFields) {
      if (options.all || f.role == velkaro::FrameRole::kValue) chosen.push_back(&f);
    }
    return chosen;
  }
  for (const std::string& name : options.fields) {
    const auto found = std::find_if(std::begin(velkaro::kFrameFields),
                                    std::end(velkaro::kFrameFields),
                                    [&](const velkaro::FrameField& f) { return name == f.name; });
    if (found == std::end(velkaro::kFrameFields)) {
      Fail("--fields: no field is named \"" + Printable(name) + "\"; the fields with data are: " +
               FieldNames(false) + " (zelm frame --all lists every field)",
           kExitUsage);
    }
    if (std::find(chosen.begin(), chosen.end(), &*found) == chosen.end()) chosen.push_back(&*found);
  }
  return chosen;
}

void Show(const zelm::Frame& frame, const Fields& fields, bool json) {
  if (json) {
    std::fputs(frame.ToJson(fields).c_str(), stdout);
    return;
  }
  for (const velkaro::FrameField* f : fields) {
    std::string values;
    for (std::size_t i = 0; i < f->count; ++i) {
      if (i > 0) values += " ";
      values += f->type == velkaro::FrameType::kText ? "\"" + Printable(frame.Format(*f, i)) + "\""
                                                     : frame.Format(*f, i);
    }
    std::printf("%5zu  %-26s %-8s %s\n", f->offset, f->name, f->unit, values.c_str());
  }
}

int CommandFrame(const ConnectionOptions& connection_options, const FrameOptions& options) {
  const Fields fields = Chosen(options);
  auto connection = Connect(connection_options, options.watch_seconds > 0
                                                    ? TimeLimit::kEachFrame
                                                    : TimeLimit::kWholeCommand);
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.watch_seconds));
  auto next = Clock::now();
  for (bool first = true;; first = false) {
    if (options.watch_seconds > 0) connection->SetDeadline(connection_options.Timeout());
    zelm::Frame frame;
    if (!connection->FetchFrame(&frame)) Fail(connection->error());
    // Tables of several lines are set apart; one line a time is a column of its own.
    if (!first && !options.json && fields.size() > 1) std::fputs("\n", stdout);
    Show(frame, fields, options.json);
    std::fflush(stdout);
    if (options.watch_seconds <= 0) return kExitDone;
    next += period;
    // Ctrl-C ends the wait within a tenth of a second.
    while (!g_stop.load() && Clock::now() < next) {
      std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(),
                                                            std::chrono::milliseconds(100)));
    }
    if (g_stop.load()) return kExitDone;
  }
}

}  // namespace

void AddFrameCommand(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<FrameOptions>();
  CLI::App* frame = app.add_subcommand(
      "frame", "fetch a frame and show the fields that carry data, with their units");
  frame->add_flag("--json", options->json,
                  "as JSON: {\"name\": {\"unit\": ..., \"value\": ...}, ...}");
  frame->add_flag("--all", options->all,
                  "every field, the layout's fixed placeholders and start-up constants too");
  frame->add_option("--fields", options->fields,
                    "only these fields, in this order, e.g. altitude,trueHeading (any field of "
                    "the layout; see --all)")
      ->delimiter(',')
      ->excludes("--all");
  frame->add_option("--watch", options->watch_seconds,
                    "fetch and show a frame every SECONDS until Ctrl-C")
      ->type_name("SECONDS")
      ->check(Number(0.0, true, 86400.0, "takes a number of seconds above 0, up to 86400"));
  AddConnectionOptions(frame, &context.connection, "the command (each frame, with --watch)");
  SetHandler(frame, &context,
             [&context, options] { return CommandFrame(context.connection, *options); });
}

}  // namespace zelm::cli
