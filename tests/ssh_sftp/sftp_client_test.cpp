// The SFTP client against scripted replies: identifiers, matching, decoding limits,
// status mapping, the version handshake, the download queue's ordering and its size
// checks, and replies that are malformed or never complete.
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "scripted_server.h"

namespace {

using sftptest::Packet;
using sftptest::Str;
using sftptest::U32;
using sftptest::U64;

class Scripted : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plat::WSADATA data;
    SockStartup(&data);
  }
  static void TearDownTestSuite() { SockCleanup(); }
  sftptest::ScriptedSession session;
  SshSession* s = session.s;
};

TEST_F(Scripted, IdentifiersFillTheFirstGap) {
  SftpRequest* a = SftpAllocRequest(s);
  SftpRequest* b = SftpAllocRequest(s);
  SftpRequest* c = SftpAllocRequest(s);
  SftpRequest* d = SftpAllocRequest(s);
  EXPECT_EQ(a->id, 256u);
  EXPECT_EQ(d->id, 259u);
  // Answer 258: the next request takes its identifier again.
  SftpRegisterRequest(s, c);
  session.Reply(Packet(101, U32(258) + U32(0)));
  SftpPacket* p = SftpReceivePacket(s);
  ASSERT_EQ(SftpFindRequest(s, p), c);
  SftpFreeRequest(c);
  SftpPacketFree(p);
  SftpRequest* e = SftpAllocRequest(s);
  EXPECT_EQ(e->id, 258u);
  (void)b;
}

TEST_F(Scripted, RepliesToUnknownOrUnregisteredRequestsAreRefused) {
  SftpRequest* r = SftpAllocRequest(s);  // allocated, never registered
  for (uint32_t id : {r->id, 999u}) {
    session.Reply(Packet(101, U32(id) + U32(0)));
    SftpPacket* p = SftpReceivePacket(s);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(SftpFindRequest(s, p), nullptr);
    EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidPacketId);
    EXPECT_EQ(SftpGetStatus(s), -1);
  }
}

TEST_F(Scripted, VersionHandshake) {
  struct Case {
    std::string reply;
    int32_t result;
    uint32_t error;
  } cases[] = {
      {Packet(2, U32(3)), 1, 0},
      {Packet(2, U32(2)), 1, 0},
      {Packet(2, U32(4)), 0, cvErrorProtocolNotSupported},
      {Packet(101, U32(3)), 0, cvErrorUnexpectedServerResponse},
      {Packet(2, "ab"), 0, cvErrorInvalidPacketData},
      {"", 0, cvErrorNotConnected},
  };
  for (const Case& c : cases) {
    SshSetLastError(s, 0);
    session.Reply(c.reply);
    EXPECT_EQ(SftpInit(s), c.result) << c.reply.size();
    if (c.error) {
      EXPECT_EQ(SftpGetLastError(s), c.error);
    }
  }
  EXPECT_EQ(sftptest::g_sent.substr(0, 9), std::string("\0\0\0\5\1\0\0\0\3", 9));
}

// One exchange whose reply is scripted: the NAME decoder of READDIR.
SftpNameList* ReadDir(sftptest::ScriptedSession& session, const std::string& body) {
  SftpHandle handle{const_cast<char*>("h"), 1};
  SftpRequest* r = SftpReadDirSend(session.s, &handle);
  session.Reply(Packet(104, U32(r->id) + body));
  bool matched;
  SftpPacket* p = SftpAwaitReply(session.s, r, &matched);
  return matched ? SftpReadDirReply(session.s, p, r) : nullptr;
}

TEST_F(Scripted, NameCountsAndEntriesAreBounded) {
  // 1,000 entries claimed in 100 bytes.
  EXPECT_EQ(ReadDir(session, U32(1000) + std::string(96, 'x')), nullptr);
  EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidServerResponse);
  // A name whose length runs past the packet.
  EXPECT_EQ(ReadDir(session, U32(1) + U32(0x7FFFFFF0) + std::string(20, 'y')), nullptr);
  EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidServerResponse);
  // An extended-attribute count far beyond the bytes left.
  EXPECT_EQ(ReadDir(session, U32(1) + Str("a") + Str("l") + U32(0x80000000) + U32(0xFFFFFFFF)), nullptr);
  // A good entry with extended pairs skipped.
  SftpNameList* list =
      ReadDir(session, U32(1) + Str("f") + Str("long") + U32(0x80000001) + U64(5000000000ull) + U32(1) + Str("k") +
                           Str("v"));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 1);
  EXPECT_STREQ(list->entries[0].fileName, "f");
  EXPECT_EQ(list->entries[0].attributes.size, 5000000000ull);
  SftpFreeNames(list);
}

