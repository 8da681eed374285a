// zelm: a command-line client of the Velkaro add-on.
//
//   zelm frame [--fields A,B] [--all]     a frame: the fields with data, with their units
//   zelm watch                            live view of the main instruments
//   zelm status [--json]                  the add-on's state
//   zelm fmc get [-o FILE|-]              the stored FMC data
//   zelm fmc put FILE --version N         store FMC data
//   zelm fmc version                      the first eight bytes of the FMC data
//   zelm fpl put FILE --version N         store flight-plan data
//   zelm mcp [settings] [--dry-run]       upload an autopilot panel block
//   zelm bench --clients N --seconds S    N connections fetching frames flat out
//   zelm serve [options]                  the gateway: the panel in the browser, WebSocket, MQTT
//   zelm record -o FLIGHT.vrec            record every new frame until Ctrl-C (or --seconds N)
//   zelm replay FLIGHT.vrec [options]     serve a recording as the add-on serves the simulator
//   zelm export FLIGHT.vrec --csv|--gpx   a recording as CSV or as a GPX track
//
// Every command takes --host (default 127.0.0.1), --port (default: the protocol's port) and
// --timeout (default 10 s: how long a command, or in watch and bench each frame, may take once
// connected, and how long connecting may take). Ctrl-C ends every command; watch and bench stop
// as they always did, the others fail; a second Ctrl-C ends zelm whatever it is waiting for.
// Exit status: 0 done; 1 the command failed (the add-on could not be reached, the connection
// dropped, the add-on did not answer in time or answered what the protocol does not allow, a
// file could not be read or written, or Ctrl-C); 2 the command line is wrong. --help shows it.
//
// This file builds the command line and runs it; each command, with its options, is in a file
// of its own (commands.h lists them), and what they share is in command_support.h.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "command_support.h"
#include "commands.h"
#include "common/version.h"
#include "platform/arguments.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace zelm::cli {

namespace {

// "zelm fmc get": the commands the parser took, for pointing at their help.
std::string CommandPath(const CLI::App& app) {
  std::string path = "zelm";
  for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
    at = at->get_subcommands().front();
    path += " " + at->get_name();
  }
  return path;
}

// CLI11's message, or a plainer one for a word that names no command and for arguments that
// no option takes.
std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App* last = &app;
  while (!last->get_subcommands().empty()) last = last->get_subcommands().front();
  const std::vector<std::string> rest = last->remaining();
  if (!last->get_subcommands(nullptr).empty() && !rest.empty() && !rest.front().starts_with("-")) {
    return "unknown command \"" + rest.front() + "\"";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !rest.empty()) {
    std::string text = rest.front().starts_with("-") ? "unknown option" : "unexpected argument";
    for (const std::string& word : rest) text += " " + word;
    if (last->get_name() == "mcp" && rest.front().starts_with("-")) text += McpSettingsHint();
    return text;
  }
  return error.what();
}

int Run(int argc, char** argv) {
  CLI::App app("zelm: a command-line client of the Velkaro add-on.", "zelm");
  app.allow_windows_style_options(false);  // "/file" is a path, not an option
  // An option given twice takes the later value, as zelm always did.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("zelm ") + VELKARO_VERSION_TEXT,
                       "print zelm's version and exit");
  app.footer(kExitStatusText);

  CommandContext context;
  AddConnectionOptions(&app, &context.connection);
  AddFrameCommand(app, context);
  AddWatchCommand(app, context);
  AddStatusCommand(app, context);
  AddStoreCommands(app, context);
  AddMcpCommand(app, context);
  AddBenchCommand(app, context);
  AddServeCommand(app, context);
  AddRecordCommand(app, context);
  AddReplayCommand(app, context);
  AddExportCommand(app, context);

  // The command that was given runs as parse's last step.
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitDone;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
    return kExitDone;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zelm: %s (see %s --help)\n", UsageErrorText(app, e).c_str(),
                 CommandPath(app).c_str());
    return kExitUsage;
  }

  if (context.exit_status) return *context.exit_status;
  std::fputs(app.help().c_str(), stderr);
  return kExitUsage;
}

}  // namespace

}  // namespace zelm::cli

int main(int argc, char** argv) {
  namespace cli = zelm::cli;
  velkaro::platform::Utf8Arguments arguments(argc, argv);
  argc = arguments.argc();
  argv = arguments.argv();
  velkaro::platform::SocketsStartup();
  velkaro::platform::InstallInterruptHandler(&cli::g_stop, "zelm: interrupted");
  velkaro::platform::IgnoreBrokenPipe();
  // Nothing thrown leaves main: a failure is a message and an exit status.
  try {
    if (argc == 2 && std::strcmp(argv[1], "help") == 0) {
      char help[] = "--help";
      char* with_help[] = {argv[0], help, nullptr};
      return cli::Run(2, with_help);
    }
    if (argc < 2) {
      char help[] = "--help";
      char* with_help[] = {argv[0], help, nullptr};
      cli::Run(2, with_help);
      return cli::kExitUsage;
    }
    return cli::Run(argc, argv);
  } catch (const cli::CommandFailed& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelm: %s\n", failure.message.c_str());
    return failure.status;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "zelm: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelm: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "zelm: failed for a reason of its own\n");
  }
  return cli::kExitFailed;
}
