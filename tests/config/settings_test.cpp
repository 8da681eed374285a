// The settings file: a table of files and the settings and warnings each gives; mistakes that
// would widen access narrow it to this computer instead.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_files.h"

namespace velkaro {
namespace {

using namespace std::string_literals;

struct Case {
  const char* name;
  std::string ini;
  std::string described;  // Settings::Describe() of the result
  std::vector<std::string> warnings;
};

const std::string kDefaults = "port 5193, bind ANY, max_clients 64, allow ANY, log off";
const std::string kDefaultsOnThisComputer =
    "port 5193, bind 127.0.0.1, max_clients 64, allow 127.0.0.1, log off";
const std::string kOnlyThisComputerConnects =
    "; only this computer (127.0.0.1) may connect until it is fixed";
const std::string kNotUsed =
    "; the file is not used: defaults in force, but only this computer (127.0.0.1) is served";

TEST(SettingsTest, FilesGiveSettingsAndWarnings) {
  const Case cases[] = {
      {"an empty file", "", kDefaults, {}},
      {"comments only", "; nothing here\n# nor here\n[server]\n", kDefaults, {}},
      {"every key",
       "[server]\nport = 6000\nbind = 127.0.0.1\nmax_clients = 8\nmax_clients_per_address = 4\n"
       "allow = 127.0.0.1, 192.168.1.0/24\n[log]\nenabled = true\npath = logs/v.log\n",
       "port 6000, bind 127.0.0.1, max_clients 8, max_clients_per_address 4, allow 127.0.0.1, "
       "192.168.1.0/24, "
       "log on (logs/v.log)",
       {}},
      {"names in any case, values with spaces around",
       "[SERVER]\n  Port=  7000  \n[Log]\nENABLED = Yes\n",
       "port 7000, bind ANY, max_clients 64, allow ANY, log on (Velkaro.log)",
       {}},
      {"a range is kept as its network",
       "[server]\nallow = 10.1.2.3/8\n",
       "port 5193, bind ANY, max_clients 64, allow 10.0.0.0/8, log off",
       {}},
      {"bad values keep their defaults, each warned; bind and allow narrow to this computer",
       "[server]\nport = 70000\nbind = localhost\nmax_clients = 0\nallow = 10.0.0.0/33\n"
       "max_clients_per_address = 65\n"
       "[log]\nenabled = maybe\npath =\n",
       "port 5193, bind 127.0.0.1, max_clients 64, allow 127.0.0.1, log off",
       {"[server] port = 70000 is not a port from 1 to 65535; the default is in force",
        "[server] bind = localhost is not ANY or an IPv4 address; only this computer "
        "(127.0.0.1) is served until it is fixed",
        "[server] max_clients = 0 is not 1 to 64; the default is in force",
        "[server] allow: entry 1, \"10.0.0.0/33\", has a prefix length that is not 0 to 32" +
            kOnlyThisComputerConnects,
        "[server] max_clients_per_address = 65 is not 1 to 64; the default is in force",
        "[log] enabled = maybe is not true or false; the default is in force",
        "[log] path =  is not a file path; the default is in force"}},
      {"numbers with trailing text are not numbers",
       "[server]\nport = 80x\nmax_clients=6.5\n",
       kDefaults,
       {"[server] port = 80x is not a port from 1 to 65535; the default is in force",
        "[server] max_clients = 6.5 is not 1 to 64; the default is in force"}},
      {"unknown keys and sections",
       "[server]\nprot = 1\n[extra]\nx = 1\n",
       kDefaults,
       {"unknown key [server] prot, ignored", "unknown section [extra], ignored"}},
      {"one bad address spoils the list, and is named",
       "[server]\nallow = 127.0.0.1, 300.1.1.1\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 2, \"300.1.1.1\", is not an IPv4 address" +
        kOnlyThisComputerConnects}},
      {"an empty allow is a mistake, not everyone",
       "[server]\nallow =\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 1, \"\", is empty" + kOnlyThisComputerConnects}},
      {"a comma too many leaves an empty entry",
       "[server]\nallow = 10.0.0.0/8,\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 2, \"\", is empty" + kOnlyThisComputerConnects}},
      {"ANY within a list does not open it",
       "[server]\nallow = ANY, 10.0.0.1\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 1, \"ANY\", is ANY, which stands only alone" +
        kOnlyThisComputerConnects}},
      {"the first bad entry is named and the others counted",
       "[server]\nallow = 10.0.0.1, host.lan, 10.0.0.2, 10.0.0.0/x, 1.2.3\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 2, \"host.lan\", is not an IPv4 address (and 2 more entries are "
        "not valid)" +
        kOnlyThisComputerConnects}},
      {"a long entry is cut in the warning, which keeps what is in force",
       "[server]\nallow = " + std::string(100, 'a') + "\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log off",
       {"[server] allow: entry 1, \"" + std::string(61, 'a') + "...\", is not an IPv4 address" +
        kOnlyThisComputerConnects}},
      {"an empty bind is not every interface",
       "[server]\nbind =\n",
       "port 5193, bind 127.0.0.1, max_clients 64, allow ANY, log off",
       {"[server] bind =  is not ANY or an IPv4 address; only this computer (127.0.0.1) is "
        "served until it is fixed"}},
      {"a key given twice takes its last value",
       "[server]\nport = 6000\nmax_clients = 4\nport = 6001\n",
       "port 6001, bind ANY, max_clients 4, allow ANY, log off",
       {"[server] port is given 2 times; the last, 6001, is used"}},
      {"a section given twice is one section",
       "[server]\nport = 6000\n[log]\nenabled = on\n[SERVER]\nPort = 6001\n",
       "port 6001, bind ANY, max_clients 64, allow ANY, log on (Velkaro.log)",
       {"[server] port is given 2 times; the last, 6001, is used"}},
      // Who may connect, given twice: the line meant to narrow it may be the earlier one.
      {"allow given twice serves this computer only, whichever comes last",
       "[server]\nallow = 10.0.0.0/8\n[log]\nenabled = on\n[SERVER]\nAllow = 192.168.1.0/24\n"
       "allow=ANY\n",
       "port 5193, bind ANY, max_clients 64, allow 127.0.0.1, log on (Velkaro.log)",
       {"[server] allow is given 3 times; only this computer (127.0.0.1) is served until one is "
        "left"}},
      {"bind given twice listens on this computer only",
       "[server]\nbind = 192.168.1.20\nbind = ANY\n",
       "port 5193, bind 127.0.0.1, max_clients 64, allow ANY, log off",
       {"[server] bind is given 2 times; only this computer (127.0.0.1) is served until one is "
        "left"}},
      {"an unknown key given twice is warned once",
       "[server]\nprot = 1\nprot = 2\n",
       kDefaults,
       {"unknown key [server] prot, ignored"}},
      {"a NUL byte: the file is not used",
       "[server]\nport = 6000\nallow = 10.0.0.0/8\0, 192.168.1.0/24\n"s,
       kDefaultsOnThisComputer,
       {"line 3 holds a NUL byte" + kNotUsed}},
      {"a NUL byte counts lines ended any way",
       "[server]\r\nport = 6000\rmax_clients = 2\n\n\0"s,
       kDefaultsOnThisComputer,
       {"line 5 holds a NUL byte" + kNotUsed}},
      {"a NUL byte first", "\0"s, kDefaultsOnThisComputer, {"line 1 holds a NUL byte" + kNotUsed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Settings settings = ParseSettings(c.ini);
    EXPECT_EQ(settings.Describe(), c.described);
    EXPECT_EQ(settings.warnings, c.warnings);
  }
}

