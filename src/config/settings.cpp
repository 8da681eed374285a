#include "config/settings.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION  // the template bodies, in this one file
#include <SimpleIni.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "platform/file.h"
#include "platform/system.h"

namespace velkaro {

namespace {

// Well-formed UTF-8: no stray continuation byte, no cut or overlong sequence, nothing past
// U+10FFFF and no surrogate.
bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the byte after the lead
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool ParseWhole(std::string_view text, long low, long high, long* value) {
  long v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (error != std::errc() || end != text.data() + text.size() || v < low || v > high) {
    return false;
  }
  *value = v;
  return true;
}

// A size in bytes: digits, then K or M (1024 and 1024 * 1024, either case) if wanted.
bool ParseByteSize(std::string_view text, std::uint64_t low, std::uint64_t high,
                   std::uint64_t* value) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) unit = 1024;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  std::uint64_t v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || v > high / unit ||
      v * unit < low) {
    return false;
  }
  *value = v * unit;
  return true;
}

bool ParseBool(std::string_view text, bool* value) {
  for (const char* yes : {"true", "yes", "on", "1"}) {
    if (EqualsIgnoringCase(text, yes)) return *value = true;
  }
  for (const char* no : {"false", "no", "off", "0"}) {
    if (EqualsIgnoringCase(text, no)) {
      *value = false;
      return true;
    }
  }
  return false;
}

// A value as a warning shows it: a long one is cut, so that what follows it (what is in force
// instead) survives the status's bound on a warning.
std::string Shown(std::string_view value) {
  constexpr std::size_t kLongest = 64;
  if (value.size() <= kLongest) return std::string(value);
  return std::string(value.substr(0, kLongest - 3)) + "...";
}

// What is served when the file gives no trustworthy answer: this computer only.
constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1
constexpr const char* kLoopbackText = "127.0.0.1";

AllowList LoopbackOnly() {
  AllowList list;
  list.ranges.push_back({kLoopbackAddress, ~std::uint32_t{0}});
  return list;
}

// Said of a file that is there but not used.
constexpr const char* kFileNotUsed =
    "the file is not used: defaults in force, but only this computer (127.0.0.1) is served";

// The file's own defaults, narrowed to this computer: what is in force when the file is there but
// cannot be used, so that a file meant to narrow access never leaves the add-on open to all.
void ServeThisComputerOnly(Settings& settings) {
  settings = Settings{};
  settings.bind = kLoopbackText;
  settings.allow = LoopbackOnly();
}

// "a.b.c.d" or "a.b.c.d/n"; null when taken, else why not.
const char* ParseRange(std::string_view text, AllowList::Range* range) {
  if (text.empty()) return "is empty";
  if (EqualsIgnoringCase(text, "ANY")) return "is ANY, which stands only alone";
  std::uint32_t address = 0;
  long bits = 32;
  const std::size_t slash = text.find('/');
  if (!ParseIpv4(Trim(text.substr(0, slash)), &address)) return "is not an IPv4 address";
  if (slash != std::string_view::npos && !ParseWhole(Trim(text.substr(slash + 1)), 0, 32, &bits)) {
    return "has a prefix length that is not 0 to 32";
  }
  range->mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  range->network = address & range->mask;
  return nullptr;
}

// The first entry of an allow list that is not taken, and how many more are not.
struct ListMistake {
  std::size_t position = 0;  // from 1
  std::string_view entry;
  const char* why = nullptr;
  std::size_t others = 0;
};

