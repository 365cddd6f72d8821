// The InternetServer control as a host meets it: properties, the server's life cycle, the
// events of real clients on loopback and the methods a host calls inside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <netinet/tcp.h>

#include "peers/peer.h"
#include "server_host.h"

namespace {

using namespace tcpsrvtest;

class InternetServer : public ServerHost {};

TEST_F(InternetServer, ExportsOnlyItsFourEntryPoints) {
  void* m = dlopen(CV_INETSRVCTL, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  ASSERT_NE(m, nullptr);
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(m, name), nullptr) << name;
  for (const char* name : {"ServerStart", "InetAttach", "InetPeek", "ServerCreate"})
    EXPECT_EQ(dlsym(m, name), nullptr) << name;
  dlclose(m);
}

TEST_F(InternetServer, PropertyDefaultsAndRules) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"Enabled", "True"},       {u"Backlog", "5"},         {u"ByteOrder", "0"},       {u"KeepAlive", "False"},
      {u"LastError", "0"},        {u"MaxClients", "0"},      {u"NoDelay", "False"},     {u"Priority", "2"},
      {u"ReuseAddress", "True"},  {u"Secure", "False"},      {u"SecureProtocol", "0"},  {u"ServerAddress", "\"\""},
      {u"ServerHandle", "-1"},    {u"ServerPort", "0"},      {u"StackSize", "524288"},  {u"State", "0"},
      {u"ThrowError", "False"},   {u"Trace", "False"},       {u"IsLocked", "False"},    {u"IsActive", "False"},
      {u"ClientAddress", "\"\""}, {u"ClientId", "0"},        {u"QueueCount", "0"},      {u"IsInitialized", "False"},
      {u"Version", "\"9.5.9530.0\""},
  };
  for (auto [name, expect] : defaults) EXPECT_EQ(Show(name), expect) << plat::ToUtf8(name);

  struct Step {
    const char16_t* name;
    int32_t value;
    HRESULT hr;
    const char* expect;  // the property read back
  } steps[] = {
      {u"Backlog", 0, S_OK, "1"},           {u"Backlog", 500, S_OK, "200"},
      {u"Priority", 5, HRESULT(0x800A017C), "2"}, {u"Priority", 4, S_OK, "4"},
      {u"ServerPort", 65536, HRESULT(0x800A017C), "0"}, {u"StackSize", 1, S_OK, "262144"},
      {u"StackSize", 0, S_OK, "524288"},    {u"StackSize", 0x7FFFFFFF, S_OK, "8388608"},
      {u"LastError", 12344, S_OK, "12344"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(plat::ToUtf8(s.name) + " " + std::to_string(s.value));
    EXPECT_EQ(Put(s.name, I4(s.value)), s.hr);
    EXPECT_EQ(Show(s.name), s.expect);
  }
  EXPECT_EQ(Show(u"LastErrorString"), "\"The specified server is not listening for client connections\"");
  EXPECT_EQ(Put(u"SecureProtocol", I4(16)), S_OK);
  EXPECT_EQ(Show(u"Secure"), "True");
  EXPECT_EQ(Show(u"SecureProtocol"), "16");
  // Members that name the current client, outside any event.
  EXPECT_EQ(Put(u"ClientName", Str(u"x")), HRESULT(0x800A017F));
  EXPECT_EQ(Show(u"ClientThread"), "!800A018A");
  EXPECT_EQ(Put(u"ServerAddress", Str(u"0:0:0:0:0:0:0:1")), S_OK);
  EXPECT_EQ(Show(u"ServerAddress"), "\"::1\"");
  EXPECT_EQ(Put(u"ServerAddress", Str(u"not an address")), HRESULT(0x800A2EE5));
  // Reset restores every default.
  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  for (auto [name, expect] : defaults) {
    if (std::u16string(name) == u"IsInitialized") continue;
    EXPECT_EQ(Show(name), expect) << plat::ToUtf8(name);
  }
}

TEST_F(InternetServer, DesignModeRefusesReadsAndInitialisation) {
  IOleObject* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  auto* site = new TestSite;
  site->userMode = false;
  ole->SetClientSite(site);
  EXPECT_EQ(Show(u"State"), "!800A018A");
  EXPECT_EQ(Method(u"Start", {}), HRESULT(0x800A0005));
  ole->SetClientSite(nullptr);
  ole->Release();
  site->Release();
}

