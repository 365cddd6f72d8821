// The SFTP layer against sshd (in-process SFTP and the external server program): connect
// and start, names, listings, remote file operations, whole-file and step-by-step
// transfers of large files with their events, restarts and appends, cancel.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "ftp/listing/ftp_file_info.h"
#include "platform/base/heap.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "sftp_sshd.h"

namespace {

using sftptest::Pattern;
using sftptest::ReadFile;
using sftptest::WriteFile;

struct Recorded {
  uint32_t code;
  uint64_t bytes;
  uint32_t flags;
};
std::vector<Recorded> g_events;

void Record(SshSession*, uint32_t code, SftpEventInfo* info, uint32_t) {
  g_events.push_back({code, info ? info->bytesCopied : 0, info ? info->flags : 0});
}

size_t Count(uint32_t code) {
  size_t n = 0;
  for (const auto& e : g_events) n += e.code == code;
  return n;
}

class SftpPeer : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    SshInitialize();
    g_events.clear();
    server_ = std::make_unique<sftptest::SftpSshd>(
        sftptest::SshdOptions{.externalServer = GetParam(), .authorizedKeys = "", .extraConfig = ""});
    START_SFTP_SSHD(*server_);
    uint32_t error = 1;
    s = SftpConnect(server_->peer().address().c_str(), server_->peer().port(), sftptest::kUser,
                    sftptest::kPassword, 10, 0, nullptr, &error);
    ASSERT_NE(s, nullptr) << std::hex << error << server_->peer().StderrText();
    EXPECT_EQ(error, 0u);
    SftpEnableEvents(s, Record, 7);
    ASSERT_TRUE(SftpChangeDirectory(s, dir().c_str())) << std::hex << SftpGetLastError(s);
  }
  void TearDown() override {
    if (s) {
      EXPECT_EQ(SftpDisconnect(s), 1);
    }
    server_.reset();
    SshUninitialize();
    SockCleanup();
  }
  std::string dir() { return server_->files().path().string(); }
  std::string local(const std::string& name) { return server_->files() / name; }

  std::unique_ptr<sftptest::SftpSshd> server_;
  SshSession* s = nullptr;
};

TEST_P(SftpPeer, StartsInTheHomeDirectoryAndReportsTheConnection) {
  EXPECT_STREQ(SftpHomeDirectory(s), "/tmp");
  EXPECT_EQ(std::string(SftpGetWorkingDirectory(s)), dir());
  EXPECT_EQ(SftpGetResultCode(s), 200);
  SecSessionInfo info{};
  info.size = 100;
  ASSERT_EQ(SftpGetSecurityInfo(s, &info), 1);
  EXPECT_EQ(info.size, 88u);
  EXPECT_EQ(info.protocol, 512u);
  EXPECT_EQ(info.cipher, 64u);
  EXPECT_EQ(info.keyExchange, 4u);
  ASSERT_NE(info.hostKeyFingerprint, nullptr);
  EXPECT_EQ(std::strchr(info.hostKeyFingerprint, ' '), nullptr);
  EXPECT_NE(SftpGetSocket(s), INVALID_SOCKET);
  ASSERT_FALSE(g_events.empty());
  EXPECT_EQ(g_events[0].code, kSftpEventConnected);
}

