// zelm fmc get, fmc put, fmc version and fpl put: the add-on's two stores of uploaded data, the
// FMC data (which zelm fetches back too) and the flight-plan data.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace zelm::cli {

namespace {

int CommandFmcGet(const ConnectionOptions& options, const std::string& output) {
  auto connection = Connect(options);
  std::vector<std::uint8_t> data;
  std::uint32_t version = 0;
  if (!connection->FetchFmc(&data, &version)) Fail(connection->error());
  if (output.empty()) {
    std::printf("FMC data: %zu bytes, version %" PRIu32 "\n", data.size(), version);
    HexDump(data.data(), data.size());
    return kExitDone;
  }
  WriteOutput(output, data);
  std::fprintf(stderr, "zelm: %zu bytes of FMC data, version %" PRIu32 ", written to %s\n",
               data.size(), version, output == "-" ? "standard output" : output.c_str());
  return kExitDone;
}

int CommandFmcVersion(const ConnectionOptions& options) {
  auto connection = Connect(options);
  std::array<std::uint8_t, protocol::kFmcHeadBytes> head;
  if (!connection->FetchFmcHead(&head)) Fail(connection->error());
  for (std::uint8_t b : head) std::printf("%02x ", b);
  const bool none = std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0xFF; });
  std::printf("%s\n", none ? " (no FMC data stored)" : "");
  return kExitDone;
}

enum class Store { kFmc, kFlightPlan };

int CommandPut(const ConnectionOptions& options, Store store, const std::string& path,
               const std::string& version_text) {
  const std::string data = ReadUpload(path);
  std::uint32_t version = 0;
  ParseWord(version_text, &version);  // checked while parsing the command line
  auto connection = Connect(options);
  const char* what = store == Store::kFmc ? "FMC data" : "flight-plan data";
  const bool stored = store == Store::kFmc ? connection->StoreFmc(Bytes(data), version)
                                           : connection->StoreFlightPlan(Bytes(data), version);
  if (!stored || !connection->Sync()) {
    Fail(std::string("the add-on did not take the ") +
         (store == Store::kFmc ? "FMC data" : "flight plan") + ": " + connection->error());
  }
  std::printf("stored %zu bytes of %s, version %" PRIu32 "\n", data.size(), what, version);
  return kExitDone;
}

// "put FILE --version N" under `parent`, storing into `store`.
void AddPutCommand(CLI::App* parent, const std::string& description, Store store,
                   CommandContext& context) {
  struct PutOptions {
    std::string path, version_text;
  };
  auto o = std::make_shared<PutOptions>();
  CLI::App* put = parent->add_subcommand("put", description);
  put->add_option("FILE", o->path, "the data (1 byte to 16 MiB)")->required();
  put->add_option("--version", o->version_text, "the version word (32 bits)")
      ->check(kWord)
      ->type_name("N")
      ->required();
  AddConnectionOptions(put, &context.connection);
  SetHandler(put, &context, [&context, o, store] {
    return CommandPut(context.connection, store, o->path, o->version_text);
  });
}

}  // namespace

void AddStoreCommands(CLI::App& app, CommandContext& context) {
  CLI::App* fmc = app.add_subcommand("fmc", "fetch or store the FMC data");
  fmc->require_subcommand(1);
  auto output = std::make_shared<std::string>();
  CLI::App* fmc_get =
      fmc->add_subcommand("get", "fetch the stored FMC data (a hex dump, or into FILE)");
  fmc_get->add_option("-o,--output", *output, "write the data to FILE, or - for standard output")
      ->type_name("FILE|-");
  AddConnectionOptions(fmc_get, &context.connection);
  SetHandler(fmc_get, &context,
             [&context, output] { return CommandFmcGet(context.connection, *output); });
  AddPutCommand(fmc, "store FILE as FMC data with version word N", Store::kFmc, context);
  CLI::App* fmc_version =
      fmc->add_subcommand("version", "show the first eight bytes of the FMC data");
  AddConnectionOptions(fmc_version, &context.connection);
  SetHandler(fmc_version, &context, [&context] { return CommandFmcVersion(context.connection); });

  CLI::App* fpl = app.add_subcommand("fpl", "store flight-plan data");
  fpl->require_subcommand(1);
  AddPutCommand(fpl, "store FILE as flight-plan data with version word N", Store::kFlightPlan,
                context);
}

}  // namespace zelm::cli