// An echo server: every line read comes back.
class Echo : public InternetServer {
 protected:
  void SetUp() override {
    InternetServer::SetUp();
    actions[kRead] = [this](int32_t h) {
      // A read reported before an earlier handler took the data finds nothing waiting.
      if (Show(u"IsReadable") != "True") return;
      VARIANT line{};
      const std::string ok = Result(u"ReadLine", {I4(h), Ref(&line)});
      if (ok == "True") {
        lines.push_back(plat::ToUtf8(Text(line)));
        Result(u"WriteLine", {I4(h), Ref(&line)});
      }
      VariantClear(&line);
    };
    actions[kConnect] = [this](int32_t) {
      address = Show(u"ClientAddress");
      port = Number(u"ClientPort");
      id = Number(u"ClientId");
      clientCount = Number(u"ClientCount");
    };
  }
  std::vector<std::string> lines;
  std::string address;
  int32_t port = 0, id = 0, clientCount = 0;
};

TEST_F(Echo, LinesComeBackOnBothLoopbacks) {
  const std::pair<const char16_t*, int> families[] = {{u"127.0.0.1", AF_INET}, {u"::1", AF_INET6}};
  for (auto [address16, family] : families) {
    const std::string text = plat::ToUtf8(address16);
    SCOPED_TRACE(text);
    if (family == AF_INET6 && Connect(1, AF_INET6) < 0 && errno == EADDRNOTAVAIL) continue;
    fired.clear();
    const uint32_t serverPort = StartOn(address16);
    ASSERT_NE(serverPort, 0u);
    EXPECT_EQ(Show(u"State"), "2");
    EXPECT_EQ(Show(u"IsListening"), "True");
    const int32_t server = Number(u"ServerHandle");
    const int c = Client(serverPort, family);
    ASSERT_GE(c, 0);
    Send(c, "hello there\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
    EXPECT_EQ(Receive(c, 13), "hello there\r\n");
    EXPECT_EQ(lines.back(), "hello there");
    EXPECT_EQ(address, "\"" + text + "\"");
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(c, reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(port, ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port));
    EXPECT_NE(id, 0);
    EXPECT_EQ(clientCount, 1);

    const int32_t h = LastConnected();
    EXPECT_EQ(fired[0].id, kStart);
    EXPECT_EQ(fired[1].id, kAccept);
    EXPECT_EQ(fired[1].handle, server);  // the accept names the server
    EXPECT_EQ(Count(kConnect, h), 1);
    EXPECT_EQ(Count(kWrite, h), 1);
    ::shutdown(c, SHUT_WR);  // the peer closes: the read finds the end, the client goes
    ASSERT_TRUE(WaitFor(kIdle));
    const std::vector<int> tail = {fired[fired.size() - 2].id, fired.back().id};
    EXPECT_EQ(tail, (std::vector<int>{kDisconnect, kIdle}));
    EXPECT_EQ(fired[fired.size() - 2].handle, h);
    EXPECT_TRUE(PeerClosed(c));
    EXPECT_EQ(Show(u"ClientCount"), "0");
    EXPECT_EQ(Result(u"Stop", {}), "0");
    EXPECT_EQ(fired.back().id, kStop);
    EXPECT_EQ(Show(u"ServerHandle"), "-1");
  }
}

TEST_F(Echo, StartWithoutArgumentsTakesTheProperties) {
  const uint16_t free = cvpeers::FreePort(AF_INET);
  ASSERT_EQ(Put(u"ServerPort", I4(free)), S_OK);
  ASSERT_EQ(Put(u"Backlog", I4(7)), S_OK);
  EXPECT_EQ(Result(u"Start", {}), "0");
  EXPECT_EQ(Show(u"ServerAddress"), "\"\"");
  EXPECT_EQ(Show(u"Backlog"), "7");
  const int c = Client(free);  // every address listens
  ASSERT_GE(c, 0);
  Send(c, "x\n");
  EXPECT_EQ(Receive(c, 3), "x\r\n");
  // A second start stops the first server (OnStop) and listens again.
  EXPECT_EQ(Result(u"Start", {}), "0");
  EXPECT_EQ(Count(kStop), 1);
  EXPECT_EQ(Count(kStart), 2);
  EXPECT_TRUE(PeerClosed(c));
}

TEST_F(Echo, DisconnectFromAnEvent) {
  actions[kRead] = [this](int32_t h) {
    VARIANT line{};
    Result(u"ReadLine", {I4(h), Ref(&line)});
    if (Text(line) == u"quit") Result(u"Disconnect", {I4(h)});
    VariantClear(&line);
  };
  const int c = Client(StartOn(u"127.0.0.1"));
  Send(c, "quit\r\n");
  EXPECT_TRUE(PeerClosed(c));
  ASSERT_TRUE(WaitFor(kIdle));
  EXPECT_EQ(Count(kDisconnect), 1);
}

TEST_F(Echo, ReadsArrivingDuringAHandlerFollowItInOrderOnce) {
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  const int a = Client(serverPort), b = Client(serverPort), c = Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect, 3));
  const int32_t first = fired[fired.size() - 1].handle;  // the clients connect in order
  (void)first;
  std::vector<int32_t> reads;
  bool busy = false;
  actions[kRead] = [&](int32_t h) {
    reads.push_back(h);
    VARIANT line{};
    Result(u"ReadLine", {I4(h), Ref(&line)});
    VariantClear(&line);
    if (reads.size() == 1) {
      busy = true;
      Send(b, "two\r\n");
      Pump(300);  // the other read events arrive now, and wait
      Send(c, "three\r\n");
      Pump(300);
      busy = false;
    } else {
      EXPECT_FALSE(busy) << "an event inside a handler";
    }
  };
  Send(a, "one\r\n");
  ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 3; }));
  Pump(300);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_NE(reads[1], reads[0]);
  EXPECT_NE(reads[2], reads[1]);
  EXPECT_NE(reads[2], reads[0]);
}