// [log] max_size in bytes or K/M; a value out of bounds or not a size keeps 10M, with a warning.
TEST(SettingsTest, TheLogSizeIsTakenInBytesKOrMWithinItsBounds) {
  const std::string kNotASize =
      " is not a size from 64K to 1024M (bytes, or with K or M); the default is in force";
  const struct {
    const char* value;
    std::uint64_t bytes;
    bool taken;
  } rows[] = {
      {"10M", 10 * 1024 * 1024, true},
      {"512k", 512 * 1024, true},
      {"65536", 65536, true},
      {"1024M", 1024ull * 1024 * 1024, true},
      {"65535", kDefaultLogMaxBytes, false},
      {"1025M", kDefaultLogMaxBytes, false},
      {"2G", kDefaultLogMaxBytes, false},
      {"M", kDefaultLogMaxBytes, false},
      {"-1M", kDefaultLogMaxBytes, false},
      {"10 M", kDefaultLogMaxBytes, false},
      {"99999999999999999999", kDefaultLogMaxBytes, false},
      {"17592186044416M", kDefaultLogMaxBytes, false},  // 2^44 M: 2^64 bytes, past any count
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    const Settings settings = ParseSettings(std::string("[log]\nmax_size = ") + row.value + "\n");
    EXPECT_EQ(settings.log_max_bytes, row.bytes);
    if (row.taken) {
      EXPECT_TRUE(settings.warnings.empty());
    } else {
      EXPECT_EQ(settings.warnings,
                std::vector<std::string>{std::string("[log] max_size = ") + row.value + kNotASize});
    }
  }
  EXPECT_EQ(ParseSettings("").log_max_bytes, kDefaultLogMaxBytes);
}

