// Who may use the gateway: the Host names it answers to, the pages that may open a WebSocket, the
// control token, and the token file.
#include "serve/access.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/host_name.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace velkaro::testing {
namespace {

using zelm::serve::Access;
using zelm::serve::AccessOptions;

Access Make(AccessOptions options) {
  std::string error;
  auto access = Access::Make(std::move(options), &error);
  EXPECT_TRUE(access.has_value()) << error;
  return *access;
}

TEST(AccessTest, RequestsNameTheGatewayByANameItAnswersTo) {
  const Access access = Make({.public_names = {"Cockpit.Example"}});
  std::string own;
  boost::system::error_code ec;
  own = boost::asio::ip::host_name(ec);
  struct Case {
    std::string host;
    bool refused;
  };
  const Case cases[] = {
      {"", false},                       // a program's HTTP/1.0 request
      {"localhost:8080", false},         //
      {"LOCALHOST.", false},             //
      {"panel.localhost:8080", false},   //
      {"127.0.0.1:8080", false},         //
      {"192.168.1.20:8080", false},      // an address: what the browser itself connected to
      {"[::1]:8080", false},             //
      {"cockpit.example:8080", false},   // --public-name, in any case
      {own + ":8080", false},            // this computer's name
      {own + ".local", false},           //
      {"evil.example:8080", true},       // a name pointed at this computer by someone else
      {"localhost.evil.example", true},  //
      {"127.0.0.1.nip.io", true},        //
  };
  for (const Case& c : cases) {
    EXPECT_EQ(access.HostRefused(c.host).has_value(), c.refused) << c.host;
  }
  EXPECT_NE(access.HostRefused("evil.example")->find("--public-name evil.example"),
            std::string::npos);
}

TEST(AccessTest, BrowsersConnectFromThePanelsOwnOriginOrAnAllowedOne) {
  const Access plain = Make({.allow_origins = {"HTTPS://Cockpit.Example:443/"}});
  const Access tls = Make({.tls = true});
  struct Case {
    const Access* access;
    std::string origin;
    std::string host;
    bool refused;
  };
  const Case cases[] = {
      {&plain, "", "localhost:8080", false},  // a program: no Origin
      {&plain, "http://localhost:8080", "localhost:8080", false},
      {&plain, "http://LOCALHOST:8080", "localhost:8080", false},
      {&plain, "http://127.0.0.1", "127.0.0.1:80", false},
      {&plain, "https://cockpit.example", "localhost:8080", false},  // --allow-origin
      {&plain, "http://evil.example", "localhost:8080", true},
      {&plain, "http://localhost:9090", "localhost:8080", true},   // another port is another site
      {&plain, "https://localhost:8080", "localhost:8080", true},  // and another scheme
      {&plain, "http://cockpit.example", "localhost:8080", true},
      {&plain, "null", "localhost:8080", true},  // a sandboxed page or a file
      {&tls, "https://localhost:8443", "localhost:8443", false},
      {&tls, "http://localhost:8443", "localhost:8443", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.access->OriginRefused(c.origin, c.host).has_value(), c.refused)
        << c.origin << " to " << c.host;
  }

  std::string error;
  EXPECT_FALSE(Access::Make({.allow_origins = {"cockpit.example"}}, &error));
  EXPECT_NE(error.find("cockpit.example"), std::string::npos);
  EXPECT_FALSE(Access::Make({.allow_origins = {"http://cockpit.example/panel"}}, &error));
}

TEST(AccessTest, OnlyTheTokenMayFly) {
  const Access open = Make({});
  const Access guarded = Make({.token = "0123456789abcdef0123456789abcdef"});
  EXPECT_TRUE(open.MayControl("/ws"));
  EXPECT_TRUE(guarded.MayControl("/ws?token=0123456789abcdef0123456789abcdef"));
  EXPECT_TRUE(guarded.MayControl("/ws?x=1&token=0123456789abcdef0123456789abcdef"));
  for (const char* target : {"/ws", "/ws?token=", "/ws?token=0123456789abcdef0123456789abcde",
                             "/ws?token=0123456789abcdef0123456789abcdef0",
                             "/ws?tokens=0123456789abcdef0123456789abcdef"}) {
    EXPECT_FALSE(guarded.MayControl(target)) << target;
  }

  std::string a, b, error;
  ASSERT_TRUE(zelm::serve::NewToken(&a, &error)) << error;
  ASSERT_TRUE(zelm::serve::NewToken(&b, &error)) << error;
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
}

TEST(AccessTest, ATokenFileIsMadeForItsOwnerAndKept) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("access_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "token").string();
  std::string made, again, error, warning;
  ASSERT_TRUE(zelm::serve::TokenFromFile(path, &made, &error, &warning)) << error;
  ASSERT_TRUE(zelm::serve::TokenFromFile(path, &again, &error, &warning)) << error;
  EXPECT_EQ(made.size(), 32u);
  EXPECT_EQ(made, again);
  EXPECT_TRUE(warning.empty());
#if !defined(_WIN32)
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(zelm::serve::TokenFromFile(path, &again, &error, &warning));
  EXPECT_NE(warning.find("chmod 600"), std::string::npos) << warning;
#endif
  for (const char* bad : {"", "short\n", "has spaces in the token\n"}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bad;
    EXPECT_FALSE(zelm::serve::TokenFromFile(path, &again, &error, &warning)) << bad;
    EXPECT_NE(error.find(path), std::string::npos);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "a-fixed_token.for~tablets\r\n";
  ASSERT_TRUE(zelm::serve::TokenFromFile(path, &again, &error, &warning)) << error;
  EXPECT_EQ(again, "a-fixed_token.for~tablets");
  EXPECT_FALSE(zelm::serve::TokenFromFile((folder / "no" / "such").string(), &again, &error,
                                          &warning));
  std::filesystem::remove_all(folder);
}

TEST(AccessTest, OnlyLoopbackAddressesAreLoopback) {
  EXPECT_TRUE(zelm::serve::IsLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(zelm::serve::IsLoopbackAddress("127.3.2.1"));
  EXPECT_TRUE(zelm::serve::IsLoopbackAddress("::1"));
  EXPECT_FALSE(zelm::serve::IsLoopbackAddress("0.0.0.0"));
  EXPECT_FALSE(zelm::serve::IsLoopbackAddress("192.168.1.20"));
  EXPECT_FALSE(zelm::serve::IsLoopbackAddress("localhost"));
}

}  // namespace
}  // namespace velkaro::testing
