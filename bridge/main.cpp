// velkaro-bridge: the add-on's engine in a program of its own, a SimConnect client, for simulators
// that take SimConnect programs but load no add-on DLLs (or to keep Velkaro out of the
// simulator's process). It serves the same frames, protocol, settings file, log and status as the
// add-on, on the same port, and outlives the simulator: started first, it waits for it; when the
// simulator quits, it keeps its clients and connects again when the simulator is back.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "CLI/CLI.hpp"
#include "common/version.h"
#include "dispatch_event.h"
#include "host/addon.h"
#include "host/bridge_state.h"
#include "host/engine.h"
#include "platform/arguments.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "simulator_link.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// How long the server may take to listen before the bridge gives up on the port.
constexpr int kListenWaitMs = 3000;

constexpr const char* kDescription =
    "Serves the simulator's aircraft to Zelm clients over TCP, as the Velkaro add-on\n"
    "does, from a SimConnect program of its own: for simulators that load no add-on\n"
    "DLLs. Start it before or after the simulator; it waits for the simulator and\n"
    "connects again whenever the simulator comes back.";
constexpr const char* kFooter =
    "Settings: Velkaro.ini beside this program (or --config FILE), with the add-on's\n"
    "keys (docs/install.md). Ctrl-C or closing the window stops it.\n"
    "Exit status: 0 stopped; 1 the port could not be served (another velkaro-bridge,\n"
    "or the add-on, on it?); 2 the command line or --config is wrong.";

struct Options {
  std::string config;
  std::optional<int> port;
};

[[noreturn]] void Fail(const std::string& message, int status) {
  std::fprintf(stderr, "velkaro-bridge: %s\n", message.c_str());
  std::exit(status);
}

Options Parse(int argc, char** argv) {
  Options options;
  int port = 0;
  CLI::App app(kDescription, "velkaro-bridge");
  app.get_formatter()->column_width(24);
  app.set_help_flag("-h,--help", "show this help");
  app.set_version_flag("--version", std::string("velkaro-bridge ") + VELKARO_VERSION_TEXT,
                       "show the version");
  app.footer(kFooter);
  app.add_option("--config", options.config,
                 "the settings file (default: Velkaro.ini beside\nthis program, if there)")
      ->type_name("FILE");
  CLI::Option* port_option =
      app.add_option("--port", port, "TCP port for the clients, instead of the\nsettings' port")
          ->type_name("PORT")
          ->check(CLI::Range(1, 65535));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    std::exit(0);
  } catch (const CLI::CallForVersion&) {
    std::printf("%s\n", app.version().c_str());
    std::exit(0);
  } catch (const CLI::ParseError& error) {
    Fail(std::string(error.what()) + " (see --help)", kExitUsage);
  }
  if (port_option->count() > 0) options.port = port;
  // The status and the log name the file in full, whatever the folder the bridge started in.
  if (!options.config.empty()) {
    std::error_code ignored;
    const std::filesystem::path full =
        std::filesystem::absolute(velkaro::platform::PathFromUtf8(options.config), ignored);
    if (!full.empty()) options.config = velkaro::platform::Utf8FromPath(full);
  }
  if (!options.config.empty()) {
    // A file named on the command line must be there: a quiet fall back to the defaults would
    // serve what the user did not ask for.
    std::FILE* file = velkaro::platform::OpenFile(options.config.c_str(), "rb");
    if (file == nullptr) {
      Fail("cannot read the settings file " + options.config + ": " + std::strerror(errno),
           kExitUsage);
    }
    std::fclose(file);
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velkaro;
  platform::Utf8Arguments arguments(argc, argv);
  const Options options = Parse(arguments.argc(), arguments.argv());
  std::atomic<bool> stop{false};
  platform::InstallStopHandler(&stop);
  platform::SocketsStartup();

  engine::RearmBoundaries();
  engine::ApplySettings({options.config, options.port});
  PrepareForStart();
  const StatusBoard::View view = Bridge.Status.Read(platform::SteadyMilliseconds());
  const Settings& settings = Bridge.Config;
  std::string error;
  if (!engine::StartServer(&error) || !engine::WaitUntilListening(kListenWaitMs, &error)) {
    engine::StopServer();
    platform::SocketsCleanup();
    Fail("cannot serve clients on port " + std::to_string(settings.port) + " (" + error +
             "); is another velkaro-bridge, or the simulator with the Velkaro add-on, "
             "already serving it?",
         kExitFailed);
  }
  std::printf("velkaro-bridge %s: serving Zelm clients on port %d (bind %s, allow %s); %s\n",
              VELKARO_VERSION_TEXT, settings.port, settings.bind.c_str(),
              settings.allow.ToString().c_str(),
              view.configuration.config_file.empty()
                  ? "no settings file, defaults"
                  : ("settings " + view.configuration.config_file).c_str());
  for (const std::string& warning : view.warnings) {
    std::printf("velkaro-bridge: warning: %s\n", warning.c_str());
  }
  if (view.configuration.log_enabled) {
    std::printf("velkaro-bridge: log %s\n", view.configuration.log_path.c_str());
  }
  std::fflush(stdout);

  {
    bridge::DispatchEvent event;
    bridge::SimulatorLink link(event, stdout);
    link.Run(stop);
  }
  engine::StopServer();
  platform::SocketsCleanup();
  std::printf("velkaro-bridge: stopped\n");
  std::fflush(stdout);
  platform::StopFinished();
  return 0;
}
