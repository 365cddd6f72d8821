// MX queries against a scripted name server: ordering, fall-backs, response codes, and
// answers a real server would not give.
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns/dns.h"
#include "dns_test_support.h"
#include "fake_dns.h"

namespace {

using namespace dnstest;
using Strings = std::vector<std::string>;

class DnsQueryTest : public DnsTest {
 protected:
  // A look-up through the server; the hosts, or {"error N"} on failure.
  Strings Lookup(FakeDns& server, const char* domain, int32_t maximum = 32) {
    LibHandle h = ResolverFor("127.0.0.1", server.port(), timeout_);
    DnsGetSession(h)->attempts = attempts_;
    const char* hosts[35] = {};
    int32_t n = DnsLookupMx(h, domain, hosts, maximum);
    // The pointers lead into the resolver: copied before it goes.
    Strings result = n < 0 ? Strings{"error " + std::to_string(LastError())} : Hosts(hosts, n);
    DnsDestroyResolver(h);
    return result;
  }
  int32_t timeout_ = 5;
  int32_t attempts_ = 1;
};

TEST_F(DnsQueryTest, SortsByPreferenceKeepingAnswerOrderForTies) {
  FakeDns server([](const Bytes& q) {
    return std::vector<FakeDns::Reply>{{MxAnswer(q, {{20, "a.example.com"}, {10, "b.example.com"}, {20, "c.example.com"}})}};
  });
  EXPECT_EQ(Lookup(server, "  Example.COM."), (Strings{"b.example.com", "a.example.com", "c.example.com"}));
  EXPECT_EQ(Lookup(server, "example.com", 2), (Strings{"b.example.com", "a.example.com"}));

  // The query as sent: recursion desired, one question for MX in class IN.
  Bytes q = server.udpQueries().at(0);
  EXPECT_EQ(Bytes(q.begin() + 2, q.begin() + 12), (Bytes{0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(QuestionName(q), "example.com");
  EXPECT_EQ(Bytes(q.end() - 4, q.end()), (Bytes{0, 15, 0, 1}));
}

TEST_F(DnsQueryTest, ReadsAtMost35RecordsAndStopsAtTheFirstOtherType) {
  FakeDns server([](const Bytes& q) {
    std::vector<Mx> many;
    for (int i = 0; i < 40; ++i) many.push_back({uint16_t(40 - i), "m" + std::to_string(i) + ".x"});
    if (QuestionName(q) == "many.example.com") return std::vector<FakeDns::Reply>{{MxAnswer(q, many)}};
    // A CNAME first: no exchangers, whatever follows.
    Bytes b = AnswerHead(q, 0, 2);
    Bytes target;
    PutName(target, "other.example.com");
    PutRecord(b, 5, target);
    PutRecord(b, 15, MxData({10, "mx.example.com"}));
    return std::vector<FakeDns::Reply>{{b}};
  });
  // Preferences fall from 40: the lowest of the records read comes first.
  Strings hosts = Lookup(server, "many.example.com");
  ASSERT_EQ(hosts.size(), 32u);
  EXPECT_EQ(hosts.front(), "m31.x");
  LibHandle h = ResolverFor("127.0.0.1", server.port());
  EXPECT_EQ(DnsLookupMx(h, "many.example.com", nullptr, 0), 35);
  EXPECT_STREQ(DnsGetSession(h)->mx.hosts[0], "m34.x");
  EXPECT_EQ(DnsQueryMx(h, "many.example.com", 3), 3);
  EXPECT_STREQ(DnsGetSession(h)->mx.hosts[0], "m2.x");
  EXPECT_EQ(Lookup(server, "alias.com"), Strings{});
}

TEST_F(DnsQueryTest, NameWithoutMxFallsBackToItsLastTwoLabelsOnce) {
  FakeDns server([](const Bytes& q) {
    if (QuestionName(q) == "example.com") return std::vector<FakeDns::Reply>{{MxAnswer(q, {{5, "mx.example.com"}})}};
    return std::vector<FakeDns::Reply>{{AnswerHead(q, 0, 0)}};  // exists, no MX
  });
  EXPECT_EQ(Lookup(server, "a.b.example.com"), Strings{"mx.example.com"});
  std::vector<Bytes> asked = server.udpQueries();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(QuestionName(asked[0]), "a.b.example.com");
  EXPECT_EQ(QuestionName(asked[1]), "example.com");
  EXPECT_EQ(Lookup(server, "nomx.org"), Strings{});
  EXPECT_EQ(server.udpQueries().size(), 3u);
}

TEST_F(DnsQueryTest, ResponseCodesBecomeErrors) {
  FakeDns server([](const Bytes& q) {
    const uint8_t code = uint8_t(QuestionName(q)[4] - '0');  // "rcodeN.example"
    return std::vector<FakeDns::Reply>{{AnswerHead(q, code, 0)}};
  });
  struct Case {
    int code;
    uint32_t error;
  };
  for (Case c : {Case{0, 12203}, Case{1, 12204}, Case{2, 12204}, Case{3, 11002}, Case{4, 11003}, Case{5, 11003}}) {
    LibHandle h = ResolverFor("127.0.0.1", server.port());
    uint8_t answer[kDnsAnswerSize];
    const std::string name = "rcod" + std::to_string(c.code) + ".example";
    EXPECT_EQ(DnsQuery(h, name.c_str(), answer), -1) << c.code;
    EXPECT_EQ(LastError(), c.error) << c.code;
    // Only "no data" is an empty result for the MX query.
    EXPECT_EQ(DnsQueryMx(h, name.c_str(), 35), c.code == 0 ? 0 : -1) << c.code;
    if (c.code == 0) {
      EXPECT_EQ(LastError(), c.error);  // no exchanger, and why
    }
  }
}

TEST_F(DnsQueryTest, IgnoresStaleIdentifiersShortDatagramsAndStrangers) {
  FakeDns server([](const Bytes& q) {
    Bytes stale = MxAnswer(q, {{1, "stale.example.com"}});
    stale[0] ^= 0x80;
    return std::vector<FakeDns::Reply>{{stale},
                                       {Bytes{q[0], q[1], 0x81}},
                                       {MxAnswer(q, {{1, "stranger.example.com"}}), true},
                                       {MxAnswer(q, {{1, "right.example.com"}})}};
  });
  EXPECT_EQ(Lookup(server, "example.com"), Strings{"right.example.com"});
}

TEST_F(DnsQueryTest, AnswersMustMatchTheLatestSendAndCarryOneQuestion) {
  // Every resolver starts its identifiers at a random value.
  std::set<uint16_t> firstIds;
  {
    FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{MxAnswer(q, {{1, "mx.example.com"}})}}; });
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Lookup(server, "example.com"), Strings{"mx.example.com"});
    for (const Bytes& q : server.udpQueries()) firstIds.insert(IdOf(q));
  }
  EXPECT_GT(firstIds.size(), 1u);

