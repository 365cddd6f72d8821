// The FTP library's operations on SFTP sessions against sshd: connect by URL and by port,
// transfers to files and memory with progress and statistics, restart, listings and
// remote file operations, step-by-step transfers, cancel.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "ftp/ftp.h"
#include "platform/base/heap.h"
#include "sftp_sshd.h"

namespace {

using sftptest::Pattern;
using sftptest::ReadFile;
using sftptest::WriteFile;

std::vector<uint32_t> g_progress;

void OnProgress(LibHandle, uint32_t event, uint32_t, uintptr_t) { g_progress.push_back(event); }

class FtpSftp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(FtpAttach(nullptr), 1);
    g_progress.clear();
    START_SFTP_SSHD(server_);
    const std::string url = "sftp://" + server_.peer().address() + ":" + std::to_string(server_.peer().port());
    h = FtpConnect(url.c_str(), 0, sftptest::kUser, sftptest::kPassword, 10, 0, nullptr);
    ASSERT_NE(h, kInvalidLibHandle) << std::hex << FtpGetLastError() << server_.peer().StderrText();
    ASSERT_EQ(FtpChangeDirectory(h, dir().c_str()), 0);
  }
  void TearDown() override {
    if (h != kInvalidLibHandle) FtpDisconnect(h);
    FtpDetach();
  }
  std::string dir() { return server_.files().path().string(); }
  std::string local(const std::string& name) { return server_.files() / name; }

  sftptest::SftpSshd server_;
  LibHandle h = kInvalidLibHandle;
};

TEST_F(FtpSftp, FileTransfersWithProgressAndStatistics) {
  const std::string data = Pattern(12 * 1024 * 1024 + 7);
  WriteFile(local("big.bin"), data);
  ASSERT_EQ(FtpSetProgressCallback(h, OnProgress, 0), 0);
  ASSERT_EQ(FtpRetrieveFile(h, local("got.bin").c_str(), "big.bin", 0, 0), 0) << std::hex << FtpGetLastError();
  EXPECT_TRUE(ReadFile(local("got.bin")) == data);
  EXPECT_GE(g_progress.size(), 2u);
  FtpTransferStatus status{};
  ASSERT_EQ(FtpGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.bytesCopied, data.size());
  EXPECT_EQ(status.fileSize, data.size());
  EXPECT_EQ(std::string(status.remoteFile), dir() + "/big.bin");

  ASSERT_EQ(FtpStoreFile(h, local("got.bin").c_str(), "sent.bin", 0, 0), 0);
  EXPECT_TRUE(ReadFile(local("sent.bin")) == data);
  // Restart of a download from the local file's size.
  WriteFile(local("half.bin"), data.substr(0, 5000000));
  ASSERT_EQ(FtpRetrieveFile(h, local("half.bin").c_str(), "big.bin", 0, 5000000), 0);
  EXPECT_TRUE(ReadFile(local("half.bin")) == data);
  EXPECT_EQ(FtpRetrieveFile(h, local("x.bin").c_str(), "missing.bin", 0, 0), -1);
  EXPECT_EQ(FtpGetLastError(), cvErrorFileNotFound);
}

TEST_F(FtpSftp, MemoryTransfers) {
  const std::string data = Pattern(70000);
  ASSERT_EQ(FtpStoreData(h, "mem.bin", data.data(), uint32_t(data.size())), 0);
  uint32_t length = 0;
  plat::HGLOBAL block = nullptr;
  ASSERT_EQ(FtpRetrieveData(h, "mem.bin", &block, &length), 0);
  ASSERT_EQ(length, data.size());
  EXPECT_EQ(std::memcmp(plat::GlobalLock(block), data.data(), length), 0);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  char small[100];
  length = sizeof small;
  ASSERT_EQ(FtpRetrieveData(h, "mem.bin", small, &length), 0);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(std::memcmp(small, data.data(), 100), 0);
}

