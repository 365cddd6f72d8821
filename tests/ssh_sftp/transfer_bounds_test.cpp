// Whole-file SFTP transfers against a scripted server that misbehaves: each failure ends
// within twice the session's timeout and a second, and ending the session after it never
// waits a whole timeout for a server that does not close; a file whose reported size is
// 0 still comes with its content.
#include <gtest/gtest.h>

#include <cstring>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "platform/base/heap.h"
#include "platform/base/tick.h"
#include "scripted_server.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/tree234.h"

namespace {

using sftptest::Packet;
using sftptest::Request;
using sftptest::Str;
using sftptest::U32;
using sftptest::U64;

enum class Reads { Serve, Stall, UnknownId };

// A server holding one file: it names paths as given, reports `reportedSize` for STAT,
// opens anything and answers READs as `reads` says. It never closes the session.
struct FileServer {
  std::string content;
  uint64_t reportedSize;
  Reads reads = Reads::Serve;

  std::string operator()(const Request& r) const {
    switch (r.type) {
      case kSftpRealPath: {
        const std::string path = r.fields.substr(4);
        return Packet(kSftpName, U32(r.id) + U32(1) + Str(path) + Str(path) + U32(0));
      }
      case kSftpStat:
        return Packet(kSftpAttrs, U32(r.id) + U32(kSftpAttrSize) + U64(reportedSize));
      case kSftpOpen:
        return Packet(kSftpHandle, U32(r.id) + Str("h"));
      case kSftpClose:
        return Packet(kSftpStatus, U32(r.id) + U32(kSftpOk));
      case kSftpRead: {
        if (reads == Reads::Stall) return "";
        const uint32_t id = reads == Reads::UnknownId ? r.id + 1000 : r.id;
        // Fields: the handle "h" as a string, the offset, the length.
        uint64_t offset = uint64_t(sftptest::ReadU32(r.fields, 5)) << 32 | sftptest::ReadU32(r.fields, 9);
        const uint32_t want = sftptest::ReadU32(r.fields, 13);
        if (offset >= content.size()) return Packet(kSftpStatus, U32(id) + U32(kSftpEof));
        return Packet(kSftpData, U32(id) + Str(content.substr(size_t(offset), want)));
      }
      default:
        return Packet(kSftpStatus, U32(r.id) + U32(kSftpFailure));
    }
  }
};

class TransferBounds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plat::WSADATA data;
    SockStartup(&data);
  }
  static void TearDownTestSuite() { SockCleanup(); }
};

TEST_F(TransferBounds, FailuresEndWithinTwiceTheTimeoutAndTheCloseDoesNotWaitOne) {
  struct Case {
    const char* name;
    Reads reads;
    uint32_t timeout;  // seconds
    int32_t result;
    uint32_t error;
  } cases[] = {
      {"a read that is never answered", Reads::Stall, 2, 0, cvErrorOperationTimeout},
      {"a reply to a request never sent", Reads::UnknownId, 2, 0, cvErrorInvalidPacketId},
      {"a server that never closes the session", Reads::Serve, 10, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sftptest::ScriptedSession session;
    SshSession* s = session.s;
    s->timeout = c.timeout;
    sftptest::g_responder = FileServer{std::string(100000, 'x'), 100000, c.reads};
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    const uint32_t start = plat::GetTickCount();
    EXPECT_EQ(SftpRetrieveData(s, "/file", &block, &length, 0), c.result);
    EXPECT_EQ(SftpGetLastError(s), c.error);
    if (c.result) {
      EXPECT_EQ(length, 100000u);
    }
    plat::GlobalFree(block);
    const uint32_t closing = plat::GetTickCount();
    SftpCloseSession(s);
    session.s = nullptr;
    const uint32_t end = plat::GetTickCount();
    EXPECT_LT(end - closing, 2000u) << "ending the session";
    EXPECT_LE(end - start, c.timeout * 2000u + 1000u) << "the transfer and the close";
  }
}

TEST_F(TransferBounds, AMemoryDownloadReadsPastAReportedSizeToTheEnd) {
  struct Case {
    size_t content;
    uint64_t reported;
    uint32_t limit;
    uint32_t expected;
  } cases[] = {
      {100, 0, 0, 100},            // a file under /proc: size 0, content behind it
      {100000, 0, 0, 100000},      // several reads beyond the reported size
      {100000, 10, 0, 100000},     // the file grew after it was measured
      {100000, 0, 500, 500},       // the caller's own limit still holds
      {100000, 100000, 100, 100},  // a limit below the size, as before
      {0, 0, 0, 0},                // an empty file stays empty
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    SCOPED_TRACE(c.reported);
    sftptest::ScriptedSession session;
    SshSession* s = session.s;
    std::string content(c.content, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 13 + i / 251);
    sftptest::g_responder = FileServer{content, c.reported};
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(SftpRetrieveData(s, "/proc/self/status", &block, &length, c.limit), 1);
    EXPECT_EQ(SftpGetLastError(s), 0u);
    ASSERT_EQ(length, c.expected);
    EXPECT_EQ(plat::GlobalSize(block), (size_t(length) / 4096 + 1) * 4096);
    const auto* bytes = static_cast<const char*>(plat::GlobalLock(block));
    EXPECT_EQ(std::memcmp(bytes, content.data(), length), 0);
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
  }
}

TEST_F(TransferBounds, TheRequestTreeIsTheSessionsAndSettingItFreesTheOldOne) {
  EXPECT_EQ(SftpGetRequestTree(nullptr), nullptr);
  SftpSetRequestTree(nullptr, nullptr);  // no session: nothing happens
  sftptest::ScriptedSession session;
  SshSession* s = session.s;
  EXPECT_EQ(SftpGetRequestTree(s), nullptr);
  SftpRequest* first = SftpAllocRequest(s);
  SftpAllocRequest(s);
  CountedTree* tree = SftpGetRequestTree(s);
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(TreeCount(tree), 2);
  EXPECT_EQ(TreeIndex(tree, 0), first);
  // Setting the same tree keeps it; another replaces it and frees the old one with its
  // requests (the leak checker would see them otherwise).
  SftpSetRequestTree(s, tree);
  EXPECT_EQ(SftpGetRequestTree(s), tree);
  SftpSetRequestTree(s, nullptr);
  EXPECT_EQ(SftpGetRequestTree(s), nullptr);
  EXPECT_EQ(SftpAllocRequest(s)->id, 256u) << "identifiers start again from an empty tree";
}

}  // namespace
