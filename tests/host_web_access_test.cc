// Who may use lumhost's web page: the address it listens on, the token, and
// the Host and Origin checks against DNS rebinding and other sites; and the texts
// the page is sent.
#include <gtest/gtest.h>

#include "host/views/web/web_access.h"
#include "host/views/web/web_text.h"

namespace lumhost {
namespace {

TEST(HostWebAccess, ListenAddressIsLoopbackUnlessNamed) {
  const struct {
    const char* text;
    const char* address;  // nullptr: refused
    int port;
    bool loopback;
  } cases[] = {
      {"8731", "127.0.0.1", 8731, true},
      {"0", "127.0.0.1", 0, true},
      {"localhost:80", "127.0.0.1", 80, true},
      {"127.0.0.2:1", "127.0.0.2", 1, true},
      {"[::1]:8731", "::1", 8731, true},
      {"0.0.0.0:8731", "0.0.0.0", 8731, false},
      {"[::]:8731", "::", 8731, false},
      {"192.168.1.5:9", "192.168.1.5", 9, false},
      {"65536", nullptr, 0, false},
      {"example.com:80", nullptr, 0, false},
      {"::1:8731", nullptr, 0, false},
      {"127.0.0.1", nullptr, 0, false},
      {"1.2.3.256:80", nullptr, 0, false},
      {"", nullptr, 0, false},
      {"-1", nullptr, 0, false},
      {"[::1]", nullptr, 0, false},
  };
  for (const auto& c : cases) {
    ListenAddress a;
    std::string error;
    ASSERT_EQ(parseListenAddress(c.text, &a, &error), c.address != nullptr) << c.text;
    if (c.address == nullptr) {
      EXPECT_EQ(error.rfind("--http", 0), 0u) << error;
      continue;
    }
    EXPECT_EQ(a.address, c.address) << c.text;
    EXPECT_EQ(a.port, c.port) << c.text;
    EXPECT_EQ(a.loopback, c.loopback) << c.text;
  }
  EXPECT_EQ(urlAuthority("::1", 80), "[::1]:80");
  EXPECT_EQ(urlAuthority("127.0.0.1", 8731), "127.0.0.1:8731");
}

TEST(HostWebAccess, HostMustNameTheServerByAddress) {
  ListenAddress loopback;
  ListenAddress lan;
  ListenAddress every;
  std::string error;
  ASSERT_TRUE(parseListenAddress("8731", &loopback, &error));
  ASSERT_TRUE(parseListenAddress("192.168.1.5:8731", &lan, &error));
  ASSERT_TRUE(parseListenAddress("0.0.0.0:8731", &every, &error));
  const struct {
    const char* host;
    bool loopback;
    bool lan;
    bool every;
  } cases[] = {
      {"127.0.0.1:8731", true, false, true},
      {"localhost:8731", true, false, true},
      {"LOCALHOST", true, false, true},
      {"[::1]:9000", true, false, true},  // a forwarded port
      {"192.168.1.5:8731", false, true, true},
      {"10.0.0.7", false, false, true},
      {"evil.example:8731", false, false, false},  // rebound by DNS
      {"localhost.evil.example", false, false, false},
      {"127.0.0.1.evil.example", false, false, false},
      {"", false, false, false},
      {"127.0.0.1:x", false, false, false},
      {"127.0.0.1:8731:1", false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hostAllowed(c.host, loopback), c.loopback) << c.host;
    EXPECT_EQ(hostAllowed(c.host, lan), c.lan) << c.host;
    EXPECT_EQ(hostAllowed(c.host, every), c.every) << c.host;
  }
}

TEST(HostWebAccess, OriginMustBeThePageItself) {
  EXPECT_TRUE(originAllowed("http://127.0.0.1:8731", "127.0.0.1:8731"));
  EXPECT_TRUE(originAllowed("http://LOCALHOST:9000", "localhost:9000"));
  const char* refused[] = {"",
                           "null",
                           "http://evil.example",
                           "http://127.0.0.1:8732",
                           "https://127.0.0.1:8731",
                           "http://127.0.0.1:8731/",
                           "http://localhost:8731"};
  for (const char* origin : refused) {
    EXPECT_FALSE(originAllowed(origin, "127.0.0.1:8731")) << origin;
  }
  EXPECT_FALSE(originAllowed("http://", ""));
}

// The token, wherever a request carries it; the first carrier present
// decides, so a wrong header is not saved by a right cookie.
TEST(HostWebAccess, TokenIsFoundWhereverItIsCarried) {
  const std::string t = "0123456789abcdef0123456789abcdef";
  const std::string cookie = tokenCookieName(8731) + "=" + t;
  const struct {
    const char* what;
    TokenCarriers carriers;
    TokenCheck expected;
    bool fromQuery;
  } cases[] = {
      {"nothing", {"", "", ""}, TokenCheck::Missing, false},
      {"bearer", {"Bearer " + t, "", ""}, TokenCheck::Accepted, false},
      {"bearer, any case", {"bEARER  " + t + " ", "", ""}, TokenCheck::Accepted, false},
      {"bearer, wrong", {"Bearer " + t + "0", "", ""}, TokenCheck::Wrong, false},
      {"basic", {"Basic " + t, "", ""}, TokenCheck::Wrong, false},
      {"bearer, empty", {"Bearer ", "", ""}, TokenCheck::Wrong, false},
      {"wrong header, right cookie", {"Bearer x", cookie, ""}, TokenCheck::Wrong, false},
      {"cookie", {"", "a=b; " + cookie + "; c=d", ""}, TokenCheck::Accepted, false},
      {"cookie of another port",
       {"", tokenCookieName(8732) + "=" + t, ""},
       TokenCheck::Missing,
       false},
      {"cookie, wrong", {"", cookie.substr(0, cookie.size() - 1), ""}, TokenCheck::Wrong, false},
      {"query", {"", "", "a=1&token=" + t}, TokenCheck::Accepted, true},
      {"query, wrong", {"", "", "token=" + t.substr(1)}, TokenCheck::Wrong, true},
      {"query, other names only",
       {"", "", "tokens=" + t + "&xtoken=" + t},
       TokenCheck::Missing,
       false},
  };
  for (const auto& c : cases) {
    bool fromQuery = !c.fromQuery;
    EXPECT_EQ(checkToken(t, c.carriers, tokenCookieName(8731), &fromQuery), c.expected) << c.what;
    if (c.expected != TokenCheck::Missing) {
      EXPECT_EQ(fromQuery, c.fromQuery) << c.what;
    }
  }
  for (const char* good : {"a", "Az09-._~", "0123456789abcdef0123456789abcdef"}) {
    EXPECT_TRUE(validToken(good)) << good;
  }
  for (const std::string& bad : {std::string(), std::string("a b"), std::string("a;b"),
                                 std::string("a=b"), std::string("a%20"), std::string(257, 'a')}) {
    EXPECT_FALSE(validToken(bad)) << bad;
  }
}

// Whatever a client sends as its identity, the page's JSON.parse reads it.
TEST(HostWebText, JsonStringsAreStandardAndValidUtf8) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\x1b[2J\n\0", 6), "\"\\u001b[2J\\u000a\\u0000\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91\""},
      {"\xFF", "\"\xEF\xBF\xBD\""},                                  // never valid
      {"\xC3", "\"\xEF\xBF\xBD\""},                                  // cut short
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(jsonString(c.text), c.json) << c.text;
  EXPECT_EQ(htmlEscape("<b a=\"1\">&</b>"), "&lt;b a=&quot;1&quot;&gt;&amp;&lt;/b&gt;");
}

}  // namespace
}  // namespace lumhost
