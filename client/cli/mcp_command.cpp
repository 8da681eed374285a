// zelm mcp: builds an autopilot panel block from the settings given and uploads it (or, with
// --dry-run, prints it). Every option comes from libzelm's table of autopilot settings.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "zelm_layout.h"

namespace zelm::cli {

namespace {

using Builder = zelm::McpRequestBuilder;

// Every option of `zelm mcp` comes from the table of autopilot settings (zelm_layout.h): its name
// from the setting's short name ("hdg_bug" is --hdg-bug), its help from the meaning, range and
// unit, its group from the role.
std::string McpOptionName(const zelm::McpSetting& s) {
  std::string name = std::string("--") + s.name;
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

const char* McpGroup(zelm::McpSettingRole role) {
  switch (role) {
    case zelm::McpSettingRole::kRequest:
      return "Requests (the add-on engages the mode and sets its target)";
    case zelm::McpSettingRole::kReference:
      return "References";
    case zelm::McpSettingRole::kState:
      break;
  }
  return "Switches";
}

// What the option's value is called in the help: its unit ("kt or Mach" is KT|MACH).
std::string McpValueName(const zelm::McpSetting& s) {
  if (s.role == zelm::McpSettingRole::kState) return "on|off";
  std::string unit = zelm::McpSettingUnit(s);
  if (unit.empty()) return "NUMBER";
  for (std::size_t at; (at = unit.find(" or ")) != std::string::npos;) unit.replace(at, 4, "|");
  std::transform(unit.begin(), unit.end(), unit.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return unit;
}

std::string McpHelp(const zelm::McpSetting& s) {
  if (s.role == zelm::McpSettingRole::kState) return s.meaning;
  const std::string unit = zelm::McpSettingUnit(s);
  char range[64];
  std::snprintf(range, sizeof range, " (%g to %g%s%s)", s.min, s.max, unit.empty() ? "" : " ",
                unit.c_str());
  return s.meaning + std::string(range);
}

CLI::Validator McpValueCheck(zelm::McpSettingRule rule) {
  switch (rule) {
    case zelm::McpSettingRule::kOnOff:
      return kOnOff;
    case zelm::McpSettingRule::kNumberExceptNone:
      return kAnyNumber & CLI::Validator(
                              [](std::string& text) -> std::string {
                                return std::strtod(text.c_str(), nullptr) == -1.0
                                           ? "-1 means no request; leave the option out instead"
                                           : "";
                              },
                              "");
    case zelm::McpSettingRule::kNonNegativeNumber:
      return Number(0.0, false, HUGE_VAL, "takes a value of 0 or more");
    case zelm::McpSettingRule::kNumber:
      break;
  }
  return kAnyNumber;
}

struct McpOptions {
  // One per setting, in the table's order.
  std::vector<std::string> values;
  std::vector<CLI::Option*> options;
  bool dry_run = false;
};

void AddMcpOptions(CLI::App* mcp, McpOptions* o) {
  const auto settings = zelm::McpSettings();
  o->values.resize(settings.size());
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const zelm::McpSetting& s = settings[i];
    o->options.push_back(mcp->add_option(McpOptionName(s), o->values[i], McpHelp(s))
                             ->check(McpValueCheck(s.rule))
                             ->type_name(McpValueName(s))
                             ->group(McpGroup(s.role)));
  }
  mcp->add_flag("--dry-run", o->dry_run,
                "print the 144 bytes and the check value instead of uploading");
}

int CommandMcp(const ConnectionOptions& options, const McpOptions& o) {
  Builder builder;
  int settings = 0;
  // Each value passes the settings table's rules, as the gateway's and the Python package's do.
  for (std::size_t i = 0; i < o.options.size(); ++i) {
    if (o.options[i]->count() == 0) continue;
    const zelm::McpSetting& s = zelm::McpSettings()[i];
    const std::string& text = o.values[i];
    const double value = s.role == zelm::McpSettingRole::kState
                             ? (text == "on" || text == "1" || text == "true" ? 1.0 : 0.0)
                             : std::strtod(text.c_str(), nullptr);
    std::string error;
    if (!zelm::ApplyMcpSetting(builder, s, value, &error)) {
      Fail(McpOptionName(s) + ": " + error, kExitUsage);
    }
    ++settings;
  }
  if (settings == 0) Fail("mcp needs at least one setting (see zelm mcp --help)", kExitUsage);
  if (o.dry_run) {
    HexDump(builder.block().data(), builder.block().size());
    std::printf("check value 0x%08" PRIX32 "\n", builder.CheckValue());
    return kExitDone;
  }
  auto connection = Connect(options);
  if (!connection->UploadMcp(builder.block()) || !connection->Sync()) {
    Fail("the autopilot block was not delivered: " + connection->error());
  }
  std::printf("autopilot block uploaded (check value 0x%08" PRIX32
              "); it reaches the simulator with the next frame\n",
              builder.CheckValue());
  return kExitDone;
}

}  // namespace

void AddMcpCommand(CLI::App& app, CommandContext& context) {
  auto mcp_options = std::make_shared<McpOptions>();
  CLI::App* mcp =
      app.add_subcommand("mcp", "upload an autopilot panel block (at least one setting)");
  AddMcpOptions(mcp, mcp_options.get());
  AddConnectionOptions(mcp, &context.connection);
  SetHandler(mcp, &context,
             [&context, mcp_options] { return CommandMcp(context.connection, *mcp_options); });
}

std::string McpSettingsHint() {
  std::string text = "; the settings are";
  for (const zelm::McpSetting& s : zelm::McpSettings()) text += " " + McpOptionName(s);
  return text;
}

}  // namespace zelm::cli
