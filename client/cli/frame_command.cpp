// zelm frame: fetches one frame and shows every field with its unit, or the frame as JSON.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "common/frame_layout.h"
#include "printable.h"

namespace zelm::cli {

namespace {

int CommandFrame(const ConnectionOptions& options, bool json) {
  auto connection = Connect(options);
  zelm::Frame frame;
  if (!connection->FetchFrame(&frame)) Fail(connection->error());
  if (json) {
    std::fputs(frame.ToJson().c_str(), stdout);
    return kExitDone;
  }
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    std::string values;
    for (std::size_t i = 0; i < f.count; ++i) {
      if (i > 0) values += " ";
      values += f.type == velkaro::FrameType::kText ? "\"" + Printable(frame.Format(f, i)) + "\""
                                                    : frame.Format(f, i);
    }
    std::printf("%5zu  %-26s %-8s %s\n", f.offset, f.name, f.unit, values.c_str());
  }
  return kExitDone;
}

}  // namespace

void AddFrameCommand(CLI::App& app, CommandContext& context) {
  auto json = std::make_shared<bool>(false);
  CLI::App* frame =
      app.add_subcommand("frame", "fetch one frame and show every field with its unit");
  frame->add_flag("--json", *json, "as JSON: {\"name\": {\"unit\": ..., \"value\": ...}, ...}");
  AddConnectionOptions(frame, &context.connection);
  SetHandler(frame, &context, [&context, json] { return CommandFrame(context.connection, *json); });
}

}  // namespace zelm::cli