// Every entry is read, so that a mistake names the first bad entry and counts the rest; the
// list is taken only when all are good.
bool ParseAllowList(std::string_view text, AllowList* list, ListMistake* mistake = nullptr) {
  if (EqualsIgnoringCase(text, "ANY")) {
    list->ranges.clear();
    return true;
  }
  AllowList parsed;
  ListMistake first;
  for (std::size_t position = 1;; ++position) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    AllowList::Range range{};
    if (const char* why = ParseRange(entry, &range)) {
      if (first.why == nullptr) {
        first = {position, entry, why, 0};
      } else {
        ++first.others;
      }
    } else if (first.why == nullptr) {
      parsed.ranges.push_back(range);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (first.why != nullptr) {
    if (mistake != nullptr) *mistake = first;
    return false;
  }
  *list = std::move(parsed);
  return true;
}

struct Key {
  const char* section;
  const char* name;
  // Takes the value; false when it is not valid.
  bool (*apply)(std::string_view value, Settings& settings);
  const char* expected;  // for the warning
  // For a key whose default would widen access (everyone, every interface): what a value not
  // taken leaves in force instead, narrowed to this computer, and the rest of the warning after
  // "[section] name". Null for the others, whose default is in force.
  std::string (*fail_closed)(std::string_view value, Settings& settings) = nullptr;
};

const Key kKeys[] = {
    {"server", "port",
     [](std::string_view v, Settings& s) {
       long port = 0;
       if (!ParseWhole(v, 1, 65535, &port)) return false;
       s.port = static_cast<std::uint16_t>(port);
       return true;
     },
     "a port from 1 to 65535"},
    {"server", "bind",
     [](std::string_view v, Settings& s) {
       std::uint32_t address = 0;
       if (EqualsIgnoringCase(v, "ANY")) {
         s.bind = "ANY";
         return true;
       }
       if (!ParseIpv4(v, &address)) return false;
       s.bind = Ipv4Text(address);
       return true;
     },
     "ANY or an IPv4 address",
     [](std::string_view v, Settings& s) {
       s.bind = kLoopbackText;
       return " = " + Shown(v) +
              " is not ANY or an IPv4 address; only this computer (127.0.0.1) is served until it "
              "is fixed";
     }},
    {"server", "max_clients",
     [](std::string_view v, Settings& s) {
       long count = 0;
       if (!ParseWhole(v, 1, kMaxSessionsLimit, &count)) return false;
       s.max_clients = static_cast<int>(count);
       return true;
     },
     "1 to 64"},
    {"server", "max_clients_per_address",
     [](std::string_view v, Settings& s) {
       long count = 0;
       if (!ParseWhole(v, 1, kMaxSessionsLimit, &count)) return false;
       s.max_clients_per_address = static_cast<int>(count);
       return true;
     },
     "1 to 64"},
    {"server", "allow", [](std::string_view v, Settings& s) { return ParseAllowList(v, &s.allow); },
     "ANY or IPv4 addresses and CIDR ranges separated by commas",
     [](std::string_view v, Settings& s) {
       ListMistake mistake;
       AllowList unused;
       ParseAllowList(v, &unused, &mistake);
       s.allow = LoopbackOnly();
       std::string text = ": entry " + std::to_string(mistake.position) + ", \"" +
                          Shown(mistake.entry) + "\", " + mistake.why;
       if (mistake.others > 0) {
         text += " (and " + std::to_string(mistake.others) + " more " +
                 (mistake.others == 1 ? "entry is" : "entries are") + " not valid)";
       }
       return text + "; only this computer (127.0.0.1) may connect until it is fixed";
     }},
    {"log", "enabled", [](std::string_view v, Settings& s) { return ParseBool(v, &s.log_enabled); },
     "true or false"},
    {"log", "path",
     [](std::string_view v, Settings& s) {
       if (v.empty()) return false;
       // Paths are held in UTF-8. A file saved in the system's code page (as Notepad long did)
       // keeps naming the same file.
       s.log_path = IsUtf8(v) ? std::string(v) : platform::SystemTextToUtf8(v);
       return true;
     },
     "a file path"},
    {"log", "max_size",
     [](std::string_view v, Settings& s) {
       return ParseByteSize(v, kSmallestLogMaxBytes, kLargestLogMaxBytes, &s.log_max_bytes);
     },
     "a size from 64K to 1024M (bytes, or with K or M)"},
};

}  // namespace

bool ParseIpv4(std::string_view text, std::uint32_t* address) {
  std::uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    const std::string_view digits = text.substr(0, dot);
    long value = 0;
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        !ParseWhole(digits, 0, 255, &value)) {
      return false;
    }
    result = (result << 8) | static_cast<std::uint32_t>(value);
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  *address = result;
  return true;
}

