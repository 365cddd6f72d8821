// The proxy layer against scripted proxies: the request bytes of each proxy type, the
// replies it accepts (also when split across receives), the refusals it ends with 8000,
// the owner's output held until the proxy agrees, and the choice of proxy and resolver.
#include <stdlib.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_server.h"
#include "extra_test_util.h"
#include "ssh/crypto/mac.h"
#include "ssh/handle/handle.h"
#include "ssh/proxy/proxy.h"
#include "ssh/util/alloc.h"

namespace {

using sshextra::ByteServer;
using sshextra::RecordingPlug;

struct ProxyRun {
  std::string serverGot;
  RecordingPlug plug;
  uint32_t createError = 0;
};

// Connects to dest:port through a scripted proxy of the given type. The owner writes
// "early" at once (held back until the proxy agrees); the run ends when the plug has
// seen `want` bytes or a closing event.
void Through(ProxyRun& run, SshSettings settings, SshAddress* dest, int32_t port, ByteServer::Script script,
             size_t want = 5) {
  ByteServer server(std::move(script));
  std::strcpy(settings.ProxyHost, "127.0.0.1");
  settings.ProxyPort = uint32_t(server.port());
  SshSocket* s = ProxyNewConnection(dest, "destination", port, 0, &run.plug, &settings);
  run.createError = s->Error();
  if (run.createError) {
    s->Close();
    return;
  }
  run.plug.socket = s;
  s->Write("early", 5);
  sshextra::PumpUntil([&] { return run.plug.closings > 0 || run.plug.data.size() >= want; }, 10);
  if (run.plug.socket) {
    // Owner data written after the agreement passes straight through.
    if (run.plug.closings == 0) s->Write("late", 4);
    sshextra::PumpUntil([&] { return server.received().find("late") != std::string::npos; }, 1);
    s->Close();
  }
  server.Finish();
  run.serverGot = server.received();
}

SshAddress* Ipv4(const char* text) { return SshLookupName(text, nullptr, 1); }

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ProxySelection, ExclusionsLocalhostAndCase) {
  struct Case {
    const char* host;
    const char* exclusions;
    uint32_t proxyLocalhost;
    int32_t wanted;
  } cases[] = {
      {"build.lan", "*.lan, 10.*", 0, 0},   {"BUILD.LAN", "*.lan, 10.*", 0, 0},
      {"10.4.4.4", "*.lan, 10.*", 0, 0},    {"10.example.org", "*.lan, 10.*", 0, 0},
      {"lan.example.org", "*.lan, 10.*", 0, 1}, {"example.org", "", 0, 1},
      {"localhost", "", 0, 0},              {"localhost", "", 1, 1},
      {"127.0.0.5", "", 0, 0},              {"127.0.0.5", "", 1, 1},
      {"intra.example", "intra", 0, 0},     {"any.host", "*", 0, 0},
  };
  for (const Case& c : cases) {
    SshSettings s = sshextra::DefaultSettings();
    std::strcpy(s.ProxyExclusions, c.exclusions);
    s.ProxyLocalhost = c.proxyLocalhost;
    // Only dotted literals are looked up (no resolver call); names go without an address.
    SshAddress* a = std::isdigit(static_cast<unsigned char>(c.host[0])) ? Ipv4(c.host) : nullptr;
    const SshAddress* known = a;
    EXPECT_EQ(ProxyIsWanted(known, c.host, &s), c.wanted) << c.host << " / " << c.exclusions;
    SshFreeAddress(a);
  }
}

TEST(ProxySelection, AddressTextIsCheckedBesideTheName) {
  SshSettings s = sshextra::DefaultSettings();
  std::strcpy(s.ProxyExclusions, "10.*");
  SshAddress* a = Ipv4("10.9.8.7");
  EXPECT_EQ(ProxyIsWanted(a, "named.example", &s), 0);
  SshFreeAddress(a);
}

