// The system proxy lookup without a network: proxy values of the registry and of the
// environment and their precedence, bypass patterns, the environment's forms, script host
// candidates, and the evaluation of configuration scripts.
#include <unistd.h>

#include <chrono>

#include "extra_fixture.h"
#include "http/http_proxy_script.h"
#include "platform/net/proxy_environment.h"

namespace httpextra {
namespace {

struct Lookup {
  int32_t result;
  uint32_t type;
  uint32_t port;
  std::string host;
};

Lookup Ask(const char* host, uint32_t port, uint32_t flags = 0) {
  HttpProxyInfo info{};
  const int32_t r = HttpGetWindowsProxy(host, port, flags, &info);
  return {r, info.type, info.port, info.host};
}

using Proxy = Extra;

TEST_F(Proxy, ServerEntriesAreChosenByTheTargetPort) {
  struct Case {
    const char* server;
    uint32_t port;
    Lookup want;
  };
  const Case cases[] = {
      {"http=web:8080;https=secure:8443", 80, {1, 1, 8080, "web"}},
      {"http=web:8080;https=secure:8443", 443, {1, 2, 8443, "secure"}},
      {"proxy:3128", 80, {1, 1, 3128, "proxy"}},
      {"proxy:3128", 443, {1, 2, 3128, "proxy"}},
      {"HTTPS=s:1;ftp=f:2", 80, {0, 0, 0, ""}},          // nothing for http
      {"bad;http=:80;http=h:0;http=h:99999;http=ok:81", 80, {1, 1, 81, "ok"}},
      {"http=[::1]:3128", 80, {1, 1, 3128, "::1"}},
  };
  for (const Case& c : cases) {
    SetProxyValues(plat::HKEY_CURRENT_USER, 1, c.server);
    const Lookup got = Ask("target.example", c.port);
    EXPECT_EQ(got.result, c.want.result) << c.server << " " << c.port;
    EXPECT_EQ(got.type, c.want.type) << c.server;
    EXPECT_EQ(got.port, c.want.port) << c.server;
    EXPECT_EQ(got.host, c.want.host) << c.server;
  }
}

TEST_F(Proxy, DisabledBypassedOrIncompleteSettings) {
  SetProxyValues(plat::HKEY_CURRENT_USER, 0, "proxy:3128");
  EXPECT_EQ(Ask("a.example", 80).result, 0);

  SetProxyValues(plat::HKEY_CURRENT_USER, 1, "proxy:3128", "*.internal.example;10.1.*;db?.example");
  EXPECT_EQ(Ask("www.internal.example", 80).result, 0);
  EXPECT_EQ(Ask("a.b.internal.example", 80).result, 0);
  EXPECT_EQ(Ask("10.1.2.3", 80).result, 0);
  EXPECT_EQ(Ask("DB1.example", 80).result, 0);
  EXPECT_EQ(Ask("db12.example", 80).result, 1);
  EXPECT_EQ(Ask("www.example", 80).result, 1);

  // Enabled without a server is a broken configuration, which the proxy connect refuses.
  plat::HKEY key = nullptr;
  ASSERT_EQ(plat::RegOpenKeyEx(plat::HKEY_CURRENT_USER, kSettings, 0, plat::KEY_ALL_ACCESS, &key), 0u);
  plat::RegDeleteValue(key, "ProxyServer");
  plat::RegCloseKey(key);
  EXPECT_EQ(Ask("www.example", 80).result, -1);
  EXPECT_EQ(HttpProxyConnect(3, nullptr, 0, nullptr, nullptr, "127.0.0.1", 80, 5, 0, kVersion11, nullptr),
            kInvalidLibHandle);
  EXPECT_EQ(Error(), 12210u);
  EXPECT_EQ(HttpGetWindowsProxy("h", 80, 0, nullptr), -1);
  EXPECT_EQ(Error(), 10014u);
}

TEST_F(Proxy, LocalEntryCoversLoopbackAndTheLocalHostNames) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  for (const char* host : {"localhost", "127.0.0.1", static_cast<const char*>(name)})
    EXPECT_EQ(HttpHostBypassesProxy(host, "*.corp;<local>"), 1) << host;
  EXPECT_EQ(HttpHostBypassesProxy("other.example", "*.corp;<local>"), 0);
  // Only a last "<local>" stands for the local names; elsewhere it is a plain pattern.
  EXPECT_EQ(HttpHostBypassesProxy("localhost", "<local>;*.corp"), 0);
  EXPECT_EQ(HttpHostBypassesProxy("", "*"), 0);
  EXPECT_EQ(HttpHostBypassesProxy("a", ";;"), 0);
}

TEST_F(Proxy, RegistryOfEitherHiveComesBeforeTheEnvironment) {
  setenv("http_proxy", "http://user:pw@envproxy:3128/", 1);
  setenv("https_proxy", "envsecure:8443", 1);
  setenv("no_proxy", "localhost, .corp.example,direct.example:80", 1);
  // No registry values: the environment.
  EXPECT_EQ(Ask("www.example", 80).host, "envproxy");
  EXPECT_EQ(Ask("www.example", 443).port, 8443u);
  EXPECT_EQ(Ask("www.corp.example", 80).result, 0);
  EXPECT_EQ(Ask("corp.example", 80).result, 0);
  EXPECT_EQ(Ask("direct.example", 80).result, 0);
  EXPECT_EQ(Ask("sub.direct.example", 80).result, 0);
  EXPECT_EQ(Ask("notdirect.example", 80).result, 1);

  // The machine's registry values replace the environment in both lookups...
  SetProxyValues(plat::HKEY_LOCAL_MACHINE, 1, "machine:1");
  EXPECT_EQ(Ask("www.example", 80).result, 0) << "the user has no values of his own";
  EXPECT_EQ(Ask("www.example", 80, kHttpProxyMachine).host, "machine");
  // ...and the user's come first; a user's "disabled" is a decision too.
  SetProxyValues(plat::HKEY_CURRENT_USER, 1, "user:2");
  EXPECT_EQ(Ask("www.example", 80).host, "user");
  SetProxyValues(plat::HKEY_CURRENT_USER, 0, "user:2");
  EXPECT_EQ(Ask("www.example", 80).result, 0);
  EXPECT_EQ(Ask("www.example", 80, kHttpProxyMachine).host, "machine");
}

TEST_F(Proxy, EnvironmentFormsAndScriptHostCandidates) {
  EXPECT_EQ(plat::ProxyVariableToEntry("http://u:p@h.example:8080/path"), "h.example:8080");
  EXPECT_EQ(plat::ProxyVariableToEntry("h.example"), "h.example:80");
  EXPECT_EQ(plat::ProxyVariableToEntry("socks5://[::1]:1080"), "[::1]:1080");
  EXPECT_EQ(plat::ProxyVariableToEntry("http://:8080"), "");
  EXPECT_EQ(plat::NoProxyToOverride("*, .a.example"), "*;a.example;*.a.example");
  EXPECT_EQ(plat::WpadCandidates("x.corp.example."),
            (std::vector<std::string>{"wpad.x.corp.example", "wpad.corp.example"}));
  EXPECT_TRUE(plat::WpadCandidates("localdomain").empty());
}

TEST_F(Proxy, AutoConfigUrlNeedsTheAutomaticSwitch) {
  char url[5120];
  plat::RegSetString(plat::HKEY_CURRENT_USER, kSettings, "AutoConfigURL", "http://127.0.0.1:9/p.pac");
  EXPECT_EQ(HttpGetAutoConfigUrl(url, 0), 0) << "no DefaultConnectionSettings";
  SetAutoConfig(plat::HKEY_CURRENT_USER, nullptr);
  ASSERT_EQ(HttpGetAutoConfigUrl(url, 0), 1);
  EXPECT_STREQ(url, "http://127.0.0.1:9/p.pac");
  EXPECT_EQ(HttpGetAutoConfigUrl(url, kHttpProxyMachine), 0);
  EXPECT_EQ(HttpGetAutoConfigUrl(nullptr, 0), 0);
  EXPECT_EQ(Error(), 10014u);

  HttpProxyInfo info{};
  EXPECT_EQ(HttpDiscoverProxy("", 80, &info), 0);
  EXPECT_EQ(Error(), 11001u);
  EXPECT_EQ(HttpDiscoverProxy("h", 8080, &info), 0);
  EXPECT_EQ(Error(), 10014u);
}

TEST_F(Proxy, ScriptsAnswerWithTheirHelpers) {
  const std::string script = R"(
function FindProxyForURL(url, host) {
  if (isPlainHostName(host) || dnsDomainIs(host, ".direct.example")) return "DIRECT";
  if (shExpMatch(url, "https://*")) return "PROXY secure.example:8443; DIRECT";
  // Only addresses reach isInNet here: a name would be looked up.
  if (/^[0-9.]+$/.test(host) && isInNet(host, "10.0.0.0", "255.0.0.0")) return "PROXY net10:3128";
  if (dnsDomainLevels(host) > 3) return "PROXY deep";
  return "PROXY " + host.toUpperCase() + ":1";
})";
  struct Case {
    const char* url;
    const char* host;
    const char* answer;
  };
  const Case cases[] = {
      {"http://intranet/", "intranet", "DIRECT"},
      {"http://a.direct.example/", "a.direct.example", "DIRECT"},
      {"https://x.example/", "x.example", "PROXY secure.example:8443; DIRECT"},
      {"http://10.2.3.4/", "10.2.3.4", "PROXY net10:3128"},
      {"http://a.b.c.d.e/", "a.b.c.d.e", "PROXY deep"},
      {"http://x.example/", "x.example", "PROXY X.EXAMPLE:1"},
  };
  for (const Case& c : cases) {
    std::string answer;
    ASSERT_TRUE(cvhttp::EvaluateProxyScript(script, c.url, c.host, answer)) << c.url;
    EXPECT_EQ(answer, c.answer) << c.url;
  }
  std::string answer;
  EXPECT_FALSE(cvhttp::EvaluateProxyScript("function FindProxyForURL( {", "http://a/", "a", answer));
  EXPECT_FALSE(cvhttp::EvaluateProxyScript("var x = 1;", "http://a/", "a", answer));
  EXPECT_FALSE(cvhttp::EvaluateProxyScript("function FindProxyForURL(u, h) { throw 1; }", "http://a/", "a", answer));
  // A script that allocates without end fails instead of taking the process's memory.
  EXPECT_FALSE(cvhttp::EvaluateProxyScript(
      "function FindProxyForURL(u, h) { var s = 'x', a = []; for (;;) { s = s + s; a.push(s + 'y'); } }",
      "http://a/", "a", answer));
}