TEST_F(Echo, FrozenEventsAreQueuedOnceAndReplayedInOrder) {
  IOleControl* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&ole)), S_OK);
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  ASSERT_EQ(ole->FreezeEvents(TRUE_), S_OK);
  const int c = Client(serverPort);
  Send(c, "held\r\n");
  Pump(600);  // the client's read repeats while it waits; it is kept once
  EXPECT_EQ(Sequence(), (std::vector<int>{kStart}));
  ASSERT_EQ(ole->FreezeEvents(FALSE_), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  EXPECT_EQ(Receive(c, 6), "held\r\n");
  const std::vector<int> all = Sequence();
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(std::vector<int>(all.begin(), all.begin() + 5), (std::vector<int>{kStart, kAccept, kConnect, kWrite, kRead}));
  ole->Release();
}

TEST_F(Echo, StopAndReleaseWithClientsConnected) {
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  const int a = Client(serverPort), b = Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect, 2));
  EXPECT_EQ(Show(u"ClientCount"), "2");
  EXPECT_EQ(Result(u"Stop", {}), "0");
  EXPECT_EQ(Show(u"State"), "0");
  EXPECT_TRUE(PeerClosed(a));
  EXPECT_TRUE(PeerClosed(b));
  // Started again, then released while a client is connected and sending.
  const int c = Client(StartOn(u"127.0.0.1"));
  ASSERT_TRUE(WaitFor(kConnect, 3));
  Send(c, "bye\r\n");
  ReleaseControl();
  EXPECT_TRUE(PeerClosed(c));
}

TEST_F(Echo, ClientLimits) {
  // MaxClients and the per-address limit refuse connections with OnError(server, 12337).
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  ASSERT_EQ(Put(u"MaxClients", I4(1)), S_OK);
  const int a = Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect));
  const int b = Client(serverPort);
  EXPECT_TRUE(PeerClosed(b));
  ASSERT_TRUE(WaitFor(kError));
  // The accepted client's own events (OnWrite) may still come after the refusal.
  const Fired& refusal = *std::find_if(fired.begin(), fired.end(), [](const Fired& f) { return f.id == kError; });
  EXPECT_EQ(refusal.code, 12337);
  EXPECT_EQ(refusal.handle, Number(u"ServerHandle"));
  EXPECT_EQ(Count(kConnect), 1);
  Send(a, "still here\n");
  EXPECT_EQ(Receive(a, 12), "still here\r\n");

  EXPECT_EQ(Result(u"Throttle", {I4(0), I4(2), Missing()}), "0");
  EXPECT_EQ(Show(u"MaxClients"), "1");  // the property stays
  const int c = Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect, 2));
  const int d = Client(serverPort);
  EXPECT_TRUE(PeerClosed(d));
  ASSERT_TRUE(WaitFor(kError, 2));
  const Fired& second = *std::find_if(fired.rbegin(), fired.rend(), [](const Fired& f) { return f.id == kError; });
  EXPECT_EQ(second.code, 12337);
  Send(c, "ok\n");
  EXPECT_EQ(Receive(c, 4), "ok\r\n");
}