TEST(ProxyCommandText, SubstitutionsAndEscapes) {
  struct Case {
    const char* command;
    const char* expected;
  } cases[] = {
      {"connect %host %port\\n", "connect 10.1.2.3 2222\n"},
      {"%proxyhost %PORT\\x41\\n", "proxy.example 2222A\n"},
      {"%user:%pass@%proxyport", "alice:s3cret@3128"},
      {"100%% %other %", "100% %other %"},
      {"a\\\\b\\%c\\r\\t\\q", "a\\b%c\r\t\\q"},
      {"bad \\x4 and \\xZZ", "bad \\x4 and \\xZZ"},
      {"%HoSt", "10.1.2.3"},
  };
  SshSettings s = sshextra::DefaultSettings();
  std::strcpy(s.ProxyHost, "proxy.example");
  s.ProxyPort = 3128;
  std::strcpy(s.ProxyUserName, "alice");
  std::strcpy(s.ProxyPassword, "s3cret");
  SshAddress* a = Ipv4("10.1.2.3");
  for (const Case& c : cases) {
    std::strcpy(s.ProxyCommand, c.command);
    char* text = ProxyFormatCommand(a, 2222, &s);
    EXPECT_STREQ(text, c.expected) << c.command;
    CheckedFree(text);
  }
  SshFreeAddress(a);
  SshAddress* name = SshUnresolvedAddress("far.example");
  std::strcpy(s.ProxyCommand, "%host");
  char* text = ProxyFormatCommand(name, 22, &s);
  EXPECT_STREQ(text, "far.example");
  CheckedFree(text);
  SshFreeAddress(name);
}