  const struct {
    const char* what;
    std::function<void(Bytes& answer, uint16_t firstId)> change;
    Strings result;
  } kCases[] = {
      {"no question", [](Bytes& b, uint16_t) { b[5] = 0; }, {"error 12204"}},
      {"two questions", [](Bytes& b, uint16_t) { b[5] = 2; }, {"error 12204"}},
      {"the identifier of the first send, to the retry", [](Bytes& b, uint16_t first) {
         b[0] = uint8_t(first >> 8);
         b[1] = uint8_t(first);
       }, {"error 10060"}},
      {"unchanged", [](Bytes&, uint16_t) {}, {"mx.example.com"}},
  };
  for (const auto& c : kCases) {
    std::mutex lock;
    std::vector<uint16_t> ids;
    // The first send of each query goes unanswered; its retry gets the changed answer.
    FakeDns server([&](const Bytes& q) {
      std::lock_guard lk(lock);
      ids.push_back(IdOf(q));
      if (ids.size() % 2 == 1) return std::vector<FakeDns::Reply>{};
      Bytes b = MxAnswer(q, {{1, "mx.example.com"}});
      c.change(b, ids[ids.size() - 2]);
      return std::vector<FakeDns::Reply>{{b}};
    });
    timeout_ = 1;
    attempts_ = 2;
    EXPECT_EQ(Lookup(server, "example.com"), c.result) << c.what;
  }
}

TEST_F(DnsQueryTest, SilentServerTimesOutAfterEveryAttemptWithFreshIdentifiers) {
  FakeDns server([](const Bytes&) { return std::vector<FakeDns::Reply>{}; });
  timeout_ = 1;
  attempts_ = 2;
  EXPECT_EQ(Lookup(server, "example.com"), Strings{"error 10060"});
  std::vector<Bytes> asked = server.udpQueries();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_NE(IdOf(asked[1]), IdOf(asked[0]));
}

