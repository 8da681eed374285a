// zelm serve: runs the gateway (client/serve) with the options given: the browser side, the MQTT
// side, and the add-on it keeps its one connection to.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common/frame_layout.h"
#include "serve/gateway.h"

namespace zelm::cli {

namespace {

struct ServeOptions {
  int http_port = 8080;
  std::string http_bind = "127.0.0.1";
  bool no_http = false;
  std::string mqtt_url;
  std::string mqtt_prefix = "velkaro";
  std::string mqtt_user, mqtt_password, mqtt_password_file;
  std::vector<std::string> deadbands;
  int max_web_clients = 1000;
};

// "NAME=VALUE": NAME a field of the frame or a unit of some field, VALUE 0 or more.
bool ParseDeadband(const std::string& text, std::map<std::string, double>* deadbands,
                   std::string* error) {
  const std::size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  bool known = velkaro::FindFrameField(name) != nullptr;
  for (const velkaro::FrameField& f : velkaro::kFrameFields)
    known = known || (*f.unit && name == f.unit);
  char* end = nullptr;
  const double value =
      equals == std::string::npos ? -1 : std::strtod(text.c_str() + equals + 1, &end);
  if (equals == std::string::npos || !known || end == nullptr || *end != '\0' || !(value >= 0) ||
      !std::isfinite(value)) {
    *error =
        "--mqtt-deadband takes FIELD=VALUE or UNIT=VALUE (a field of zelm frame, or a unit "
        "such as ft or deg; VALUE 0 or more), not \"" +
        text + "\"";
    return false;
  }
  (*deadbands)[name] = value;
  return true;
}

// The longest password file taken: a password is a line, and a file much longer is another file.
constexpr std::size_t kMaxPasswordFileBytes = 4096;
constexpr const char* kPasswordEnvironment = "ZELM_MQTT_PASSWORD";

// The password in the file at `path`: its first line, without the line's end. A pipe (e.g. a
// shell's <(...)) is read as a file is.
std::string ReadPasswordFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    Fail("cannot read the MQTT password file " + path + ": " + std::strerror(errno), kExitUsage);
  }
  std::string text(kMaxPasswordFileBytes + 1, '\0');
  const std::size_t read = std::fread(text.data(), 1, text.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) Fail("cannot read the MQTT password file " + path, kExitUsage);
  if (read > kMaxPasswordFileBytes) {
    Fail("the MQTT password file " + path + " is longer than a password (over " +
             std::to_string(kMaxPasswordFileBytes) + " bytes)",
         kExitUsage);
  }
  text.resize(read);
  text.erase(std::min(text.find_first_of("\r\n"), text.size()));
  if (text.empty()) Fail("the MQTT password file " + path + " holds no password", kExitUsage);
  return text;
}

void Warn(const std::string& message) {
  std::fprintf(stderr, "zelm: warning: %s\n", message.c_str());
}

int CommandServe(const ConnectionOptions& connection, const ServeOptions& o) {
  zelm::serve::GatewayOptions options;
  options.upstream.host = connection.host;
  options.upstream.port = static_cast<std::uint16_t>(connection.port);
  options.upstream.timeout = connection.Timeout();
  options.http = !o.no_http;
  options.web.bind = o.http_bind;
  options.web.port = static_cast<std::uint16_t>(o.http_port);
  options.web.max_clients = static_cast<std::size_t>(o.max_web_clients);
  if (!o.mqtt_url.empty()) {
    if (!zelm::serve::MqttBuilt()) {
      Fail(
          "this build of zelm has no MQTT side (there is no MQTT library for it); run zelm serve "
          "--mqtt on Linux",
          kExitUsage);
    }
    zelm::serve::MqttOptions mqtt;
    std::string error;
    if (!zelm::serve::ParseMqttUrl(o.mqtt_url, &mqtt.broker, &error)) Fail(error, kExitUsage);
    // A password on the command line is in the process list, which every user of the machine
    // can read; the file and the environment are not.
    if (!mqtt.broker.password.empty()) {
      Warn("the password in the --mqtt URL is visible to other users of this computer; use "
           "--mqtt-password-file or " +
           std::string(kPasswordEnvironment) + " instead");
    }
    if (!o.mqtt_user.empty()) mqtt.broker.user = o.mqtt_user;
    const char* environment = std::getenv(kPasswordEnvironment);
    if (!o.mqtt_password_file.empty()) {
      mqtt.broker.password = ReadPasswordFile(o.mqtt_password_file);
    } else if (!o.mqtt_password.empty()) {
      Warn("--mqtt-password is visible to other users of this computer; use "
           "--mqtt-password-file or " +
           std::string(kPasswordEnvironment) + " instead");
      mqtt.broker.password = o.mqtt_password;
    } else if (environment != nullptr && *environment != '\0') {
      mqtt.broker.password = environment;
    }
    if (!o.mqtt_password_file.empty() && mqtt.broker.user.empty()) {
      Fail("--mqtt-password-file needs a user name: --mqtt-user NAME or mqtt://NAME@HOST",
           kExitUsage);
    }
    mqtt.prefix = o.mqtt_prefix;
    for (const std::string& d : o.deadbands) {
      if (!ParseDeadband(d, &mqtt.deadbands, &error)) Fail(error, kExitUsage);
    }
    options.mqtt = mqtt;
  } else if (o.no_http) {
    Fail("--no-http leaves nothing to serve without --mqtt", kExitUsage);
  }
  return zelm::serve::RunGateway(options, g_stop, stdout);
}

}  // namespace

