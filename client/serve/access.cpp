#if defined(_WIN32)
#define _CRT_RAND_S  // rand_s: the system's cryptographic random source
#endif
#include "serve/access.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/file.h"

namespace zelm::serve {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The host of a Host header ("name:8080", "[::1]:8080", "name"), in lower case, without its port
// or an IPv6 address's brackets.
std::string HostOf(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return Lower(host.substr(1, close == std::string_view::npos ? host.npos : close - 1));
  }
  const std::size_t colon = host.find(':');
  std::string name = Lower(host.substr(0, colon));
  if (!name.empty() && name.back() == '.') name.pop_back();  // "localhost." is localhost
  return name;
}

bool IsAddress(const std::string& text) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(text, ec);
  return !ec;
}

// The characters a token may have: those a URL carries as they are.
bool TokenCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.' ||
         c == '~';
}

constexpr std::size_t kShortestToken = 16;
constexpr std::size_t kLongestToken = 256;

// Compares in a time that does not depend on where the texts first differ.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace

bool NormalOrigin(std::string_view url, std::string* origin) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  const std::string scheme = Lower(url.substr(0, scheme_end));
  if (scheme != "http" && scheme != "https") return false;
  std::string_view rest = url.substr(scheme_end + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);  // "http://host:8080/"
  if (rest.empty() || rest.find_first_of("/?#@ ") != std::string_view::npos) return false;
  std::string_view host = rest;
  std::string_view port;
  if (rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    host = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      port = rest.substr(close + 2);
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) return false;
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; })) {
      return false;
    }
    const int number = std::atoi(std::string(port).c_str());
    if (number < 1 || number > 65535) return false;
    if ((scheme == "http" && number == 80) || (scheme == "https" && number == 443)) port = {};
  }
  *origin = scheme + "://" + Lower(host);
  if (!port.empty()) *origin += ":" + std::to_string(std::atoi(std::string(port).c_str()));
  return true;
}

std::optional<std::string> QueryParameter(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return std::string(equals == std::string_view::npos ? std::string_view{}
                                                          : pair.substr(equals + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

std::optional<Access> Access::Make(AccessOptions options, std::string* error) {
  Access access(std::move(options));
  for (const std::string& given : access.options_.allow_origins) {
    std::string origin;
    if (!NormalOrigin(given, &origin)) {
      *error = "--allow-origin takes an origin such as https://cockpit.example:8443, not \"" +
               given + "\"";
      return std::nullopt;
    }
    access.origins_.push_back(origin);
  }
  for (std::string& name : access.options_.public_names) name = HostOf(name);
  boost::system::error_code ec;
  access.host_name_ = Lower(boost::asio::ip::host_name(ec));
  if (ec) access.host_name_.clear();
  return access;
}

std::optional<std::string> Access::HostRefused(std::string_view host) const {
  // A browser always names the server in Host; a request without one is a program's.
  if (host.empty()) return std::nullopt;
  const std::string name = HostOf(host);
  // A browser sends an address as Host only when it connected to that address itself: no page
  // of another name is behind it.
  if (IsAddress(name)) return std::nullopt;
  if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost"))) {
    return std::nullopt;
  }
  if (!host_name_.empty() && (name == host_name_ || name == host_name_ + ".local")) {
    return std::nullopt;
  }
  if (std::find(options_.public_names.begin(), options_.public_names.end(), name) !=
      options_.public_names.end()) {
    return std::nullopt;
  }
  return "this gateway does not answer to the name \"" + name +
         "\": use its address, localhost or this computer's name, or start it with "
         "--public-name " +
         name;
}

std::optional<std::string> Access::OriginRefused(std::string_view origin,
                                                 std::string_view host) const {
  if (origin.empty()) return std::nullopt;  // not a browser
  std::string normal;
  std::string own;
  if (NormalOrigin(origin, &normal) &&
      ((NormalOrigin(std::string(options_.tls ? "https://" : "http://") + std::string(host),
                     &own) &&
        normal == own) ||
       std::find(origins_.begin(), origins_.end(), normal) != origins_.end())) {
    return std::nullopt;
  }
  return "a page from " + std::string(origin) +
         " may not connect to this gateway: only its own panel may, and origins given with "
         "--allow-origin";
}

bool Access::MayControl(std::string_view target) const {
  if (options_.token.empty()) return true;
  const std::optional<std::string> token = QueryParameter(target, "token");
  return token.has_value() && SameSecret(*token, options_.token);
}

bool NewToken(std::string* token, std::string* error) {
  unsigned char bytes[16];
#if defined(_WIN32)
  for (std::size_t i = 0; i < sizeof bytes; i += 4) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) {
      *error = "the system gave no random numbers for the control token";
      return false;
    }
    std::memcpy(bytes + i, &value, 4);
  }
#else
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = std::string("the system gave no random numbers for the control token: ") +
               std::strerror(errno);
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
#endif
  static constexpr char kHex[] = "0123456789abcdef";
  token->clear();
  for (unsigned char b : bytes) {
    token->push_back(kHex[b >> 4]);
    token->push_back(kHex[b & 15]);
  }
  return true;
}

bool TokenFromFile(const std::string& path, std::string* token, std::string* error,
                   std::string* warning) {
  std::FILE* file = velkaro::platform::OpenFile(path.c_str(), "rb");
  if (file == nullptr && errno == ENOENT) {
    if (!NewToken(token, error)) return false;
    const std::string line = *token + "\n";
#if defined(_WIN32)
    file = velkaro::platform::OpenFile(path.c_str(), "wbx");
    const bool made =
        file != nullptr && std::fwrite(line.data(), 1, line.size(), file) == line.size();
    if (file != nullptr && std::fclose(file) != 0) file = nullptr;
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool made =
        fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0 && ::close(fd) != 0) made = false;
#endif
    if (!made) {
      *error = "cannot make the token file " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  if (file == nullptr) {
    *error = "cannot read the token file " + path + ": " + std::strerror(errno);
    return false;
  }
  char text[kLongestToken + 2] = {};
  const std::size_t read = std::fread(text, 1, sizeof text, file);
  std::fclose(file);
  std::string_view line(text, read);
  line = line.substr(0, line.find_first_of("\r\n"));
  if (line.size() < kShortestToken || line.size() > kLongestToken ||
      !std::all_of(line.begin(), line.end(), TokenCharacter)) {
    *error = "the token file " + path + " holds no usable token: its first line must be " +
             std::to_string(kShortestToken) + " to " + std::to_string(kLongestToken) +
             " letters, digits, '-', '_', '.' or '~' (delete the file for a new one)";
    return false;
  }
  *token = std::string(line);
#if !defined(_WIN32)
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
    *warning = "the token file " + path +
               " can be read by other users of this computer, who could then fly the aircraft "
               "(chmod 600 " +
               path + ")";
  }
#else
  (void)warning;
#endif
  return true;
}

bool IsLoopbackAddress(const std::string& address) {
  boost::system::error_code ec;
  const auto parsed = boost::asio::ip::make_address(address, ec);
  return !ec && parsed.is_loopback();
}

}  // namespace zelm::serve