// The log's path is held in UTF-8. A file saved in the system's code page names the same file
// as before (on Windows: Windows-1252 under Wine's default locale; elsewhere the bytes stay).
TEST(SettingsTest, TheLogPathIsHeldInUtf8) {
  struct Row {
    const char* value;
    const char* path;
  };
  const Row rows[] = {
    {"Flügel.log", "Flügel.log"},
    {"Пилот\\v.log", "Пилот\\v.log"},
#if defined(_WIN32)
    {"Fl\xFCgel.log", "Flügel.log"},
#else
    {"Fl\xFCgel.log", "Fl\xFCgel.log"},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    const Settings settings = ParseSettings(std::string("[log]\npath = ") + row.value + "\n");
    EXPECT_EQ(settings.log_path, row.path);
    EXPECT_TRUE(settings.warnings.empty());
  }
}

// The Velkaro.ini shipped in the release writes out every default: read as it stands, it gives
// exactly the settings of no file at all, without a warning (and its Windows line ends too).
TEST(SettingsTest, TheShippedFileHoldsTheDefaults) {
  const std::string text =
      testing::ReadWholeFile(std::string(VELKARO_SOURCE_DIR) + "/cmake/release/Velkaro.ini");
  ASSERT_FALSE(text.empty());
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& file : {text, crlf}) {
    const Settings settings = ParseSettings(file);
    EXPECT_EQ(settings.Describe(), kDefaults);
    EXPECT_TRUE(settings.warnings.empty()) << settings.warnings.front();
  }
}

// A file that is there but cannot be used leaves no allow list it may have held: this computer
// only. No file at all is the defaults, quietly.
TEST(SettingsTest, AFileThatIsThereButNotReadServesThisComputerOnly) {
  const testing::ScratchFolder none;
  const LoadedSettings absent = LoadSettings(none.path());
  EXPECT_EQ(absent.settings.Describe(), kDefaults);
  EXPECT_TRUE(absent.settings.warnings.empty());
  EXPECT_TRUE(absent.file.empty());

  const testing::ScratchFolder large;
  const std::string path =
      large.Write(kSettingsFileName,
                  "[server]\nallow = 10.0.0.0/8\n" + std::string(kMaxSettingsFileBytes, ';'));
  const LoadedSettings loaded = LoadSettings(large.path());
  EXPECT_EQ(loaded.settings.Describe(), kDefaultsOnThisComputer);
  EXPECT_EQ(
      loaded.settings.warnings,
      std::vector<std::string>{path + " is larger than " + std::to_string(kMaxSettingsFileBytes) +
                               " bytes and was not read" + kNotUsed});

  const testing::ScratchFolder folder;
  folder.Write(std::string(kSettingsFileName) + "/inside", "");  // a folder by the file's name
  const LoadedSettings unread = LoadSettings(folder.path());
  EXPECT_EQ(unread.settings.Describe(), kDefaultsOnThisComputer);
  ASSERT_EQ(unread.settings.warnings.size(), 1u);
  EXPECT_NE(unread.settings.warnings[0].find(kNotUsed), std::string::npos)
      << unread.settings.warnings[0];
}

TEST(SettingsTest, AllowListsLetInOnlyTheirAddresses) {
  struct Row {
    const char* allow;
    const char* address;
    bool allowed;
  };
  const Row rows[] = {
      {"ANY", "203.0.113.9", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"192.168.1.0/24", "192.168.1.77", true},
      {"192.168.1.0/24", "192.168.2.1", false},
      {"10.0.0.0/8, 127.0.0.1", "127.0.0.1", true},
      {"10.0.0.0/8, 127.0.0.1", "10.200.3.4", true},
      {"10.0.0.0/8, 127.0.0.1", "11.0.0.1", false},
      {"0.0.0.0/0", "198.51.100.1", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.allow) + " / " + r.address);
    const Settings settings = ParseSettings(std::string("[server]\nallow = ") + r.allow + "\n");
    ASSERT_TRUE(settings.warnings.empty());
    std::uint32_t address = 0;
    ASSERT_TRUE(ParseIpv4(r.address, &address));
    EXPECT_EQ(settings.allow.Allows(address), r.allowed);
  }
}

TEST(SettingsTest, Ipv4AddressesAreTakenOnlyInFull) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIpv4("192.168.0.1", &address));
  EXPECT_EQ(address, 0xC0A80001u);
  EXPECT_TRUE(ParseIpv4("0.0.0.0", &address));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4 ",
                          "a.b.c.d", "-1.2.3.4", "1.2.3.4/8"}) {
    EXPECT_FALSE(ParseIpv4(bad, &address)) << bad;
  }
}

}  // namespace
}  // namespace velkaro