// Scripts that never end fail at their deadline (3 s), whether they loop, keep catching
// what stops them, loop while they load, or spend their time inside built-in functions
// (allocating, joining, backtracking) where the engine never looks at the clock. Asked
// again, a script that ran out of time fails at once.
TEST_F(Proxy, EndlessScriptsFailAtTheirDeadline) {
  const char* scripts[] = {
      "function FindProxyForURL(u, h) { while (true) {} }",
      "function FindProxyForURL(u, h) { for (;;) { try { var a = []; for (;;) a.push(new Array(1000)); } catch (e) {} "
      "} }",
      "for (;;) {}\nfunction FindProxyForURL(u, h) { return 'DIRECT'; }",
      "function FindProxyForURL(u, h) { var a = []; for (;;) a.push(new Array(100000).join('x')); }",
      "function FindProxyForURL(u, h) { for (;;) new Array(1000000).join('x'); }",
      "function FindProxyForURL(u, h) { return /(a+)+b/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa') ? 'DIRECT' : "
      "'PROXY p'; }",
  };
  for (const char* script : scripts) {
    auto start = std::chrono::steady_clock::now();
    std::string answer;
    EXPECT_FALSE(cvhttp::EvaluateProxyScript(script, "http://a/", "a", answer)) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << script;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cvhttp::EvaluateProxyScript(script, "http://b/", "b", answer)) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << script;
  }
}

