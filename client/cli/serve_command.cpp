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
#include "platform/file.h"
#include "serve/access.h"
#include "serve/gateway.h"
#include "serve/tls.h"

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
  std::vector<std::string> allow_origins, public_names;
  std::string token_file;
  bool no_token = false;
  std::string tls_cert, tls_key;
  bool tls_cert_given = false, tls_key_given = false;
  std::string record_folder;
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
  std::FILE* file = velkaro::platform::OpenFile(path.c_str(), "rb");
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
  options.web.access.bind = o.http_bind;
  options.web.access.allow_origins = o.allow_origins;
  options.web.access.public_names = o.public_names;
  std::string error;
  if (o.tls_cert_given || o.tls_key_given) {
    if (!zelm::serve::TlsBuilt()) {
      Fail(
          "this build of zelm has no TLS (there is no OpenSSL for it): run zelm serve "
          "--tls-cert on Linux, or serve plain http behind a TLS proxy",
          kExitUsage);
    }
    if (o.no_http) {
      Fail("--tls-cert and --tls-key are for the browser side, which --no-http turns off",
           kExitUsage);
    }
    if (!o.tls_cert_given || !o.tls_key_given) {
      Fail("--tls-cert and --tls-key go together: the certificate and its private key, PEM files",
           kExitUsage);
    }
    options.web.tls = zelm::serve::MakeTlsContext(o.tls_cert, o.tls_key, &error);
    if (!options.web.tls) Fail(error, kExitUsage);
    options.web.access.tls = true;
  }
  if (!o.no_http) {
    if (!zelm::serve::Access::Make(options.web.access, &error)) Fail(error, kExitUsage);
    if (o.no_token) {
      if (!zelm::serve::IsLoopbackAddress(o.http_bind)) {
        Fail("--no-token would let anyone who can reach " + o.http_bind +
                 " fly the aircraft: it is allowed only with a loopback --http-bind "
                 "(127.0.0.1)",
             kExitUsage);
      }
    } else if (!o.token_file.empty()) {
      std::string warning;
      if (!zelm::serve::TokenFromFile(o.token_file, &options.web.access.token, &error, &warning)) {
        Fail(error, kExitUsage);
      }
      if (!warning.empty()) Warn(warning);
    } else if (!zelm::serve::NewToken(&options.web.access.token, &error)) {
      Fail(error, kExitFailed);
    }
  }
  if (!o.mqtt_url.empty()) {
    if (!zelm::serve::MqttBuilt()) {
      Fail(
          "this build of zelm has no MQTT side (there is no MQTT library for it); run zelm serve "
          "--mqtt on Linux",
          kExitUsage);
    }
    zelm::serve::MqttOptions mqtt;
    if (!zelm::serve::ParseMqttUrl(o.mqtt_url, &mqtt.broker, &error)) Fail(error, kExitUsage);
    // A password on the command line is in the process list, which every user of the machine
    // can read; the file and the environment are not.
    if (!mqtt.broker.password.empty()) {
      Warn(
          "the password in the --mqtt URL is visible to other users of this computer; use "
          "--mqtt-password-file or " +
          std::string(kPasswordEnvironment) + " instead");
    }
    if (!o.mqtt_user.empty()) mqtt.broker.user = o.mqtt_user;
    const char* environment = std::getenv(kPasswordEnvironment);
    if (!o.mqtt_password_file.empty()) {
      mqtt.broker.password = ReadPasswordFile(o.mqtt_password_file);
    } else if (!o.mqtt_password.empty()) {
      Warn(
          "--mqtt-password is visible to other users of this computer; use "
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
  } else if (o.no_http && o.record_folder.empty()) {
    Fail("--no-http leaves nothing to serve without --mqtt or --record", kExitUsage);
  }
  options.record_folder = o.record_folder;
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
      ->add_option("--allow-origin", o.allow_origins,
                   "also let pages from this origin open a WebSocket (e.g. "
                   "https://cockpit.example:8443); repeatable")
      ->type_name("URL")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("Browser");
  serve
      ->add_option("--public-name", o.public_names,
                   "also answer to this host name (besides addresses, localhost and this "
                   "computer's name); repeatable")
      ->type_name("NAME")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("Browser");
  CLI::Option* token_file =
      serve
          ->add_option("--token-file", o.token_file,
                       "the control token: the first line of FILE, made (readable by you only) "
                       "with a new token when absent; default a new token at each start")
          ->type_name("FILE")
          ->group("Browser");
  serve
      ->add_flag("--no-token", o.no_token,
                 "let every connection fly, token or not (only with a loopback --http-bind)")
      ->excludes(token_file)
      ->group("Browser");
  serve
      ->add_option("--tls-cert", o.tls_cert,
                   "serve https and wss with this certificate (PEM; a chain: the certificate "
                   "first), with --tls-key")
      ->type_name("FILE")
      ->group("Browser");
  serve
      ->add_option("--tls-key", o.tls_key,
                   "the certificate's private key (PEM, without a passphrase)")
      ->type_name("FILE")
      ->group("Browser");
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
  serve
      ->add_option("--record", o.record_folder,
                   "record every connection to the add-on into a flight recording of its own "
                   "in DIR, named by its start time (made when missing)")
      ->type_name("DIR")
      ->group("Recording");
  serve->footer(
      "Open the address zelm serve prints (http://localhost:8080/?token=...) for the panel.\n"
      "Anyone who can reach the gateway may watch; only a connection with the control token\n"
      "may fly. --http-bind 0.0.0.0 opens the panel to the whole network. /ws sends every new\n"
      "frame as JSON and, opened as /ws?token=TOKEN, takes autopilot commands\n"
      "({\"mcp\": {\"ap\": true, \"hdg\": 270}}); /status is the gateway's state and the\n"
      "add-on's. The gateway keeps one connection to the add-on and reconnects when it goes\n"
      "away. --tls-cert and --tls-key serve https and wss instead (docs/gateway.md: how to make\n"
      "a certificate). Security: docs/install.md; MQTT topics: docs/mqtt.md.\n\n" +
      std::string(kExitStatusText));
  AddConnectionOptions(serve, &context.connection, "each request to the add-on");
  SetHandler(serve, &context, [&context, serve_options, serve] {
    serve_options->tls_cert_given = serve->count("--tls-cert") != 0;
    serve_options->tls_key_given = serve->count("--tls-key") != 0;
    return CommandServe(context.connection, *serve_options);
  });
}

}  // namespace zelm::cli