// Each query and each send draws its identifier at random: one that saw an identifier
// cannot tell the next from it.
TEST_F(DnsQueryTest, IdentifiersAreDrawnAtRandomForEverySend) {
  FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{MxAnswer(q, {{1, "mx.example.com"}})}}; });
  LibHandle h = ResolverFor("127.0.0.1", server.port());
  for (int i = 0; i < 8; ++i) {
    const char* hosts[35] = {};
    EXPECT_EQ(DnsLookupMx(h, "example.com", hosts, 35), 1);
  }
  DnsDestroyResolver(h);
  std::vector<uint16_t> ids;
  for (const Bytes& q : server.udpQueries()) ids.push_back(IdOf(q));
  ASSERT_EQ(ids.size(), 8u);
  int stepsOfOne = 0;
  for (size_t i = 1; i < ids.size(); ++i) stepsOfOne += uint16_t(ids[i] - ids[i - 1]) == 1;
  EXPECT_LT(stepsOfOne, 3) << "identifiers count up";
}

TEST_F(DnsQueryTest, NoReachableServerIsRefused) {
  LibHandle h = DnsCreateResolver();  // the configuration names none
  const char* hosts[35];
  EXPECT_EQ(DnsLookupMx(h, "example.com", hosts, 35), -1);
  EXPECT_EQ(LastError(), 11003u);
}

TEST_F(DnsQueryTest, TruncatedAnswerIsAskedAgainOverTcp) {
  FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{MxAnswer(q, {{1, "udp.example.com"}}, true)}}; },
                 [](const Bytes& q) {
                   Bytes m = MxAnswer(q, {{7, "tcp.example.com"}, {3, "tcp3.example.com"}});
                   return WithPrefix(m, uint32_t(m.size()));
                 });
  EXPECT_EQ(Lookup(server, "example.com"), (Strings{"tcp3.example.com", "tcp.example.com"}));
  ASSERT_EQ(server.tcpQueries().size(), 1u);
  EXPECT_EQ(QuestionName(server.tcpQueries()[0]), "example.com");
}

TEST_F(DnsQueryTest, LongTcpAnswerIsCutTo1024BytesAndMarkedTruncated) {
  FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{AnswerHead(q, 0, 0, true)}}; },
                 [](const Bytes& q) {
                   std::vector<Mx> many;
                   for (int i = 0; i < 40; ++i) many.push_back({uint16_t(i), "exchanger" + std::to_string(i) + ".example.com"});
                   Bytes m = MxAnswer(q, many);
                   m.resize(1500);
                   return WithPrefix(m, 1500);
                 });
  LibHandle h = ResolverFor("127.0.0.1", server.port());
  uint8_t answer[kDnsAnswerSize];
  EXPECT_EQ(DnsQuery(h, "example.com", answer), 1024);
  EXPECT_TRUE(answer[2] & 0x02);
  // Only the records wholly inside the kept part are read.
  const int32_t n = DnsQueryMx(h, "example.com", 35);
  EXPECT_GT(n, 20);
  EXPECT_LT(n, 35);
}

TEST_F(DnsQueryTest, BrokenTcpAnswersFailCleanly) {
  struct Case {
    const char* what;
    std::function<Bytes(const Bytes&)> tcp;
  };
  const Case cases[] = {
      {"closed before the length", [](const Bytes&) { return Bytes{}; }},
      {"length larger than what follows", [](const Bytes& q) { return WithPrefix(MxAnswer(q, {{1, "a.b"}}), 65535); }},
      {"length shorter than a header", [](const Bytes&) { return Bytes{0, 4, 1, 2, 3, 4}; }},
      {"half a length", [](const Bytes&) { return Bytes{4}; }},
  };
  for (const Case& c : cases) {
    FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{AnswerHead(q, 0, 0, true)}}; }, c.tcp);
    EXPECT_EQ(Lookup(server, "example.com"), Strings{"error 11003"}) << c.what;
  }
}