// The date and time helpers, asked about ranges that hold whatever day the test runs.
TEST_F(Proxy, DateAndTimeHelpers) {
  const std::string script = R"(
function FindProxyForURL(url, host) {
  var checks = [
    dateRange(1970, 9999), !dateRange(1971), dateRange('JAN', 'DEC'), dateRange('JAN', 'DEC', 'GMT'), dateRange(1, 31),
    dateRange(1, 'JAN', 31, 'DEC'), dateRange('JAN', 2000, 'DEC', 2999), dateRange(1, 'JAN', 2000, 31, 'DEC', 2999),
    !dateRange(1, 'JAN', 1990, 31, 'DEC', 1999), !dateRange('JAN', 1, 'DEC', 31), !dateRange('nonsense'),
    timeRange(0, 0, 0, 23, 59, 59), timeRange(0, 0, 23, 59, 'GMT'), !timeRange(25), weekdayRange('SUN', 'SAT'),
  ];
  alert('checked ' + checks.length);
  for (var i = 0; i < checks.length; ++i) if (checks[i] !== true) return 'PROXY failed:' + (i + 1);
  return 'DIRECT';
})";
  std::string answer;
  ASSERT_TRUE(cvhttp::EvaluateProxyScript(script, "http://a/", "a", answer));
  EXPECT_EQ(answer, "DIRECT");
}

}  // namespace
}  // namespace httpextra