TEST_P(SftpPeer, RemoteFileAndDirectoryOperations) {
  ASSERT_EQ(SftpMakeDirectory(s, "sub"), 1);
  EXPECT_EQ(SftpMakeDirectory(s, "sub"), 0);
  EXPECT_EQ(SftpGetResultCode(s), 500) << "an existing directory is a server failure";
  WriteFile(local("sub/a.txt"), "hello");
  uint64_t size = 0;
  ASSERT_EQ(SftpQueryFileSize(s, "sub/a.txt", &size), 1);
  EXPECT_EQ(size, 5u);
  ASSERT_EQ(SftpRenamePath(s, "sub/a.txt", "sub/b.txt"), 1);
  EXPECT_EQ(SftpQueryFileSize(s, "sub/a.txt", &size), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFileNotFound);

  ASSERT_EQ(SftpSetFilePermissions(s, "sub/b.txt", 0640), 1);
  uint32_t mode = 0;
  ASSERT_EQ(SftpGetFilePermissions(s, "sub/b.txt", &mode), 1);
  EXPECT_EQ(mode, 0640u);
  SYSTEMTIME when{2021, 3, 0, 14, 15, 9, 26, 0};
  ASSERT_EQ(SftpSetFileTime(s, "sub/b.txt", &when), 1);
  SYSTEMTIME back{};
  ASSERT_EQ(SftpGetFileTime(s, "sub/b.txt", &back, 0), 1);
  EXPECT_EQ(back.wYear, 2021);
  EXPECT_EQ(back.wDay, 14);
  EXPECT_EQ(back.wMinute, 9);
  FtpFileInfoEx info;
  ASSERT_EQ(SftpGetFileStatus(s, "sub", &info), 1);
  EXPECT_EQ(info.directory, 1u);
  EXPECT_EQ(std::string(info.name), dir() + "/sub");

  // A name that does not exist yet resolves through its parent.
  char* resolved = SftpResolvePath(s, "sub/new.txt");
  ASSERT_NE(resolved, nullptr);
  EXPECT_EQ(std::string(resolved), dir() + "/sub/new.txt");
  CheckedFree(resolved);

  ASSERT_EQ(SftpChangeDirectory(s, "sub"), 1);
  EXPECT_EQ(std::string(SftpCurrentDirectory(s)), dir() + "/sub");
  EXPECT_EQ(SftpChangeDirectory(s, "missing"), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorDirectoryNotFound);
  ASSERT_EQ(SftpChangeDirectory(s, ".."), 1);
  EXPECT_EQ(SftpDeleteDirectory(s, "sub"), 0) << "not empty";
  ASSERT_EQ(SftpRemoveFile(s, "sub/b.txt"), 1);
  ASSERT_EQ(SftpDeleteDirectory(s, "sub"), 1);
  ASSERT_EQ(SftpChangeDirectory(s, nullptr), 1);
  EXPECT_STREQ(SftpCurrentDirectory(s), "/tmp");
}

TEST_P(SftpPeer, ListingIsMaskedSortedAndFormatted) {
  for (const char* name : {"b.log", "A.log", "c.txt", "a.log"}) WriteFile(local(name), "x");
  ASSERT_EQ(SftpOpenDirectory(s, (dir() + "/*.log").c_str()), 1);
  uint32_t count = 0, read = 0;
  SftpGetListPosition(s, &count, &read);
  EXPECT_EQ(count, 3u);
  std::vector<std::string> lines;
  char line[kSftpListLineSize];
  while (SftpFormatListEntry(s, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" A.log"), std::string::npos);
  EXPECT_NE(lines[1].find(" a.log"), std::string::npos);
  EXPECT_NE(lines[2].find(" b.log"), std::string::npos);
  EXPECT_EQ(lines[0].substr(0, 6), "33206 ") << "regular file 0666";
  EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidParameter);
  EXPECT_EQ(Count(kSftpEventListStart), 1u);
  EXPECT_EQ(Count(kSftpEventListEnd), 1u);
  SftpCloseDirectory(s);

  char buffer[4096];
  ASSERT_EQ(SftpGetFileList(s, "*.txt", 1, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "c.txt\r\n");
  ASSERT_EQ(SftpGetFileList(s, "*.log", 1, buffer, 8), 1);
  EXPECT_STREQ(buffer, "A.log\r\n") << "only what fits";
}

TEST_P(SftpPeer, LargeFilesBothWaysWithEvents) {
  const std::string data = Pattern(24 * 1024 * 1024 + 123);
  WriteFile(local("big.bin"), data);
  ASSERT_EQ(SftpRetrieveFile(s, local("down.bin").c_str(), "big.bin", 0, 0), 1) << std::hex << SftpGetLastError(s);
  EXPECT_TRUE(ReadFile(local("down.bin")) == data);
  EXPECT_EQ(Count(kSftpEventTransferStart), 1u);
  EXPECT_EQ(Count(kSftpEventTransferEnd), 1u);
  ASSERT_GE(Count(kSftpEventProgress), 2u);
  EXPECT_EQ(g_events.back().bytes, data.size());
  EXPECT_EQ(g_events.back().flags, 1u);

  ASSERT_EQ(SftpStoreFile(s, local("down.bin").c_str(), "up.bin", 0, 0), 1) << std::hex << SftpGetLastError(s);
  EXPECT_TRUE(ReadFile(local("up.bin")) == data);
  EXPECT_EQ(g_events.back().code, kSftpEventTransferEnd);
  EXPECT_EQ(g_events.back().flags, 2u);
}