TEST_F(Echo, RejectInsideOnAcceptAndOutside) {
  actions[kAccept] = [this](int32_t) {
    EXPECT_EQ(Show(u"ClientAddress"), "\"127.0.0.1\"");  // the connection being accepted
    Result(u"Reject", {});
  };
  const int c = Client(StartOn(u"127.0.0.1"));
  EXPECT_TRUE(PeerClosed(c));
  Pump(300);
  EXPECT_EQ(Count(kAccept), 1);
  EXPECT_EQ(Count(kConnect), 0);
  EXPECT_EQ(Count(kError), 0);
  EXPECT_EQ(Result(u"Reject", {}), "12201");
  EXPECT_EQ(fired.back().id, kError);
  EXPECT_EQ(fired.back().code, 12201);
}

TEST_F(Echo, SuspendRejectsAndResumeAccepts) {
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  EXPECT_EQ(Result(u"Suspend", {I4(1)}), "0");
  EXPECT_EQ(Show(u"State"), "3");
  EXPECT_EQ(Result(u"Suspend", {I4(1)}), "12345");  // already suspended
  const int a = Client(serverPort);
  EXPECT_TRUE(PeerClosed(a));
  EXPECT_EQ(Count(kConnect), 0);
  EXPECT_EQ(Result(u"Resume", {}), "0");
  EXPECT_EQ(Show(u"State"), "2");
  const int b = Client(serverPort);
  Send(b, "back\n");
  EXPECT_EQ(Receive(b, 6), "back\r\n");
}

TEST_F(Echo, SuspendDisconnectingWaitsForTheClients) {
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  const int a = Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect));
  EXPECT_EQ(Result(u"Suspend", {I4(2 | 4)}), "0");
  EXPECT_EQ(Show(u"ClientCount"), "0");
  EXPECT_TRUE(PeerClosed(a));
}

