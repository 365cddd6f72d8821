// Direct delivery: SendMessage without a relay looks up each domain's mail exchangers with
// the control's resolver (dnsmasq on loopback) and hands the message to them (exim). The
// control is created in this process so that the resolver and the delivery port, fixed
// numbers in real use, can point at the peers' free ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "dns/dns.h"
#include "mail_host.h"
#include "platform/net/dns_servers.h"
#include "smtp/exim_peer.h"

namespace {

using namespace mailhost;

class DirectDelivery : public MailInProcess {
 protected:
  void SetUp() override {
    MailInProcess::SetUp();
    // A single-label domain is searched in "test", which dnsmasq knows without exchangers.
    plat::SetDnsConfigurationPath(dir_.Write("resolv.conf", "search test\n").c_str());
    CV_START_EXIM(exim_);
    dns_ = std::make_unique<cvpeers::PeerProcess>(cvpeers::PeerOptions{
        .program = "dnsmasq",
        .args = {"--no-daemon", "--no-resolv", "--no-hosts", "--port={{PORT}}", "--listen-address={{ADDR}}",
                 "--bind-interfaces", "--local=/test/",
                 // The exchanger's name is the loopback address written as a host name.
                 "--mx-host=mail.test,127.0.0.1,10", "--host-record=localhost.test,127.0.0.1"}});
    CV_START_PEER(*dns_);
    // The name servers are addresses: the first points at dnsmasq, the others are emptied.
    VARIANT loopback = Str(u"127.0.0.1"), empty = Str(u"");
    ASSERT_EQ(PutIndexed(u"NameServer", I4(0), loopback), S_OK);
    for (int32_t slot = 1; slot < 4; ++slot) ASSERT_EQ(PutIndexed(u"NameServer", I4(slot), empty), S_OK);
    VariantClear(&loopback);
    VariantClear(&empty);
    DnsResolver* r = DnsGetSession(object->ResolverHandle());
    ASSERT_NE(r, nullptr);
    r->servers[0].sin_port = htons(dns_->port());
    r->timeout = 5;
    r->attempts = 1;
    object->SetDirectDeliveryPort(exim_.port());
    ASSERT_EQ(Put(u"Timeout", I4(10)), S_OK);
  }
  void TearDown() override {
    MailInProcess::TearDown();
    plat::SetDnsConfigurationPath(nullptr);
  }
  cvpeers::TempDir dir_;
  smtptest::EximPeer exim_;
  std::unique_ptr<cvpeers::PeerProcess> dns_;
};

TEST_F(DirectDelivery, ExchangersOrTheDomainItself) {
  EXPECT_EQ(Show(u"NameServer", {I4(0)}), "\"127.0.0.1\"");
  EXPECT_EQ(Show(u"NameServer", {I4(1)}), "\"\"");
  ASSERT_EQ(Run(u"ComposeMessage", {Str(u"ann@example.org"),
                                    Str(u"one@mail.test, two@localhost, three, four@nowhere.test"), Missing(),
                                    Missing(), Str(u"direct"), Str(u"text")}),
            "0");
  EXPECT_EQ(Run(u"SendMessage", {}), "0") << exim_.MainLog();
  const std::string log = TakeEvents();
  // one: its exchanger; two: no exchangers (as localhost.test), so the domain itself, which
  // the hosts file knows; three: no domain and no Domain property, so no recipient at all;
  // four: the look-up fails, reported, and the send goes on.
  EXPECT_EQ(log,
            "OnRecipient \"one@mail.test\"\nOnProgress done\nOnDelivered \"one@mail.test\"\n"
            "OnRecipient \"two@localhost\"\nOnProgress done\nOnDelivered \"two@localhost\"\n"
            "OnRecipient \"four@nowhere.test\"\nOnError 11002 \"" +
                log.substr(log.rfind("11002 \"") + 7));
  std::vector<std::string> copies = exim_.Delivered(2);
  ASSERT_EQ(copies.size(), 2u);
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ(copies[0].rfind("Envelope-to: one@mail.test\n", 0), 0u) << copies[0];
  EXPECT_EQ(copies[1].rfind("Envelope-to: two@localhost\n", 0), 0u) << copies[1];
}

}  // namespace