TEST_P(SftpPeer, MemoryTransfersAndLimits) {
  const std::string data = Pattern(10000);
  ASSERT_EQ(SftpStoreData(s, "m.bin", data.data(), uint32_t(data.size())), 1);
  EXPECT_EQ(ReadFile(local("m.bin")), data);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(SftpRetrieveData(s, "m.bin", &block, &length, 0), 1);
  EXPECT_EQ(length, 10000u);
  EXPECT_EQ(plat::GlobalSize(block), 12288u);
  auto* bytes = static_cast<const char*>(plat::GlobalLock(block));
  EXPECT_EQ(std::string(bytes, length), data);
  EXPECT_EQ(bytes[10000], 0);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);

  ASSERT_EQ(SftpRetrieveData(s, "m.bin", &block, &length, 100), 1);
  EXPECT_EQ(length, 100u);
  plat::GlobalFree(block);
  // The session is still in step after the outstanding reads were drained.
  uint64_t size;
  ASSERT_EQ(SftpQueryFileSize(s, "m.bin", &size), 1);

  ASSERT_EQ(SftpStoreData(s, "empty.bin", "", 0), 1);
  ASSERT_EQ(SftpRetrieveData(s, "empty.bin", &block, &length, 0), 1);
  EXPECT_EQ(length, 0u);
  plat::GlobalFree(block);
  EXPECT_EQ(SftpRetrieveData(s, "missing.bin", &block, &length, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFileNotFound);
  EXPECT_EQ(block, nullptr);
}