std::string Ipv4Text(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool AllowList::Allows(std::uint32_t address) const {
  if (ranges.empty()) return true;
  return std::any_of(ranges.begin(), ranges.end(),
                     [&](const Range& r) { return (address & r.mask) == r.network; });
}

std::string AllowList::ToString() const {
  if (ranges.empty()) return "ANY";
  std::string text;
  for (const Range& r : ranges) {
    if (!text.empty()) text += ", ";
    int bits = 0;
    for (std::uint32_t m = r.mask; m != 0; m <<= 1) ++bits;
    text += Ipv4Text(r.network) + (bits == 32 ? "" : "/" + std::to_string(bits));
  }
  return text;
}

std::string Settings::Describe() const {
  return "port " + std::to_string(port) + ", bind " + bind + ", max_clients " +
         std::to_string(max_clients) +
         (max_clients_per_address == kDefaultSessionsPerAddress
              ? std::string()
              : ", max_clients_per_address " + std::to_string(max_clients_per_address)) +
         ", allow " + allow.ToString() + ", log " +
         (log_enabled ? "on (" + log_path + ")" : std::string("off"));
}

Settings ParseSettings(std::string_view ini_text) {
  Settings settings;
  // A NUL byte means the file is not the text it seems to be (the INI reader would stop there and
  // quietly drop the rest, an allow list with it).
  if (const std::size_t nul = ini_text.find('\0'); nul != std::string_view::npos) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < nul; ++i) {
      // "\r\n", "\n" and "\r" each end a line, as they do for the INI reader.
      if (ini_text[i] == '\n' || (ini_text[i] == '\r' && ini_text[i + 1] != '\n')) ++line;
    }
    ServeThisComputerOnly(settings);
    settings.warnings.push_back("line " + std::to_string(line) + " holds a NUL byte; " +
                                kFileNotUsed);
    return settings;
  }
  // Multi-key, to see a key given twice; the last value given is the one taken.
  CSimpleIniA ini(/*a_bIsUtf8=*/false, /*a_bMultiKey=*/true, /*a_bMultiLine=*/false);
  if (ini.LoadData(ini_text.data(), ini_text.size()) < 0) {
    ServeThisComputerOnly(settings);
    settings.warnings.push_back(std::string("the file could not be read as INI; ") + kFileNotUsed);
    return settings;
  }
  CSimpleIniA::TNamesDepend sections;
  ini.GetAllSections(sections);
  sections.sort(CSimpleIniA::Entry::LoadOrder());
  for (const CSimpleIniA::Entry& section : sections) {
    CSimpleIniA::TNamesDepend keys;
    ini.GetAllKeys(section.pItem, keys);
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    const bool known_section = std::any_of(std::begin(kKeys), std::end(kKeys), [&](const Key& k) {
      return EqualsIgnoringCase(k.section, section.pItem);
    });
    if (!known_section && *section.pItem != '\0') {
      settings.warnings.push_back(std::string("unknown section [") + section.pItem + "], ignored");
      continue;
    }
    for (const CSimpleIniA::Entry& key : keys) {
      const std::string where = std::string("[") + section.pItem + "] " + key.pItem;
      const Key* known = nullptr;
      for (const Key& k : kKeys) {
        if (EqualsIgnoringCase(k.section, section.pItem) && EqualsIgnoringCase(k.name, key.pItem)) {
          known = &k;
        }
      }
      if (known == nullptr) {
        settings.warnings.push_back("unknown key " + where + ", ignored");
        continue;
      }
      CSimpleIniA::TNamesDepend values;
      ini.GetAllValues(section.pItem, key.pItem, values);
      values.sort(CSimpleIniA::Entry::LoadOrder());
      const std::string_view value = Trim(values.back().pItem);
      if (values.size() > 1 && known->fail_closed != nullptr) {
        // A key that decides who may connect, given twice: which value was meant is not known
        // (a line added to narrow the access may be the one that is not last), so neither
        // widens it.
        if (std::string_view(known->name) == "bind") settings.bind = kLoopbackText;
        if (std::string_view(known->name) == "allow") settings.allow = LoopbackOnly();
        settings.warnings.push_back(where + " is given " + std::to_string(values.size()) +
                                    " times; only this computer (127.0.0.1) is served until one "
                                    "is left");
        continue;
      }
      if (values.size() > 1) {
        settings.warnings.push_back(where + " is given " + std::to_string(values.size()) +
                                    " times; the last, " + Shown(value) + ", is used");
      }
      if (known->apply(value, settings)) continue;
      if (known->fail_closed != nullptr) {
        settings.warnings.push_back(where + known->fail_closed(value, settings));
      } else {
        settings.warnings.push_back(where + " = " + std::string(value) + " is not " +
                                    known->expected + "; the default is in force");
      }
    }
  }
  return settings;
}

LoadedSettings LoadSettings(const std::string& folder) {
  return LoadSettingsFile(folder + kSettingsFileName);
}

LoadedSettings LoadSettingsFile(const std::string& path) {
  LoadedSettings loaded;
  std::string text;
  int error = 0;
  const platform::FileReadResult result =
      platform::ReadRegularFile(path.c_str(), kMaxSettingsFileBytes, text, &error);
  switch (result) {
    case platform::FileReadResult::kRead:
      loaded.settings = ParseSettings(text);
      loaded.file = path;
      return loaded;
    case platform::FileReadResult::kCannotOpen:
      if (platform::IsNotFoundError(error)) return loaded;  // no file: the defaults, quietly
      break;
    case platform::FileReadResult::kTooLarge:
      ServeThisComputerOnly(loaded.settings);
      loaded.settings.warnings.push_back(path + " is larger than " +
                                         std::to_string(kMaxSettingsFileBytes) +
                                         " bytes and was not read; " + kFileNotUsed);
      return loaded;
    default:
      break;
  }
  std::string why = platform::FileReadResultText(result);
  if (error != 0) {
    const std::string reason = platform::SystemErrorText(error);
    why += " (error " + std::to_string(error) + ", " +
           (reason.empty() ? "no text for it" : reason) + ")";
  }
  // The file is there (or may be) but unread: what it says of access is unknown.
  ServeThisComputerOnly(loaded.settings);
  loaded.settings.warnings.push_back(path + " " + why + "; " + kFileNotUsed);
  return loaded;
}

std::string LogFilePath(const Settings& settings, const std::string& folder) {
  return platform::PathFrom(folder, settings.log_path);
}

}  // namespace velkaro
