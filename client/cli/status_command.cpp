// zelm status: fetches the add-on's state and shows it as status_view makes it, for a person or
// (--json) pretty-printed for programs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "status_view.h"
#include "zelm_protocol.h"

namespace zelm::cli {

namespace {

// How long `status` waits for the reply unless --timeout says otherwise: an add-on before 1.1
// ignores the command, and saying so should not take the whole default timeout.
constexpr std::chrono::milliseconds kStatusReplyWait{3000};

int CommandStatus(const ConnectionOptions& options, bool json) {
  auto connection = Connect(options);
  if (!options.TimeoutGiven()) {
    connection->SetDeadline(std::min(options.Timeout(), kStatusReplyWait));
  }
  std::string reply;
  if (!connection->FetchStatus(&reply)) {
    // Silence alone does not tell an add-on before 1.1 from one that is stuck: a frame does.
    if (connection->error_kind() == zelm::ErrorKind::kTimedOut) {
      auto probe = Connect(options);
      probe->SetDeadline(kStatusReplyWait);
      zelm::Frame frame;
      if (probe->FetchFrame(&frame)) {
        Fail(zelm::NoStatusReply(zelm::TimedOut(options.TimeoutGiven()
                                                    ? options.Timeout()
                                                    : std::min(options.Timeout(), kStatusReplyWait)),
                                 /*answered_before=*/true)
                 .text);
      }
    }
    Fail(connection->error());
  }
  std::string text, error;
  const bool shown =
      json ? zelm::PrettyStatus(reply, &text, &error) : zelm::FormatStatus(reply, &text, &error);
  if (!shown) Fail(error);
  std::fputs(text.c_str(), stdout);
  return kExitDone;
}

}  // namespace

void AddStatusCommand(CLI::App& app, CommandContext& context) {
  auto json = std::make_shared<bool>(false);
  CLI::App* status = app.add_subcommand("status", "show the add-on's state (add-ons from 1.1 on)");
  status->add_flag("--json", *json, "the add-on's JSON reply, pretty-printed");
  status->footer(
      "Without --timeout, status waits 3 s for the reply: an add-on older than 1.1 does not\n"
      "answer it.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(status, &context.connection);
  SetHandler(status, &context,
             [&context, json] { return CommandStatus(context.connection, *json); });
}

}  // namespace zelm::cli