TEST_F(InternetServer, ErrorsFollowThrowError) {
  EXPECT_EQ(Result(u"Restart", {}), "12344");
  ASSERT_EQ(Count(kError), 1);
  EXPECT_EQ(fired.back().code, 12344);
  EXPECT_EQ(fired.back().handle, -1);
  EXPECT_EQ(Show(u"LastError"), "12344");
  ASSERT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  EXPECT_EQ(Result(u"Restart", {}, HRESULT(0x800A3038)), "12344");
  EXPECT_EQ(Count(kError), 2);
  // Invalid arguments answer at once, without OnError.
  EXPECT_EQ(Method(u"Write", {Missing(), Str(u"x")}), E_INVALIDARG);
  EXPECT_EQ(Method(u"SyncLock", {Str(u"yes")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Method(u"SyncLock", {Bool(true)}), S_OK);
  EXPECT_EQ(Show(u"IsLocked"), "False");
  EXPECT_EQ(Count(kError), 2);
  // A port in use is the listen error.
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t length = sizeof in;
  getsockname(blocker, reinterpret_cast<sockaddr*>(&in), &length);
  ASSERT_EQ(Put(u"ThrowError", Bool(false)), S_OK);
  ASSERT_EQ(Put(u"ReuseAddress", Bool(false)), S_OK);
  EXPECT_EQ(Result(u"Start", {Str(u"127.0.0.1"), I4(ntohs(in.sin_port))}), "10048");
  EXPECT_EQ(Show(u"State"), "0");
  ::close(blocker);
}

TEST_F(InternetServer, ItemQueue) {
  EXPECT_EQ(Result(u"Enqueue", {Str(u"x")}), "False");  // no server
  StartOn(u"127.0.0.1");
  EXPECT_EQ(Result(u"Enqueue", {Str(u"first")}), "True");
  EXPECT_EQ(Result(u"Enqueue", {I4(42)}), "True");
  EXPECT_EQ(Show(u"QueueCount"), "2");
  for (int i = 0; i < 2; ++i) {
    VARIANT item{};
    EXPECT_EQ(Result(u"Dequeue", {Ref(&item), Bool(false)}), "True");
    EXPECT_EQ(Value(item), "\"first\"");
    VariantClear(&item);
  }
  EXPECT_EQ(Show(u"QueueCount"), "2");
  VARIANT item{};
  EXPECT_EQ(Result(u"Dequeue", {Ref(&item), Missing()}), "True");
  EXPECT_EQ(Value(item), "\"first\"");
  EXPECT_EQ(Result(u"Dequeue", {Ref(&item), Missing()}), "True");
  EXPECT_EQ(Value(item), "42");
  EXPECT_EQ(Result(u"Dequeue", {Ref(&item), Missing()}), "False");
  VariantClear(&item);
  EXPECT_EQ(Result(u"Enqueue", {Str(u"left over")}), "True");
  EXPECT_EQ(Result(u"ClearQueue", {}), "True");
  EXPECT_EQ(Show(u"QueueCount"), "0");
  EXPECT_EQ(Result(u"Enqueue", {Str(u"dropped at stop")}), "True");
  EXPECT_EQ(Result(u"Stop", {}), "0");
  EXPECT_EQ(Method(u"Dequeue", {Missing()}), E_INVALIDARG);
}

TEST_F(Echo, NamesAndIdsFindClients) {
  std::vector<std::string> renames;
  std::vector<int32_t> ids;
  actions[kConnect] = [&](int32_t) {
    char text[16];
    std::snprintf(text, sizeof text, "Client%zu", renames.size());
    const HRESULT first = Put(u"ClientName", Str(plat::ToUtf16(text).c_str()));
    const HRESULT taken = Put(u"ClientName", Str(u"client0"));  // the first client's name
    char line[64];
    std::snprintf(line, sizeof line, "%08X %08X %s", uint32_t(first), uint32_t(taken), Show(u"ClientName").c_str());
    renames.push_back(line);
    ids.push_back(Number(u"ClientId"));
  };
  const uint32_t serverPort = StartOn(u"127.0.0.1");
  Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect));
  Client(serverPort);
  ASSERT_TRUE(WaitFor(kConnect, 2));
  ASSERT_EQ(renames.size(), 2u);
  EXPECT_EQ(renames[0], "00000000 00000000 \"client0\"");  // its own name again is fine
  EXPECT_EQ(renames[1], "00000000 800A3037 \"Client1\"");
  const int32_t second = LastConnected();
  EXPECT_EQ(Result(u"FindClient", {Str(u"CLIENT1")}), std::to_string(second));
  EXPECT_EQ(Result(u"FindClient", {I4(ids[1])}), std::to_string(second));
  EXPECT_EQ(Result(u"FindClient", {Str(u"nobody")}), "-1");
  EXPECT_EQ(Count(kError), 0);  // not found is no failure
  EXPECT_EQ(Show(u"ClientHandle", {I4(1)}), std::to_string(second));
  EXPECT_EQ(Show(u"ClientHandle", {I4(2)}), "!800A017D");
}

// The data methods on a connected client, called from the test's thread with its handle.
class Data : public InternetServer {
 protected:
  void SetUp() override {
    InternetServer::SetUp();
    fd = Client(StartOn(u"127.0.0.1"));
    ASSERT_TRUE(WaitFor(kConnect));
    h = LastConnected();
  }
  // Sends raw bytes and waits until the server side sees them.
  void Arrive(const std::string& bytes) {
    Send(fd, bytes);
    ASSERT_TRUE(PumpUntil([&] { return std::stoi(Result(u"Peek", {I4(h), Missing(), Missing()})) >= int(bytes.size()); }));
  }
  int fd = -1;
  int32_t h = -1;
};

TEST_F(Data, IntegerBuffersInNetworkOrder) {
  ASSERT_EQ(Put(u"ByteOrder", I4(1)), S_OK);
  Arrive(std::string("\0\0\1\0", 4));
  SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, 1);
  VARIANT array{};
  array.vt = VT_ARRAY | VT_I4;
  array.parray = a;
  EXPECT_EQ(Result(u"Read", {I4(h), Ref(&array), Missing()}), "4");
  int32_t* p = nullptr;
  SafeArrayAccessData(array.parray, reinterpret_cast<void**>(&p));
  EXPECT_EQ(p[0], 256);
  SafeArrayUnaccessData(array.parray);
  VariantClear(&array);

  Arrive(std::string("\0\0\1\0", 4));
  VARIANT scalar = I4(0);
  EXPECT_EQ(Method(u"Read", {I4(h), Ref(&scalar), Missing(), Missing()}), E_INVALIDARG);  // needs Length
  EXPECT_EQ(Result(u"Read", {I4(h), Ref(&scalar), I4(4)}), "4");
  EXPECT_EQ(scalar.lVal, 65536);  // the bytes as they came

  VARIANT one{};
  one.vt = VT_I2;
  one.iVal = 1;
  EXPECT_EQ(Result(u"Write", {I4(h), one, Missing()}), "2");
  EXPECT_EQ(Receive(fd, 2), std::string("\0\1", 2));
}

