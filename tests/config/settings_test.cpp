// The settings file: a table of files and the settings and warnings each gives.
#include "config/settings.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

#include <string>
#include <vector>

namespace velkaro {
namespace {

struct Case {
  const char* name;
  const char* ini;
  std::string described;  // Settings::Describe() of the result
  std::vector<std::string> warnings;
};

const std::string kDefaults = "port 5193, bind ANY, max_clients 64, allow ANY, log off";

TEST(SettingsTest, FilesGiveSettingsAndWarnings) {
  const Case cases[] = {
      {"an empty file", "", kDefaults, {}},
      {"comments only", "; nothing here\n# nor here\n[server]\n", kDefaults, {}},
      {"every key",
       "[server]\nport = 6000\nbind = 127.0.0.1\nmax_clients = 8\n"
       "allow = 127.0.0.1, 192.168.1.0/24\n[log]\nenabled = true\npath = logs/v.log\n",
       "port 6000, bind 127.0.0.1, max_clients 8, allow 127.0.0.1, 192.168.1.0/24, "
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
      {"bad values keep their defaults, each warned",
       "[server]\nport = 70000\nbind = localhost\nmax_clients = 0\nallow = 10.0.0.0/33\n"
       "[log]\nenabled = maybe\npath =\n",
       kDefaults,
       {"[server] port = 70000 is not a port from 1 to 65535; the default is in force",
        "[server] bind = localhost is not ANY or an IPv4 address; the default is in force",
        "[server] max_clients = 0 is not 1 to 64; the default is in force",
        "[server] allow = 10.0.0.0/33 is not ANY or IPv4 addresses and CIDR ranges separated "
        "by commas; the default is in force",
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
      {"one bad address spoils the list",
       "[server]\nallow = 127.0.0.1, 300.1.1.1\n",
       kDefaults,
       {"[server] allow = 127.0.0.1, 300.1.1.1 is not ANY or IPv4 addresses and CIDR ranges "
        "separated by commas; the default is in force"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Settings settings = ParseSettings(c.ini);
    EXPECT_EQ(settings.Describe(), c.described);
    EXPECT_EQ(settings.warnings, c.warnings);
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