TEST_F(FtpSftp, ListingAndRemoteFiles) {
  ASSERT_EQ(FtpMakeDirectory(h, "d"), 0);
  WriteFile(local("d/one.txt"), "1");
  WriteFile(local("d/two.txt"), "22");
  WriteFile(local("d/skip.dat"), "333");
  ASSERT_EQ(FtpOpenDirectory(h, "d/*.txt"), 0) << std::hex << FtpGetLastError();
  FtpFileInfoEx info{};
  std::vector<std::string> names;
  for (int32_t r = FtpReadFirstEntryEx(h, &info); r; r = FtpReadNextEntryEx(h, &info)) {
    names.push_back(info.name);
    if (names.back() == "two.txt") {
      EXPECT_EQ(info.size, 2u);
    }
  }
  EXPECT_EQ(FtpGetLastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(names, (std::vector<std::string>{"one.txt", "two.txt"}));
  EXPECT_EQ(FtpCloseDirectory(h), 0);

  ASSERT_EQ(FtpRenamePath(h, "d/one.txt", "d/uno.txt"), 0);
  ASSERT_EQ(FtpQueryFileInfo(h, "d/uno.txt", &info), 1);
  EXPECT_EQ(info.size, 1u);
  ASSERT_EQ(FtpChangeDirectory(h, "d"), 0);
  char cwd[1024];
  ASSERT_EQ(FtpGetWorkingDirectory(h, cwd, sizeof cwd), 0);
  EXPECT_EQ(std::string(cwd), dir() + "/d");
  for (const char* name : {"uno.txt", "two.txt", "skip.dat"}) EXPECT_EQ(FtpRemoveFile(h, name), 0);
  ASSERT_EQ(FtpChangeDirectory(h, ".."), 0);
  ASSERT_EQ(FtpDeleteDirectory(h, "d"), 0);
  EXPECT_EQ(FtpDeleteDirectory(h, "d"), -1);
  EXPECT_EQ(FtpGetLastError(), cvErrorFileNotFound);
}

TEST_F(FtpSftp, AMissingDirectoryIsAnErrorNotAnEmptyListing) {
  EXPECT_EQ(FtpOpenDirectory(h, "/no/such/dir/*"), -1);
  EXPECT_EQ(FtpGetLastError(), cvErrorFileNotFound);
  EXPECT_EQ(FtpOpenDirectory(h, "/no/such/dir"), -1);
  EXPECT_EQ(FtpGetLastError(), cvErrorFileNotFound);
}

TEST_F(FtpSftp, StepByStepTransfer) {
  ASSERT_EQ(FtpOpenFile(h, "step.txt", 1), 0);
  ASSERT_EQ(FtpWriteData(h, "hello ", 6), 6);
  ASSERT_EQ(FtpWriteData(h, "world", 5), 5);
  ASSERT_EQ(FtpCloseFile(h), 0);
  ASSERT_EQ(FtpOpenFileEx(h, "step.txt", 0, 6), 0);
  char buffer[64];
  int32_t n = FtpReadData(h, buffer, sizeof buffer);
  ASSERT_EQ(n, 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(FtpReadData(h, buffer, sizeof buffer), 0);
  EXPECT_EQ(FtpIsDataEnd(h), 1);
  EXPECT_EQ(FtpCloseFile(h), 0);
}

TEST_F(FtpSftp, SecurityInformationAndResultCodes) {
  SecSessionInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(FtpGetSecurityInfo(h, &info), 1);
  EXPECT_EQ(info.protocol, 512u);
  EXPECT_NE(info.hostKeyFingerprint, nullptr);
  char text[64];
  EXPECT_GT(FtpGetResultString(h, text, sizeof text), 0);
}

TEST(FtpSftpConnect, PortTwentyTwoAndMissingUser) {
  ASSERT_GE(FtpAttach(nullptr), 1);
  EXPECT_EQ(FtpConnect("127.0.0.1", 22, nullptr, "x", 5, 0, nullptr), kInvalidLibHandle);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidUserName);
  FtpDetach();
}

}  // namespace