TEST_F(Data, TextBytesAndLines) {
  EXPECT_EQ(Result(u"Write", {I4(h), Str(u"abcdef"), I4(3)}), "3");
  EXPECT_EQ(Receive(fd, 3), "abc");
  EXPECT_EQ(Method(u"Write", {I4(h), VARIANT{}, Missing(), Missing()}), E_INVALIDARG);
  EXPECT_EQ(Result(u"Write", {I4(h), Str(u"\u00e9t\u00e9")}), "5");  // UTF-8 on the wire
  EXPECT_EQ(Receive(fd, 5), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(Result(u"WriteByte", {I4(h), I4(65)}), "True");
  EXPECT_EQ(Method(u"WriteByte", {I4(h), I4(256), Missing()}), E_INVALIDARG);
  EXPECT_EQ(Result(u"WriteLine", {I4(h), Bool(true)}), "True");
  EXPECT_EQ(Result(u"WriteLine", {I4(h), Missing()}), "True");
  EXPECT_EQ(Receive(fd, 9), "ATrue\r\n\r\n");

  Arrive("peeked line\r\nrest");
  for (int i = 0; i < 2; ++i) {
    VARIANT text{};
    EXPECT_EQ(Result(u"Peek", {I4(h), Ref(&text), I4(6)}), "6");
    EXPECT_EQ(Value(text), "\"peeked\"");
    VariantClear(&text);
  }
  VARIANT line{};
  EXPECT_EQ(Result(u"ReadLine", {I4(h), Ref(&line), Missing()}), "True");
  EXPECT_EQ(Value(line), "\"peeked line\"");
  EXPECT_EQ(Result(u"ReadByte", {I4(h)}), "114");  // 'r' from the line buffer
  VARIANT rest{};
  EXPECT_EQ(Result(u"Read", {I4(h), Ref(&rest), Missing()}), "3");
  EXPECT_EQ(Value(rest), "\"est\"");
  ::shutdown(fd, SHUT_WR);
  EXPECT_EQ(Result(u"ReadLine", {I4(h), Ref(&line), Missing()}), "False");
  EXPECT_EQ(Show(u"LastError"), "12256");  // the end, reported without OnError
  EXPECT_EQ(Count(kError), 0);
  VariantClear(&line);
  VariantClear(&rest);
}

TEST_F(Data, BroadcastReachesEveryClient) {
  const int other = Client(uint32_t(Number(u"ServerPort")));
  ASSERT_TRUE(WaitFor(kConnect, 2));
  EXPECT_EQ(Result(u"Broadcast", {Str(u"all\n"), Missing()}), "2");
  EXPECT_EQ(Receive(fd, 4), "all\n");
  EXPECT_EQ(Receive(other, 4), "all\n");
  // Inside an event it skips the current client.
  actions[kRead] = [this](int32_t from) {
    VARIANT line{};
    Result(u"ReadLine", {I4(from), Ref(&line)});
    Result(u"Broadcast", {Str(u"others\n"), Missing()});
    VariantClear(&line);
  };
  Send(fd, "hi\n");
  EXPECT_EQ(Receive(other, 7), "others\n");
  EXPECT_EQ(Receive(fd, 1, 300), "");
}

TEST_F(Data, AResetConnectionFiresOnErrorOnly) {
  const int before = Count(kRead);
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
  fd = -1;
  ASSERT_TRUE(WaitFor(kDisconnect));
  ASSERT_EQ(Count(kError), 1);
  for (const Fired& f : fired) {
    if (f.id == kError) {
      EXPECT_EQ(f.code, 10054);
    }
  }
  EXPECT_EQ(Count(kError, h), 1);
  EXPECT_EQ(Count(kRead), before);
}

}  // namespace
