// Local checksums, verification answers of the scripted server, the automatic transfer
// type, and the transfer status arithmetic.
#include <sys/stat.h>

#include <cstring>

#include "ftp/ftp_session.h"
#include "platform/base/tick.h"
#include "transfer_fixture.h"

namespace xfer {
namespace {

TEST_F(XferTest, LocalChecksums) {
  WriteLocal(Path("abc"), "abc");
  WriteLocal(Path("digits"), "123456789");
  char text[33];
  ASSERT_EQ(FtpLocalChecksum(Path("abc").c_str(), text, 4), 1);
  EXPECT_STREQ(text, "900150983CD24FB0D6963F7D28E17F72");
  ASSERT_EQ(FtpLocalChecksum(Path("digits").c_str(), text, 2), 1);
  EXPECT_STREQ(text, "CBF43926");
  EXPECT_EQ(FtpLocalChecksum(Path("missing").c_str(), text, 2), 0);
  EXPECT_EQ(LastError(), cvErrorFileNotFound);
  EXPECT_EQ(FtpLocalChecksum(Path("abc").c_str(), text, 3), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
}

// Single-line answers, case and leading zeros, a refused XMD5 that falls back to XCRC,
// and a large file compared by size alone.
TEST_F(XferTest, VerificationAnswers) {
  // Content whose CRC-32 has a leading zero digit, so the server's form differs.
  std::string content;
  char crc[33] = "";
  for (int i = 0; crc[0] == '\0' || std::strlen(crc) == 8; ++i) {
    content = "content " + std::to_string(i);
    WriteLocal(Path("c"), content);
    ASSERT_EQ(FtpLocalChecksum(Path("c").c_str(), crc, 2), 1);
  }
  char md5[33];
  ASSERT_EQ(FtpLocalChecksum(Path("c").c_str(), md5, 4), 1);
  std::string lowerMd5 = md5;
  for (auto& ch : lowerMd5) ch = char(std::tolower(ch));
  ScriptServer server;
  Greet(server)
      .Expect("XMD5 c").Reply("250 " + lowerMd5)
      .Expect("XMD5 c").Reply("250-Computing MD5 digest\r\n250 00112233445566778899AABBCCDDEEFF")
      .Expect("XMD5 c").Reply("502 Command not implemented.")
      .Expect("XCRC c").Reply("250 c " + std::string(8 - std::strlen(crc), '0') + crc)
      .Expect("SIZE big").Reply("213 314572800");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, 0x8000 | 0x4000 | 0x1);
  EXPECT_EQ(FtpVerifyFile(h, Path("c").c_str(), "c", 4), 1) << LastError();
  EXPECT_EQ(FtpVerifyFile(h, Path("c").c_str(), "c", 4), 0);
  EXPECT_EQ(LastError(), cvErrorFileChecksumMismatch);
  EXPECT_EQ(FtpVerifyFile(h, Path("c").c_str(), "c", 0), 0);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpGetFeatures(h) & 0x8000u, 0u);
  EXPECT_EQ(FtpVerifyFile(h, Path("c").c_str(), "c", 0), 1) << LastError();  // now by XCRC
  // 300 MB (sparse) is compared by size only.
  {
    std::ofstream(Path("big")).close();
    ASSERT_EQ(::truncate(Path("big").c_str(), 314572800), 0);
  }
  EXPECT_EQ(FtpVerifyFile(h, Path("big").c_str(), "big", 0), 1) << LastError();
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, AutomaticType) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  WriteLocal(Path("notes"), "plain text\r\nwith\ttabs\n");
  WriteLocal(Path("accent"), "caf\xE9");
  WriteLocal(Path("empty"), "");
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);  // must not hang the content test
  struct Case {
    std::string name;
    uint32_t contentTest;
    int32_t type;
  } cases[] = {
      {"README.TXT", 0, 1}, {"dir/page.Html", 0, 1}, {"C:\\x\\y.cpp", 0, 1}, {"photo.jpg", 1, 3},
      {"noext", 0, 3},      {Path("notes"), 1, 1},   {Path("accent"), 1, 3}, {Path("empty"), 1, 3},
      {Path("pipe"), 1, 3}, {Path("missing"), 1, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(FtpGetAutoFileType(h, c.name.c_str(), c.contentTest), c.type) << c.name;
  EXPECT_EQ(FtpGetAutoFileType(h, "", 0), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  // The library's list comes before the built-in names.
  EXPECT_EQ(FtpAddFileType(" .txt", 3), 1);
  EXPECT_EQ(FtpGetAutoFileType(h, "README.TXT", 0), 3);
  EXPECT_EQ(FtpAddFileType("txt", 1), 1);  // replaced, not added
  EXPECT_EQ(FtpGetAutoFileType(h, "a.txt", 0), 1);
  EXPECT_EQ(FtpAddFileType("bin", 4), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidFileType);
  EXPECT_EQ(FtpAddFileType(".", 1), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  FtpDisconnect(h);
}

uint64_t g_now = 0;
uint64_t FakeTicks() { return g_now; }

TEST_F(XferTest, TransferStatusArithmetic) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSession* s = FtpGetSession(h);
  plat::SetTickSourceForTesting(&FakeTicks);
  struct Case {
    uint64_t size, offset, transferred;
    uint32_t start, end, now;
    uint32_t options;
    uint32_t rate, elapsed, remaining;
  } cases[] = {
      // 3 MB at 1 MB/s, 1 MB copied: 2 s left (2,000 ms with the option).
      {3000000, 0, 1000000, 5000, 0, 6001, 0, 1000000, 1, 2},
      {3000000, 0, 1000000, 5000, 0, 6001, cvftp::kOptStatusMilliseconds, 1000000, 1001, 2000},
      // Within the first second: the rate is the bytes copied.
      {3000000, 0, 400, 5000, 0, 5500, 0, 400, 0, 10},
      // Ended: the remaining field holds the elapsed time.
      {3000000, 0, 3000000, 5000, 8000, 9999, cvftp::kOptStatusMilliseconds, 1000000, 3000, 3000},
      // Restarted at an offset; more copied than announced.
      {100, 50, 150, 5000, 0, 7500, 0, 100, 2, 0},
  };
  for (const Case& c : cases) {
    s->fileSize = c.size;
    s->restartOffset = c.offset;
    s->bytesTransferred = c.transferred;
    s->transferStart = c.start;
    s->transferEnd = c.end;
    s->options = (s->options & ~cvftp::kOptStatusMilliseconds) | c.options;
    g_now = c.now;
    FtpTransferStatus st{};
    ASSERT_EQ(FtpGetTransferStatus(h, &st), 0);
    EXPECT_EQ(st.bytesCopied, c.offset + c.transferred);
    EXPECT_EQ(st.fileSize, std::max(c.size, c.offset + c.transferred));
    EXPECT_EQ(st.bytesPerSecond, c.rate);
    EXPECT_EQ(st.elapsed, c.elapsed);
    EXPECT_EQ(st.remaining, c.remaining);
  }
  plat::SetTickSourceForTesting(nullptr);
  s->fileSize = 0x100000000ull;
  FtpTransferStatus32 st32{};
  ASSERT_EQ(FtpGetTransferStatus32(h, &st32), 0);
  EXPECT_EQ(st32.fileSize, 0xFFFFFFFFu);
  EXPECT_EQ(FtpGetTransferStatus(h, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpSetTransferState(h, 8), 1);
  EXPECT_EQ(FtpSetTransferState(h, 1), 8);
  FtpDisconnect(h);
}

}  // namespace
}  // namespace xfer