TEST_F(DnsQueryTest, HostileAnswersFailCleanly) {
  FakeDns server([](const Bytes& q) {
    const std::string name = QuestionName(q);
    Bytes b;
    if (name == "loop.example") {  // the exchange name points at itself
      b = AnswerHead(q, 0, 1);
      Bytes data;
      Put16(data, 1);
      Put16(data, 0xC000 | uint32_t(b.size() + 14));
      PutRecord(b, 15, data);
    } else if (name == "count.example") {  // announces 50 answers, carries one
      b = MxAnswer(q, {{1, "only.example"}});
      b[7] = 50;
    } else if (name == "past.example") {  // record data longer than the datagram
      b = MxAnswer(q, {{1, "a.example"}, {2, "b.example"}});
      b.resize(b.size() - 3);
    } else if (name == "question.example") {  // the question's name runs off the end
      b = AnswerHead(q, 0, 1);
      b.resize(14);
      b[12] = 60;
    }
    return std::vector<FakeDns::Reply>{{b}};
  });
  EXPECT_EQ(Lookup(server, "loop.example"), Strings{"error 12204"});
  EXPECT_EQ(Lookup(server, "count.example"), Strings{"only.example"});
  EXPECT_EQ(Lookup(server, "past.example"), Strings{"a.example"});
  EXPECT_EQ(Lookup(server, "question.example"), Strings{});
}

TEST_F(DnsQueryTest, NamesAreCheckedBeforeAnythingIsSent) {
  FakeDns server([](const Bytes& q) { return std::vector<FakeDns::Reply>{{MxAnswer(q, {{1, "mx.example.com"}})}}; });
  // Labels of 1 to 63 characters, names of up to 253.
  const std::string l63(63, 'a');
  const struct {
    std::string name;
    Strings result;
  } kNames[] = {
      {std::string(59, 'a') + ".com", {"mx.example.com"}},
      {l63 + ".com", {"mx.example.com"}},                                   // 67 characters
      {l63 + "." + l63 + ".example.com", {"mx.example.com"}},               // 139
      {l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b'), {"mx.example.com"}},  // 253
      {l63 + "." + l63 + "." + l63 + "." + std::string(62, 'b'), {"error 12253"}},     // 254
      {"a" + l63 + ".com", {"error 12253"}},                                // a label of 64
      {"ab", {"error 12253"}},
      {"bad_name.com", {"error 12253"}},
  };
  size_t sent = 0;
  for (const auto& c : kNames) {
    EXPECT_EQ(Lookup(server, c.name.c_str()), c.result) << c.name.size();
    if (c.result.size() == 1 && c.result[0].rfind("error", 0) == 0) {
      EXPECT_EQ(server.udpQueries().size(), sent) << "sent a refused name of " << c.name.size();
    } else {
      ASSERT_EQ(server.udpQueries().size(), ++sent);
      EXPECT_EQ(QuestionName(server.udpQueries().back()), c.name);
    }
  }
  // A one-label name goes out only with a suffix; without a search list nothing is asked.
  EXPECT_EQ(Lookup(server, "mailhost"), Strings{"error 11002"});
  EXPECT_EQ(server.udpQueries().size(), sent);

  LibHandle h = ResolverFor("127.0.0.1", server.port());
  EXPECT_EQ(DnsLookupMx(h, "example.com", nullptr, 1), -1);
  EXPECT_EQ(LastError(), 10014u);
}

TEST_F(DnsQueryTest, OneLabelNamesWalkTheSearchList) {
  WriteResolvConf("search corp.example.com\n");
  FakeDns server([](const Bytes& q) {
    if (QuestionName(q) == "mailhost.example.com")
      return std::vector<FakeDns::Reply>{{MxAnswer(q, {{1, "mx.example.com"}})}};
    return std::vector<FakeDns::Reply>{{AnswerHead(q, 3, 0)}};
  });
  EXPECT_EQ(Lookup(server, "mailhost"), Strings{"mx.example.com"});
  std::vector<Bytes> asked = server.udpQueries();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(QuestionName(asked[0]), "mailhost.corp.example.com");
  // A suffix that makes the name too long is refused and ends the walk.
  const std::string d63(63, 'd');
  WriteResolvConf("search " + d63 + "." + d63 + "." + d63 + "." + std::string(50, 'd') + ".com\n");  // 246
  EXPECT_EQ(Lookup(server, "mailhost"), Strings{"error 11001"});
  EXPECT_EQ(server.udpQueries().size(), 2u);
}

}  // namespace