// The local command's template is split into words before the values go in: hostile
// values in every field stay one argument each, quotes, blanks and backslashes included.
TEST(LocalProxyCommand, HostileValuesStayOneArgumentEach) {
  char made[] = "/tmp/cvssh-proxycmd-XXXXXX";
  ASSERT_NE(mkdtemp(made), nullptr);
  struct Remove {
    std::filesystem::path path;
    ~Remove() { std::filesystem::remove_all(path); }
  } dir{made};
  const std::string out = (dir.path / "args").string();
  // The command writes each argument it got, NUL-terminated, then ends.
  const std::filesystem::path script = dir.path / "record.sh";
  std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + out + "\n";
  std::filesystem::permissions(script, std::filesystem::perms(0755));
  SshSettings s = sshextra::DefaultSettings();
  s.ProxyType = kProxyLocalCommand;
  const std::string user = "bob \"-oProxyCommand=touch " + (dir.path / "pwned").string() + "\"";
  const std::string password = "p w\\\" 'q";
  const std::string proxyHost = "gate; rm -rf x";
  const std::string host = "far host\" -x";
  std::strcpy(s.ProxyUserName, user.c_str());
  std::strcpy(s.ProxyPassword, password.c_str());
  std::strcpy(s.ProxyHost, proxyHost.c_str());
  s.ProxyPort = 3128;
  std::snprintf(s.ProxyCommand, sizeof s.ProxyCommand,
                "\"%s\" %%host %%port %%user:%%pass \"[%%proxyhost]\" %%proxyport", script.c_str());
  RecordingPlug plug;
  SshSocket* socket = LocalProxyNewConnection(SshUnresolvedAddress(host.c_str()), 22, &plug, &s);
  ASSERT_EQ(socket->Error(), 0u);
  plug.socket = socket;
  ASSERT_TRUE(sshextra::PumpUntil([&] { return plug.closings > 0; }));
  std::string recorded = ReadWhole(out);
  std::vector<std::string> args;
  for (size_t at = 0; at < recorded.size();) {
    size_t end = recorded.find('\0', at);
    args.push_back(recorded.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(args, (std::vector<std::string>{host, "22", user + ":" + password, "[" + proxyHost + "]", "3128"}));
  EXPECT_FALSE(std::filesystem::exists(dir.path / "pwned"));
}

TEST(ProxyLookup, WhoResolvesTheName) {
  struct Case {
    uint32_t type;
    uint32_t dns;
    bool unresolved;
  } cases[] = {
      {kProxySocks4, kProxyDnsAuto, false}, {kProxySocks5, kProxyDnsAuto, true},    {kProxyHttp, kProxyDnsAuto, true},
      {kProxyHttp, kProxyDnsAtProxy, true}, {kProxySocks4, kProxyDnsAtProxy, true}, {kProxyHttp, kProxyDnsLocal, false},
      {kProxyNone, kProxyDnsAuto, false},
  };
  for (const Case& c : cases) {
    SshSettings s = sshextra::DefaultSettings();
    s.ProxyType = c.type;
    s.ProxyDns = c.dns;
    s.ProxyLocalhost = 1;
    char* canonical = nullptr;
    SshAddress* a = ProxyLookupName("localhost", &canonical, &s, 0);
    EXPECT_EQ(SshAddressType(a) == kSshAddressName, c.unresolved) << c.type << "/" << c.dns;
    EXPECT_STRNE(canonical, nullptr);
    CheckedFree(canonical);
    SshFreeAddress(a);
  }
}

SshSettings Proxy(uint32_t type) {
  SshSettings s = sshextra::DefaultSettings();
  s.ProxyType = type;
  s.ProxyLocalhost = 1;  // ::1 destinations go through the proxy too
  return s;
}

TEST(HttpProxy, SplitReplyWithFoldedHeaderThenPassThrough) {
  SshSettings s = Proxy(kProxyHttp);
  std::strcpy(s.ProxyUserName, "user");
  std::strcpy(s.ProxyPassword, "pass");
  ProxyRun run;
  Through(run, s, Ipv4("10.1.2.3"), 22, [](ByteServer& b) {
    b.ReadUntil("\r\n\r\n");
    b.SendPieces("HTTP/1.1 200 Connection established\r\nX-Long: a\r\n  b\r\n\r\nHELLO", 7);
    b.ReadToEnd();
  });
  EXPECT_EQ(run.plug.data, "HELLO");
  EXPECT_EQ(run.plug.closings, 0);
  EXPECT_EQ(run.serverGot,
            "CONNECT 10.1.2.3:22 HTTP/1.1\r\nHost: 10.1.2.3:22\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n"
            "earlylate");
}

TEST(HttpProxy, RefusalsEndWith8000) {
  for (const char* reply : {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "SSH-2.0-direct\r\n\r\n",
                            "HTTP/1.1\r\n\r\n"}) {
    ProxyRun run;
    Through(run, Proxy(kProxyHttp), SshUnresolvedAddress("far.example"), 2022, [&](ByteServer& b) {
      b.ReadUntil("\r\n\r\n");
      b.Send(reply);
      b.ReadToEnd();
    });
    EXPECT_EQ(run.plug.closings, 1) << reply;
    EXPECT_EQ(run.plug.code, kProxyErrorRefused) << reply;
    EXPECT_EQ(run.plug.data, "");
    EXPECT_EQ(run.serverGot, "CONNECT far.example:2022 HTTP/1.1\r\nHost: far.example:2022\r\n\r\n") << reply;
  }
}

TEST(HttpProxy, ProxyClosingBeforeItAnswersIsPassedOn) {
  ProxyRun run;
  Through(run, Proxy(kProxyHttp), Ipv4("10.1.2.3"), 22, [](ByteServer& b) {
    b.ReadUntil("\r\n\r\n");
    b.CloseClient();
  });
  EXPECT_EQ(run.plug.closings, 1);
  EXPECT_EQ(run.plug.code, 0u);
}

TEST(Socks4Proxy, AddressRequestAndNameRequest) {
  SshSettings s = Proxy(kProxySocks4);
  std::strcpy(s.ProxyUserName, "bob");
  ProxyRun byAddress;
  Through(byAddress, s, Ipv4("10.0.0.1"), 80, [](ByteServer& b) {
    b.Read(8 + 4);
    b.SendPieces(std::string("\0\x5a\0\0\0\0\0\0HELLO", 13), 3);
    b.ReadToEnd();
  });
  EXPECT_EQ(byAddress.plug.data, "HELLO");
  EXPECT_EQ(byAddress.serverGot, std::string("\x04\x01\x00\x50\x0a\x00\x00\x01" "bob\0earlylate", 21));

  ProxyRun byName;
  Through(byName, s, SshUnresolvedAddress("far.example"), 22, [](ByteServer& b) {
    b.Read(8 + 4 + 12);
    b.Send(std::string("\0\x5a\0\0\0\0\0\0HELLO", 13));
    b.ReadToEnd();
  });
  EXPECT_EQ(byName.plug.data, "HELLO");
  EXPECT_EQ(byName.serverGot.substr(0, 24), std::string("\x04\x01\x00\x16\x00\x00\x00\x01" "bob\0far.example\0", 24));
}

TEST(Socks4Proxy, RejectionAndIpv6DestinationFail) {
  ProxyRun run;
  Through(run, Proxy(kProxySocks4), Ipv4("10.0.0.1"), 80, [](ByteServer& b) {
    b.Read(9);
    b.Send(std::string("\0\x5b\0\0\0\0\0\0", 8));
    b.ReadToEnd();
  });
  EXPECT_EQ(run.plug.code, kProxyErrorRefused);
  EXPECT_EQ(run.plug.data, "");

  // SOCKS 4 cannot carry an IPv6 destination: refused before anything is sent.
  ProxyRun v6;
  Through(v6, Proxy(kProxySocks4), SshLookupName("::1", nullptr, 2), 22, [](ByteServer& b) { b.ReadToEnd(); });
  EXPECT_EQ(v6.createError, kProxyErrorRefused);
  EXPECT_EQ(v6.serverGot, "");
}

TEST(Socks5Proxy, NoAuthenticationWithEachAddressType) {
  struct Case {
    SshAddress* dest;
    std::string request;
    std::string reply;
  } cases[] = {
      {Ipv4("10.0.0.1"), std::string("\x05\x01\x00\x01\x0a\x00\x00\x01\x00\x16", 10),
       std::string("\x05\x00\x00\x01\0\0\0\0\0\0", 10)},
      {SshUnresolvedAddress("far.example"), std::string("\x05\x01\x00\x03\x0b" "far.example\x00\x16", 18),
       std::string("\x05\x00\x00\x03\x03" "abc\0\0", 10)},
      {SshLookupName("::1", nullptr, 2),
       std::string("\x05\x01\x00\x04", 4) + std::string(15, '\0') + std::string("\x01\x00\x16", 3),
       std::string("\x05\x00\x00\x04", 4) + std::string(18, '\0')},
  };
  for (Case& c : cases) {
    ProxyRun run;
    std::string expected = std::string("\x05\x01\x00", 3) + c.request;
    Through(run, Proxy(kProxySocks5), c.dest, 22, [&](ByteServer& b) {
      b.Read(3);
      b.Send(std::string("\x05\x00", 2));
      b.Read(c.request.size());
      b.SendPieces(c.reply + "HELLO", 4);
      b.ReadToEnd();
    });
    EXPECT_EQ(run.plug.data, "HELLO");
    EXPECT_EQ(run.serverGot, expected + "earlylate");
  }
}

TEST(Socks5Proxy, UserNameAndPassword) {
  SshSettings s = Proxy(kProxySocks5);
  std::strcpy(s.ProxyUserName, "alice");
  ProxyRun run;  // the empty password goes as one NUL byte
  Through(run, s, Ipv4("10.0.0.1"), 22, [](ByteServer& b) {
    b.Read(5);
    b.Send(std::string("\x05\x02", 2));
    b.Read(1 + 6 + 2);
    b.Send(std::string("\x01\x00", 2));
    b.Read(10);
    b.Send(std::string("\x05\x00\x00\x01\0\0\0\0\0\0HELLO", 15));
    b.ReadToEnd();
  });
  EXPECT_EQ(run.plug.data, "HELLO");
  EXPECT_EQ(run.serverGot.substr(0, 14), std::string("\x05\x03\x00\x03\x02\x01\x05" "alice\x01\x00", 14));
}

TEST(Socks5Proxy, ChapAnswersTheChallengeWithHmacMd5) {
  SshSettings s = Proxy(kProxySocks5);
  std::strcpy(s.ProxyUserName, "alice");
  std::strcpy(s.ProxyPassword, "wonderland");
  const std::string challenge = "0123456789abcdefXYZ";
  ProxyRun run;
  std::string response;
  Through(run, s, Ipv4("10.0.0.1"), 22, [&](ByteServer& b) {
    b.Read(5);
    b.Send(std::string("\x05\x03", 2));
    b.Read(6 + 1 + 5);
    // Algorithm confirmed and a challenge in one message, an unknown attribute skipped.
    b.SendPieces(std::string("\x01\x03\x11\x01\x85\x63\x02zz\x03", 10) + char(challenge.size()) + challenge, 5);
    b.Read(4 + 16, &response);
    b.Send(std::string("\x01\x01\x00\x01\x00", 5));
    b.Read(10);
    b.Send(std::string("\x05\x00\x00\x01\0\0\0\0\0\0HELLO", 15));
    b.ReadToEnd();
  });
  EXPECT_EQ(run.plug.data, "HELLO");
  EXPECT_EQ(run.serverGot.substr(5, 12), std::string("\x01\x02\x11\x01\x85\x02\x05" "alice", 12));
  uint8_t mac[16];
  HmacMd5Context* h = HmacMd5Create();
  HmacMd5SetKey(h, reinterpret_cast<const uint8_t*>("wonderland"), 10);
  HmacMd5Compute(h, challenge.data(), challenge.size(), mac);
  HmacMd5Free(h);
  EXPECT_EQ(response, std::string("\x01\x01\x04\x10", 4) + std::string(reinterpret_cast<char*>(mac), 16));
}

TEST(Socks5Proxy, RefusalsEndWith8000) {
  struct Case {
    const char* name;
    bool credentials;
    std::string methodReply;
    std::string second;  // sent after the next request, when any
  } cases[] = {
      {"only method 2 without credentials", false, std::string("\x05\x02", 2), ""},
      {"no acceptable method", true, std::string("\x05\xff", 2), ""},
      {"GSSAPI", true, std::string("\x05\x01", 2), ""},
      {"wrong version", false, std::string("\x04\x00", 2), ""},
      {"password refused", true, std::string("\x05\x02", 2), std::string("\x01\x01", 2)},
      {"CHAP status failure", true, std::string("\x05\x03", 2), std::string("\x01\x01\x00\x01\x01", 5)},
      {"CHAP other algorithm", true, std::string("\x05\x03", 2), std::string("\x01\x01\x11\x01\x84", 5)},
      {"CHAP no attributes", true, std::string("\x05\x03", 2), std::string("\x01\x00", 2)},
      {"connect refused", false, std::string("\x05\x00", 2), std::string("\x05\x05\x00\x01\x00", 5)},
      {"unknown address type", false, std::string("\x05\x00", 2), std::string("\x05\x00\x00\x07\x00", 5)},
  };
  for (const Case& c : cases) {
    SshSettings s = Proxy(kProxySocks5);
    if (c.credentials) std::strcpy(s.ProxyUserName, "u");
    ProxyRun run;
    Through(run, s, Ipv4("10.0.0.1"), 22, [&](ByteServer& b) {
      b.Read(c.credentials ? 5 : 3);
      b.Send(c.methodReply);
      if (!c.second.empty()) {
        b.Read(3);
        b.Send(c.second);
      }
      b.ReadToEnd();
    });
    EXPECT_EQ(run.plug.closings, 1) << c.name;
    EXPECT_EQ(run.plug.code, kProxyErrorRefused) << c.name;
    EXPECT_EQ(run.plug.data, "") << c.name;
  }
}

TEST(TelnetProxy, CommandThenFirstAnswerPassesThrough) {
  SshSettings s = Proxy(kProxyTelnet);
  ProxyRun run;
  Through(run, s, Ipv4("10.1.2.3"), 22, [](ByteServer& b) {
    b.ReadUntil("\n");
    b.Send("HELLO");
    b.ReadToEnd();
  });
  EXPECT_EQ(run.plug.data, "HELLO");
  EXPECT_EQ(run.serverGot, "connect 10.1.2.3 22\nearlylate");
}

TEST(ProxyCreation, UnknownTypeAndUnresolvableProxy) {
  RecordingPlug plug;
  SshSettings s = Proxy(9);
  std::strcpy(s.ProxyHost, "127.0.0.1");
  SshSocket* unknown = ProxyNewConnection(Ipv4("10.0.0.1"), "x", 22, 0, &plug, &s);
  EXPECT_EQ(unknown->Error(), 10022u);
  unknown->Close();
  s.ProxyType = kProxyHttp;
  s.ProxyHost[0] = 0;  // fails without asking a resolver
  SshSocket* unresolved = ProxyNewConnection(Ipv4("10.0.0.1"), "x", 22, 0, &plug, &s);
  EXPECT_EQ(unresolved->Error(), 11001u);
  unresolved->Close();
}

}  // namespace