TEST_F(Scripted, StatusCodesMapToErrorsAndResults) {
  struct Case {
    uint32_t code;
    uint32_t error;
    int32_t reply;
    const char* text;
  } cases[] = {
      {0, 0, 200, "Command okay"},
      {1, cvErrorEndOfFile, 226, "Closing data connection"},
      {3, cvErrorAccessDenied, 550, "Access denied"},
      {4, cvErrorServerTransactionFailed, 500, "General failure"},
      {8, cvErrorOperationNotSupported, 502, "Unrecognized command"},
      {77, cvErrorUnexpectedServerResponse, 502, "Unrecognized command"},
  };
  for (const Case& c : cases) {
    SftpRequest* r = SftpRemoveSend(s, "/x");
    session.Reply(Packet(101, U32(r->id) + U32(c.code) + Str("msg") + Str("en")));
    bool matched;
    SftpPacket* p = SftpAwaitReply(s, r, &matched);
    ASSERT_TRUE(matched);
    EXPECT_EQ(SftpStatusReply(s, p, r), c.code == 0 ? 1 : 0);
    EXPECT_EQ(SftpGetLastError(s), c.error) << c.code;
    EXPECT_EQ(SftpGetResultCode(s), c.reply);
    char text[64];
    EXPECT_EQ(SftpGetResultString(s, text, sizeof text), int32_t(std::strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
  char text[5];
  SftpSetStatus(s, 0);
  EXPECT_EQ(SftpGetResultString(s, text, sizeof text), 4);
  EXPECT_STREQ(text, "Comm");
}

TEST_F(Scripted, AFailedStatReadsAsAMissingFile) {
  SftpRequest* r = SftpStatSend(s, "/x");
  session.Reply(Packet(101, U32(r->id) + U32(3)));
  bool matched;
  SftpPacket* p = SftpAwaitReply(s, r, &matched);
  SftpAttributes a;
  EXPECT_EQ(SftpStatReply(s, p, r, &a), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFileNotFound);
  EXPECT_EQ(SftpGetStatus(s), -1);
}

TEST_F(Scripted, OversizedAndTruncatedPacketsEndCleanly) {
  session.Reply(U32(512001) + "x");
  EXPECT_EQ(SftpReceivePacket(s), nullptr);
  EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidPacketData);
  CheckedFree(s->channelInput.pending);
  s->channelInput = {};
  // A packet cut short: the read waits for the rest and gives up at the time limit.
  session.Reply(U32(100) + "abc");
  EXPECT_EQ(SftpReceivePacket(s), nullptr);
  EXPECT_EQ(SftpGetLastError(s), cvErrorOperationTimeout);
  // Bytes arriving afterwards must not land in the abandoned buffer.
  session.Reply(std::string(200, 'z'));
  EXPECT_EQ(s->channelInput.destination, nullptr);
}

TEST_F(Scripted, AReadOnAnEndedSessionReportsTheConnection) {
  // The connection is gone (no socket): the read fails with a reason, not with 0.
  s->socket = nullptr;
  uint8_t byte;
  EXPECT_EQ(SftpChannelRead(s, &byte, 1), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorConnectionClosed);
  s->lastError = 0;
  SshSetLastError(s, 10054);
  EXPECT_EQ(SftpChannelRead(s, &byte, 1), 0);
  EXPECT_EQ(SftpGetLastError(s), 0x80040000u | 10054) << "the connection's own error is kept";
}

TEST_F(Scripted, AWholeFileOfFourGigabytesIsRefusedForMemory) {
  // REALPATH of the name, then STAT with a size that a 32-bit length cannot carry: a clear
  // error, before anything is opened or allocated.
  session.Reply(Packet(104, U32(256) + U32(1) + Str("/big") + Str("/big") + U32(0)));
  session.Reply(Packet(105, U32(256) + U32(1) + U64((uint64_t(1) << 32) + 1)));
  plat::HGLOBAL block = nullptr;
  uint32_t length = 7;
  EXPECT_EQ(SftpRetrieveData(s, "/big", &block, &length, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorOutOfMemory);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(length, 0u);
}

// Answers every READ of the queue from a scripted file, in reverse order.
void AnswerReads(sftptest::ScriptedSession& session, const std::string& file, size_t from) {
  std::string& sent = sftptest::g_sent;
  std::vector<std::string> replies;
  for (size_t at = from; at + 4 <= sent.size();) {
    uint32_t length = uint32_t(uint8_t(sent[at])) << 24 | uint32_t(uint8_t(sent[at + 1])) << 16 |
                      uint32_t(uint8_t(sent[at + 2])) << 8 | uint8_t(sent[at + 3]);
    std::string body = sent.substr(at + 4, length);
    at += 4 + length;
    if (body[0] != 5) continue;
    uint32_t id = uint32_t(uint8_t(body[1])) << 24 | uint32_t(uint8_t(body[2])) << 16 |
                  uint32_t(uint8_t(body[3])) << 8 | uint8_t(body[4]);
    size_t h = 9 + (uint8_t(body[8]));
    uint64_t offset = 0;
    for (int i = 0; i < 8; ++i) offset = offset << 8 | uint8_t(body[h + size_t(i)]);
    uint32_t want = uint32_t(uint8_t(body[h + 8])) << 24 | uint32_t(uint8_t(body[h + 9])) << 16 |
                    uint32_t(uint8_t(body[h + 10])) << 8 | uint8_t(body[h + 11]);
    if (offset >= file.size())
      replies.push_back(Packet(101, U32(id) + U32(1)));
    else
      replies.push_back(Packet(103, U32(id) + Str(file.substr(size_t(offset), want))));
  }
  for (auto it = replies.rbegin(); it != replies.rend(); ++it) session.Reply(*it);
}

TEST_F(Scripted, DownloadQueueHandsOutFileOrderWhateverTheReplyOrder) {
  std::string file(100000, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = char(i * 7 + i / 256);
  SftpHandle handle{const_cast<char*>("h"), 1};
  SftpTransferQueue* q = SftpDownloadStart(s, &handle, 0);
  EXPECT_EQ(q->outstanding, 1048576u) << "32 reads of 32 KiB";
  AnswerReads(session, file, 0);
  std::string got;
  while (!SftpDownloadDone(q)) {
    ASSERT_GE(SftpDownloadReply(q, SftpReceivePacket(s)), 0);
    uint8_t* block;
    int32_t length;
    while (SftpDownloadData(q, &block, &length)) {
      if (length > 0) got.append(reinterpret_cast<char*>(block), size_t(length));
      CheckedFree(block);
    }
  }
  EXPECT_TRUE(got == file);
  SftpTransferFree(q);
}

TEST_F(Scripted, DataBeyondAnEarlierShortReadFailsTheDownload) {
  SftpHandle handle{const_cast<char*>("h"), 1};
  s->settings.CompatSwitches[8] = 0;  // one 8 KiB read at a time
  SftpTransferQueue* q = SftpDownloadStart(s, &handle, 0);
  session.Reply(Packet(103, U32(256) + Str(std::string(100, 'a'))));
  ASSERT_EQ(SftpDownloadReply(q, SftpReceivePacket(s)), 1);
  uint8_t* block;
  int32_t length;
  ASSERT_EQ(SftpDownloadData(q, &block, &length), 1);
  CheckedFree(block);
  SftpDownloadQueue(q);
  session.Reply(Packet(103, U32(256) + Str(std::string(10, 'b'))));
  EXPECT_EQ(SftpDownloadReply(q, SftpReceivePacket(s)), -1);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFileSizeMismatch);
  SftpTransferFree(q);
}

TEST_F(Scripted, TenThousandBytesComeOutAsOneBlock) {
  SftpHandle handle{const_cast<char*>("h"), 1};
  SftpTransferQueue* q = SftpDownloadStart(s, &handle, 0);
  const std::string file(10000, 'q');
  AnswerReads(session, file, 0);
  int blocks = 0;
  while (!SftpDownloadDone(q)) {
    ASSERT_GE(SftpDownloadReply(q, SftpReceivePacket(s)), 0);
    uint8_t* block;
    int32_t length;
    while (SftpDownloadData(q, &block, &length)) {
      if (length > 0) {
        ++blocks;
        EXPECT_EQ(length, 10000);
      }
      CheckedFree(block);
    }
  }
  EXPECT_EQ(blocks, 1);
  SftpTransferFree(q);
}

TEST_F(Scripted, ListingLinesCarryTheWholeSize) {
  auto** listing = static_cast<SftpNameEntry**>(CheckedAlloc(1, sizeof(SftpNameEntry*)));
  auto* e = static_cast<SftpNameEntry*>(CheckedAlloc(1, sizeof(SftpNameEntry)));
  SftpNameEntry source{const_cast<char*>("big"), const_cast<char*>(""), {}};
  source.attributes = {0xF, 5000000000ull, 1000, 100, 0100644, 0, 86400 * 365};
  SftpCopyNameEntry(e, &source);
  listing[0] = e;
  SftpSetListing(s, listing, 1);
  char line[kSftpListLineSize];
  ASSERT_EQ(SftpFormatListEntry(s, line), 1);
  EXPECT_STREQ(line, "33188 1 1000 100 5000000000 01-01-1971 00:00:00 big");
  EXPECT_EQ(SftpFormatListEntry(s, line), 0);
}

}  // namespace
