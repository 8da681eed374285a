// Who may use the gateway's browser side, and for what.
//
// Watching is open to whoever can connect; flying is not:
// - Every HTTP request names the gateway by a name it answers to in its Host: an address, localhost,
//   this computer's name, or a name given with --public-name. A page on any other name that reaches
//   the gateway (a name an attacker points at 127.0.0.1, "DNS rebinding") is refused.
// - A browser may open a WebSocket only from the panel's own origin (the scheme, host and port it
//   asked the page from) or from an origin given with --allow-origin. Programs send no Origin and
//   are let in. Without this, any page the pilot visits could connect to ws://localhost:8080.
// - A WebSocket may send autopilot commands only with the control token (/ws?token=...), which the
//   gateway prints at start in the panel's address, unless the token is turned off (loopback only).
//
// Thread-safety: an Access is read-only once made.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::serve {

struct AccessOptions {
  std::string bind = "127.0.0.1";
  bool tls = false;                          // the panel is served over https (wss)
  std::vector<std::string> allow_origins;    // as given: "https://cockpit.example:8443"
  std::vector<std::string> public_names;     // host names the gateway also answers to
  std::string token;                         // empty: any connection may fly
};

class Access {
 public:
  // False with the reason in `error` when an --allow-origin is not an origin.
  static std::optional<Access> Make(AccessOptions options, std::string* error);

  // Why a request with this Host header (empty when it had none) is refused, or nullopt.
  std::optional<std::string> HostRefused(std::string_view host) const;
  // Why a WebSocket upgrade with this Origin header (empty when it had none) and Host is refused,
  // or nullopt. The Host has already passed HostRefused.
  std::optional<std::string> OriginRefused(std::string_view origin, std::string_view host) const;
  // Whether a WebSocket opened at `target` ("/ws?token=...") may send commands.
  bool MayControl(std::string_view target) const;

  bool token_required() const { return !options_.token.empty(); }
  const AccessOptions& options() const { return options_; }

 private:
  explicit Access(AccessOptions options) : options_(std::move(options)) {}
  AccessOptions options_;
  std::vector<std::string> origins_;  // allow_origins, in the form browsers send
  std::string host_name_;             // this computer's, lower case
};

// "scheme://host[:port]" in the form a browser sends it in Origin: scheme and host in lower case,
// the scheme's default port left out, no path. False when `url` is not an http(s) origin.
bool NormalOrigin(std::string_view url, std::string* origin);

// The value of the query parameter `name` in `target` ("/ws?a=1&token=x"), or nullopt.
std::optional<std::string> QueryParameter(std::string_view target, std::string_view name);

// A new control token: 128 bits from the system's random source, as 32 hex digits. False with the
// reason when the system gives none.
bool NewToken(std::string* token, std::string* error);

// The token in `path`: its first line. A file that does not exist is made, with a new token,
// readable by its owner only. False with the reason in `error`; `warning` gets a word when the file
// is readable by others.
bool TokenFromFile(const std::string& path, std::string* token, std::string* error,
                   std::string* warning);

// Whether `address` (an IP address in text) is a loopback address.
bool IsLoopbackAddress(const std::string& address);

}  // namespace zelm::serve