void AddServeCommand(CLI::App& app, CommandContext& context) {
  auto serve_options = std::make_shared<ServeOptions>();
  ServeOptions& o = *serve_options;
  CLI::App* serve = app.add_subcommand(
      "serve", "the gateway: a live instrument panel in the browser, WebSocket and MQTT");
  serve
      ->add_option("--http-port", o.http_port,
                   "the panel's HTTP port, 0 for one the system picks (default 8080)")
      ->check(WholeNumber(0, 65535))
      ->type_name("PORT")
      ->group("Browser");
  serve
      ->add_option("--http-bind", o.http_bind,
                   "address to serve on (default 127.0.0.1: this computer only)")
      ->check(CLI::ValidIPV4)
      ->type_name("ADDRESS")
      ->group("Browser");
  serve->add_flag("--no-http", o.no_http, "no browser side (with --mqtt)")->group("Browser");
  serve
      ->add_option("--max-clients", o.max_web_clients,
                   "browsers and programs at once, 1 to 10000 (default 1000)")
      ->check(WholeNumber(1, 10000))
      ->type_name("N")
      ->group("Browser");
  serve
      ->add_option("--mqtt", o.mqtt_url,
                   "also publish to a broker: mqtt://[USER[:PASS]@]HOST[:PORT], mqtts://...")
      ->type_name("URL")
      ->group("MQTT");
  serve->add_option("--mqtt-prefix", o.mqtt_prefix, "topic prefix (default velkaro)")
      ->type_name("PREFIX")
      ->group("MQTT");
  serve->add_option("--mqtt-user", o.mqtt_user, "user name at the broker")
      ->type_name("NAME")
      ->group("MQTT");
  CLI::Option* password_file =
      serve
          ->add_option("--mqtt-password-file", o.mqtt_password_file,
                       "password at the broker: the first line of FILE (or set " +
                           std::string(kPasswordEnvironment) + ")")
          ->type_name("FILE")
          ->group("MQTT");
  serve
      ->add_option("--mqtt-password", o.mqtt_password,
                   "password at the broker, visible to other users: prefer --mqtt-password-file")
      ->type_name("TEXT")
      ->excludes(password_file)
      ->group("MQTT");
  serve
      ->add_option("--mqtt-deadband", o.deadbands,
                   "a field's step: FIELD=VALUE or UNIT=VALUE (e.g. altitude=10, ft=5)")
      ->type_name("NAME=VALUE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("MQTT");
  serve->footer(
      "Open http://localhost:8080/ for the panel. --http-bind 0.0.0.0 opens the panel, and\n"
      "the autopilot with it, to the whole network. /ws sends every new frame as JSON and\n"
      "takes autopilot commands ({\"mcp\": {\"ap\": true, \"hdg\": 270}}); /status is the\n"
      "gateway's state and the add-on's. The gateway keeps one connection to the add-on and\n"
      "reconnects when it goes away. MQTT topics: docs/mqtt.md.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(serve, &context.connection, "each request to the add-on");
  SetHandler(serve, &context, [&context, serve_options] {
    return CommandServe(context.connection, *serve_options);
  });
}

}  // namespace zelm::cli