TEST_P(SftpPeer, RestartsAndAppends) {
  const std::string data = Pattern(300000);
  WriteFile(local("r.bin"), data);
  // Download restart: the local part is kept and the rest follows.
  WriteFile(local("part.bin"), data.substr(0, 100000));
  ASSERT_EQ(SftpRetrieveFile(s, local("part.bin").c_str(), "r.bin", 0, 100000), 1);
  EXPECT_TRUE(ReadFile(local("part.bin")) == data);
  // Download append: the whole remote file behind the local bytes.
  WriteFile(local("app.bin"), std::string(100, 'x'));
  ASSERT_EQ(SftpRetrieveFile(s, local("app.bin").c_str(), "r.bin", 1, 0), 1);
  EXPECT_TRUE(ReadFile(local("app.bin")) == std::string(100, 'x') + data);
  // Upload restart beyond the remote size continues at the remote size.
  WriteFile(local("remote.bin"), data.substr(0, 600));
  ASSERT_EQ(SftpStoreFile(s, local("r.bin").c_str(), "remote.bin", 0, 1000), 1);
  EXPECT_TRUE(ReadFile(local("remote.bin")) == data);
  EXPECT_EQ(SftpStoreFile(s, local("r.bin").c_str(), "remote.bin", 1, 5), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorInvalidParameter);
  EXPECT_EQ(SftpStoreFile(s, local("none.bin").c_str(), "x.bin", 0, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFileNotFound);
}

TEST_P(SftpPeer, StepByStepTransfers) {
  const std::string data = Pattern(200000, 3);
  ASSERT_EQ(SftpOpenTransfer(s, "step.bin", 1, 0), 1);
  EXPECT_EQ(SftpOpenTransfer(s, "other.bin", 0, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorConnectionOpen);
  char piece[7000];
  EXPECT_EQ(SftpReadData(s, piece, sizeof piece), -1);
  EXPECT_EQ(SftpGetLastError(s), cvErrorDataWriteOnly);
  for (size_t at = 0; at < data.size(); at += 7000) {
    int32_t n = int32_t(std::min<size_t>(7000, data.size() - at));
    ASSERT_EQ(SftpWriteData(s, data.data() + at, n), n);
  }
  ASSERT_EQ(SftpCloseTransfer(s), 1);
  EXPECT_TRUE(ReadFile(local("step.bin")) == data);

  // Append mode on a missing file creates it.
  ASSERT_EQ(SftpOpenTransfer(s, "fresh.bin", 2, 0), 1);
  ASSERT_EQ(SftpWriteData(s, "abc", 3), 3);
  ASSERT_EQ(SftpCloseTransfer(s), 1);
  EXPECT_EQ(ReadFile(local("fresh.bin")), "abc");

  ASSERT_EQ(SftpOpenTransfer(s, "step.bin", 0, 1000), 1);
  std::string got;
  for (;;) {
    int32_t n = SftpReadData(s, piece, sizeof piece);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.append(piece, size_t(n));
  }
  EXPECT_EQ(SftpGetLastError(s), cvErrorEndOfData);
  EXPECT_EQ(SftpIsEndOfData(s), 1);
  ASSERT_EQ(SftpCloseTransfer(s), 1);
  EXPECT_TRUE(got == data.substr(1000));
  EXPECT_EQ(SftpCloseTransfer(s), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorConnectionClosed);
  EXPECT_EQ(SftpOpenTransfer(s, "x", 3, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorFeatureNotSupported);
}

void AbortOnStart(SshSession* session, uint32_t code, SftpEventInfo* info, uint32_t) {
  Record(session, code, info, 0);
  if (code == kSftpEventTransferStart) SftpAbort(session);
}

TEST_P(SftpPeer, CancelDrainsAndLeavesTheSessionUsable) {
  const std::string data = Pattern(16 * 1024 * 1024);
  WriteFile(local("c.bin"), data);
  SftpEnableEvents(s, AbortOnStart, 0);
  EXPECT_EQ(SftpRetrieveFile(s, local("c-down.bin").c_str(), "c.bin", 0, 0), 0);
  EXPECT_EQ(SftpGetLastError(s), cvErrorOperationCanceled);
  EXPECT_EQ(Count(kSftpEventCanceled), 1u);
  EXPECT_EQ(Count(kSftpEventTransferEnd), 1u);
  SftpEnableEvents(s, Record, 0);
  uint64_t size;
  ASSERT_EQ(SftpQueryFileSize(s, "c.bin", &size), 1);
  EXPECT_EQ(size, data.size());
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpPeer, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "External" : "Internal"; });

TEST(SftpConnectPeer, RefusedPasswordAndBadArguments) {
  plat::WSADATA data;
  ASSERT_EQ(SockStartup(&data), 0);
  SshInitialize();
  uint32_t error = 0;
  EXPECT_EQ(SftpConnect("", 22, "u", "p", 5, 0, nullptr, &error), nullptr);
  EXPECT_EQ(error, 11001u);
  SecCredentials credentials{};
  credentials.protocolMask = 0x400;
  EXPECT_EQ(SftpConnect("127.0.0.1", 1, "u", "p", 5, 0, &credentials, &error), nullptr);
  EXPECT_EQ(error, cvErrorInvalidProtocol);

  sftptest::SftpSshd server;
  if (server.Start() == cvpeers::PeerProcess::StartResult::Started) {
    EXPECT_EQ(SftpConnect(server.peer().address().c_str(), server.peer().port(), sftptest::kUser, "wrong", 10, 0,
                          nullptr, &error),
              nullptr);
    EXPECT_NE(error, 0u);
  }
  SshUninitialize();
  SockCleanup();
}

// The layer starts the socket layer it needs itself: no SockStartup of the caller's.
TEST(SftpConnectPeer, InitialisationStartsTheSockets) {
  SshInitialize();
  sftptest::SftpSshd server;
  if (server.Start() == cvpeers::PeerProcess::StartResult::Started) {
    uint32_t error = 1;
    SshSession* s = SftpConnect(server.peer().address().c_str(), server.peer().port(), sftptest::kUser,
                                sftptest::kPassword, 10, 0, nullptr, &error);
    EXPECT_NE(s, nullptr) << std::hex << error;
    if (s) {
      EXPECT_EQ(SftpDisconnect(s), 1);
    }
  }
  SshUninitialize();
}

}  // namespace
