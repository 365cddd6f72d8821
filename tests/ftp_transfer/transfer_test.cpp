// Downloads and uploads against the scripted server: conversions, ends of data, refusals,
// broken and stalled servers, cancel, memory blocks, statistics and progress pacing.
#include <thread>

#include "ftp/ftp_ebcdic.h"
#include "platform/base/heap.h"
#include "transfer_fixture.h"

namespace xfer {
namespace {

TEST_F(XferTest, EbcdicReadsOneLinePerCallAndWritesConverted) {
  using cvftp::ebcdic::kFromAscii;
  std::string wire;
  for (char c : std::string("AB1")) wire += char(kFromAscii[uint8_t(c)]);
  wire += '\x17';
  for (char c : std::string("xyz")) wire += char(kFromAscii[uint8_t(c)]);
  wire += '\x17';
  ScriptServer server;
  DataPort down, file, up;
  Greet(server).Expect("TYPE E").Reply("200 Type E.");
  Serve(Pasv(server, down).Expect("RETR e"), down, wire);
  Serve(Pasv(server, file).Expect("RETR e"), file, wire);
  Receive(Pasv(server, up).Expect("STOR back"), up);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  ASSERT_EQ(FtpSetFileType(h, 2), 200);
  ASSERT_EQ(FtpOpenFile(h, "e", 0), 150);
  char line[64];
  int32_t n = FtpReadData(h, line, sizeof line);
  EXPECT_EQ(std::string(line, size_t(std::max(n, 0))), "AB1\r\n");
  n = FtpReadData(h, line, sizeof line);
  EXPECT_EQ(std::string(line, size_t(std::max(n, 0))), "xyz\r\n");
  EXPECT_EQ(FtpReadData(h, line, sizeof line), 0);
  EXPECT_EQ(LastError(), cvErrorEndOfData);
  EXPECT_EQ(FtpIsDataEnd(h), 1);
  EXPECT_EQ(FtpCloseFile(h), 226);
  // A local file ends its lines as local text does.
  ASSERT_EQ(FtpRetrieveFile(h, Path("e").c_str(), "e", 0, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(Path("e")), "AB1\nxyz\n");
  EXPECT_EQ(FtpStoreData(h, "back", "AB1\r\nxyz\n", 9), 0) << LastError();
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(up.received, wire);  // CR dropped, LF as 0x17
  FtpDisconnect(h);
}

TEST_F(XferTest, AsciiReadStopsAfterEachLine) {
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 Type A.");
  Serve(Pasv(server, d).Expect("RETR t"), d, "one\r\ntwo\r\nend");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  ASSERT_EQ(FtpSetFileType(h, 1), 200);
  ASSERT_EQ(FtpOpenFile(h, "t", 0), 150);
  std::vector<std::string> reads;
  char buffer[64];
  for (int32_t n; (n = FtpReadData(h, buffer, sizeof buffer)) > 0;) reads.emplace_back(buffer, size_t(n));
  EXPECT_EQ(reads, (std::vector<std::string>{"one\r\n", "two\r\n", "end"}));
  EXPECT_EQ(FtpOpenFileEx(h, "again", 0, 0), -1);  // one transfer at a time
  EXPECT_EQ(LastError(), cvErrorConnectionOpen);
  EXPECT_EQ(FtpWriteData(h, "x", 1), -1);
  EXPECT_EQ(LastError(), cvErrorDataReadOnly);
  EXPECT_EQ(FtpCloseFile(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, RefusedRetrieveLeavesTheLocalFileAlone) {
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("SIZE gone").Reply("550 No such file.");
  Pasv(server, d).Expect("RETR gone").Reply("550 No such file.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, 1);  // SIZE
  const std::string local = Path("keep");
  WriteLocal(local, "precious");
  EXPECT_EQ(FtpRetrieveFile(h, local.c_str(), "gone", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorAccessDenied);
  EXPECT_EQ(ReadLocal(local), "precious");
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, DownloadWithoutSizeRecordsTheBytesReceived) {
  ScriptServer server;
  DataPort d;
  const std::string data(100000, 'q');
  Serve(Pasv(Greet(server), d).Expect("RETR big.bin"), d, data);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);
  const std::string local = Path("big.bin");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "big.bin", 0, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(local), data);
  FtpTransferStatus st{};
  ASSERT_EQ(FtpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.fileSize, data.size());
  EXPECT_EQ(st.bytesCopied, data.size());
  EXPECT_STREQ(st.remoteFile, "big.bin");
  EXPECT_STREQ(st.localFile, local.c_str());
  EXPECT_EQ(log.Count(1024), 1);
  EXPECT_GE(log.Count(512), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

// The server breaks the data connection off: the partial download is an error, not a file.
TEST_F(XferTest, DataConnectionClosedEarly) {
  struct Case {
    bool reset;
    uint32_t error;
  } cases[] = {{true, cvErrorConnectionClosed}, {false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reset ? "reset" : "closed in order");
    ScriptServer server;
    DataPort d;
    Serve(Pasv(Greet(server), d).Expect("RETR f"), d, std::string(5000, 'p'), "426 Connection closed; transfer aborted.",
          c.reset);
    LibHandle h = Connect(server);
    ASSERT_NE(h, kNone);
    EXPECT_EQ(FtpRetrieveFile(h, Path("f").c_str(), "f", 0, 0), -1);
    if (c.error) {
      EXPECT_EQ(LastError(), c.error);
    }
    EXPECT_TRUE(server.Finish()) << server.failure();
    FtpDisconnect(h);
  }
}

TEST_F(XferTest, StalledDownloadTimesOut) {
  ScriptServer server;
  DataPort d;
  Pasv(Greet(server), d).Expect("RETR slow").Call([&d](ScriptServer& s) {
    s.SendRaw("150 Here it comes.\r\n");
    int c = ScriptServer::AcceptOne(d.listener, 5s);
    ::send(c, "abc", 3, 0);
    std::this_thread::sleep_for(2500ms);  // and nothing more, past the client's timeout
    ::close(c);
  });
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);
  EXPECT_EQ(FtpRetrieveFile(h, Path("slow").c_str(), "slow", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_GE(log.Count(64), 1);
  server.Finish();
  FtpDisconnect(h);
}

TEST_F(XferTest, UploadToAServerThatStopsReadingTimesOut) {
  ScriptServer server;
  DataPort d;
  int held = -1;
  Pasv(Greet(server), d).Expect("STOR sink").Call([&d, &held](ScriptServer& s) {
    s.SendRaw("150 Ok to send data.\r\n");
    held = ScriptServer::AcceptOne(d.listener, 5s);  // accepted, never read
  });
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  const std::string data(64u << 20, '\0');  // binary: no TYPE A
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpStoreData(h, "sink", data.data(), uint32_t(data.size())), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // bounded by the timeout, not the data
  server.Finish();
  if (held >= 0) ::close(held);
  FtpDisconnect(h);
}

// A cancel during the transfer ends the call at once: the aborted command's final reply,
// however late, is owed and taken before the next command, which gets its own reply.
TEST_F(XferTest, CancelKeepsTheChannelInStep) {
  ScriptServer server;
  DataPort d;
  Pasv(Greet(server), d).Expect("RETR long").Call([&d](ScriptServer& s) {
    s.SendRaw("150 Here it comes.\r\n");
    int c = ScriptServer::AcceptOne(d.listener, 5s);
    const std::string block(16384, 'c');
    for (int i = 0; i < 200; ++i)
      if (::send(c, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    ::close(c);
    std::this_thread::sleep_for(1200ms);
    s.SendRaw("426 Transfer aborted.\r\n");
  });
  server.Expect("SIZE long").Reply("213 777").Expect("PWD").Reply("257 \"/there\"");
  LibHandle h = Connect(server, 5);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);
  FtpSession* s = FtpGetSession(h);
  s->notify.callbacks[10] = [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { FtpCancel(handle); };  // 1024
  EXPECT_EQ(FtpRetrieveFile(h, Path("long").c_str(), "long", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorOperationCanceled);
  EXPECT_EQ(log.Count(128), 1);
  FtpSetFeatures(h, 1);
  uint64_t size = 0;
  EXPECT_EQ(FtpQueryFileSize(h, "long", &size), 213);
  EXPECT_EQ(size, 777u);
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

// Text type: the wire's CR LF become the local LF, a restart goes on at the local file's
// length, and the statistics count the local file's bytes both ways.
TEST_F(XferTest, TextTransfersKeepLocalLineEndsOffsetsAndCounts) {
  ScriptServer server;
  DataPort down, up;
  Pasv(Greet(server).Expect("TYPE A").Reply("200 Ok."), down)
      .Expect("REST 4")
      .Reply("350 Restarting.")
      .Expect("RETR notes.txt");
  Serve(server, down, "two\r\nthree\r\n");
  Receive(Pasv(server, up).Expect("STOR back.txt"), up);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  const std::string local = Path("notes.txt");
  WriteLocal(local, "one\n");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "notes.txt", 0, 4), 0) << LastError() << " " << server.failure();
  EXPECT_EQ(ReadLocal(local), "one\ntwo\nthree\n");
  FtpTransferStatus status{};
  ASSERT_EQ(FtpGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.bytesCopied, 14u);
  EXPECT_EQ(status.fileSize, 14u);

  ASSERT_EQ(FtpStoreFile(h, local.c_str(), "back.txt", 0, 0), 0) << LastError();
  ASSERT_EQ(FtpGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.bytesCopied, 14u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(up.received, "one\r\ntwo\r\nthree\r\n");
  FtpDisconnect(h);
}

TEST_F(XferTest, RetrieveDataIntoBlocksAndBuffers) {
  std::string file;
  for (int i = 0; i < 1000; ++i) file += char('a' + i % 26);
  ScriptServer server;
  DataPort d1, d2, d3;
  Greet(server);
  Serve(Pasv(server, d1).Expect("RETR a"), d1, file);
  Serve(Pasv(server, d2).Expect("RETR a"), d2, file);
  Serve(Pasv(server, d3).Expect("RETR empty"), d3, "");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->dataBufferSize = 64;  // many growths of the block
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(FtpRetrieveData(h, "a", &block, &length), 0) << LastError();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(plat::GlobalSize(block), 1001u);
  const char* p = static_cast<const char*>(plat::GlobalLock(block));
  EXPECT_EQ(std::string(p, length), file);
  EXPECT_EQ(p[1000], '\0');
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);

  char buffer[100];
  length = sizeof buffer;
  ASSERT_EQ(FtpRetrieveData(h, "a", buffer, &length), 0);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(std::string(buffer, 100), file.substr(0, 100));

  block = reinterpret_cast<plat::HGLOBAL>(uintptr_t(1));
  length = 0;
  ASSERT_EQ(FtpRetrieveData(h, "empty", &block, &length), 0);
  EXPECT_EQ(block, nullptr);  // no data: no block, never a freed one
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, LocalFileProblems) {
  ScriptServer server;
  DataPort d;
  Greet(server);
  Serve(Pasv(server, d).Expect("RETR f"), d, std::string(20000, 'z'), "226 Done.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  // A missing upload source fails before anything is sent.
  EXPECT_EQ(FtpStoreFile(h, Path("none").c_str(), "x", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorFileNotFound);
  // A full disk is an error, not a download.
  EXPECT_EQ(FtpRetrieveFile(h, "/dev/full", "f", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorFileWriteFailed);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, ProgressIsPacedByPriority) {
  for (uint32_t priority : {3u, 4u}) {
    SCOPED_TRACE(priority);
    ScriptServer server;
    DataPort d;
    Pasv(Greet(server), d).Expect("RETR p").Call([&d](ScriptServer& s) {
      s.SendRaw("150 Here.\r\n");
      int c = ScriptServer::AcceptOne(d.listener, 5s);
      for (int i = 0; i < 12; ++i) {  // about 1.2 seconds of trickle
        ::send(c, "0123456789", 10, MSG_NOSIGNAL);
        std::this_thread::sleep_for(100ms);
      }
      ::close(c);
      s.SendRaw("226 Done.\r\n");
    });
    LibHandle h = Connect(server);
    ASSERT_NE(h, kNone);
    FtpGetSession(h)->priority = priority;
    EventLog log;
    log.Attach(h);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(FtpRetrieveFile(h, Path("p").c_str(), "p", 0, 0), 0) << LastError();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (priority == 4) {
      EXPECT_EQ(log.Count(512), 1);
    } else {
      EXPECT_GE(log.Count(512), 2);
      EXPECT_LE(log.Count(512), int(ms.count() / 250) + 1);
    }
    EXPECT_TRUE(server.Finish()) << server.failure();
    FtpDisconnect(h);
  }
}

}  // namespace
}  // namespace xfer
