// zelm's commands: each registrar adds its command to `app`, with its options beside the
// connection options and its handler as the command's callback (command_support.h, SetHandler).
// main calls them in this order, which is the order --help lists the commands in.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "command_support.h"

namespace zelm::cli {

void AddFrameCommand(CLI::App& app, CommandContext& context);   // frame_command.cpp
void AddWatchCommand(CLI::App& app, CommandContext& context);   // watch_command.cpp
void AddStatusCommand(CLI::App& app, CommandContext& context);  // status_command.cpp
// fmc get, fmc put, fmc version and fpl put.
void AddStoreCommands(CLI::App& app, CommandContext& context);  // store_commands.cpp
void AddMcpCommand(CLI::App& app, CommandContext& context);     // mcp_command.cpp
// The valid settings, for a usage error that names an unknown one: "; the settings are --ap ...".
std::string McpSettingsHint();                                   // mcp_command.cpp
void AddBenchCommand(CLI::App& app, CommandContext& context);   // bench_command.cpp
void AddServeCommand(CLI::App& app, CommandContext& context);   // serve_command.cpp
void AddRecordCommand(CLI::App& app, CommandContext& context);  // record_command.cpp
void AddReplayCommand(CLI::App& app, CommandContext& context);  // replay_command.cpp
void AddExportCommand(CLI::App& app, CommandContext& context);  // export_command.cpp

}  // namespace zelm::cli
