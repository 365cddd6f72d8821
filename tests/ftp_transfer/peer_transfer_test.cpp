// Transfers against proftpd, vsftpd and pure-ftpd on 127.0.0.1 and ::1, passive and
// active: files and memory both ways, append, restart offsets, text type, statistics,
// progress, cancel, checksum verification and a forced private passive address.
#include <fcntl.h>

#include <random>

#include "ftp/ftp_session.h"
#include "ftp/ftp_transfer.h"
#include "platform/base/heap.h"
#include "support/ftp_peers.h"
#include "transfer_fixture.h"

namespace xfer {
namespace {

using cvtest::FtpPeer;
using cvtest::FtpPeerKind;

struct PeerCase {
  FtpPeerKind kind;
  int family;
  bool passive;
  const char* name;
};

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char(gen());
  return s;
}

class PeerTransfer : public XferTest, public ::testing::WithParamInterface<PeerCase> {
 protected:
  LibHandle Login(FtpPeer& peer) {
    const uint32_t options = GetParam().passive ? 1u : 0u;
    LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10, options, nullptr);
    EXPECT_NE(h, kNone) << FtpGetLastError() << "\n" << peer.Diagnostics();
    return h;
  }
  static std::string Remote(const FtpPeer& peer, const std::string& name) {
    return peer.uploadDir().empty() ? name : peer.uploadDir() + "/" + name;
  }
};

TEST_P(PeerTransfer, FilesAndMemoryBothWays) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(3u << 20, 7);
  peer.Put("down.bin", data);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);

  // Download to a file, with its statistics.
  const std::string local = Path("down.bin");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "down.bin", 0, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(local), data);
  FtpTransferStatus st{};
  ASSERT_EQ(FtpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.fileSize, data.size());
  EXPECT_EQ(st.bytesCopied, data.size());
  EXPECT_EQ(log.Count(1024), 1);
  EXPECT_GE(log.Count(512), 1);

  // Restart the download at an offset, over a local file cut short (and one longer).
  WriteLocal(local, data.substr(0, 1000000) + "garbage beyond");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "down.bin", 0, 1000000), 0) << LastError();
  EXPECT_EQ(ReadLocal(local), data);
  ASSERT_EQ(FtpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.bytesCopied, data.size());

  // Into memory.
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(FtpRetrieveData(h, "down.bin", &block, &length), 0) << LastError();
  ASSERT_EQ(length, data.size());
  EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), data);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);

  // Upload a file, append to it, restart an upload.
  const std::string up = Remote(peer, "up.bin");
  const std::filesystem::path served = peer.root() / up;
  ASSERT_EQ(FtpStoreFile(h, local.c_str(), up.c_str(), 0, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(served), data);
  const std::string tail = RandomBytes(70000, 9);
  WriteLocal(Path("tail.bin"), tail);
  ASSERT_EQ(FtpStoreFile(h, Path("tail.bin").c_str(), up.c_str(), 1, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(served), data + tail);
  const std::string half = Remote(peer, "half.bin");
  ASSERT_EQ(FtpStoreData(h, half.c_str(), data.data(), 500000), 0) << LastError();
  ASSERT_EQ(FtpStoreFile(h, local.c_str(), half.c_str(), 0, 500000), 0) << LastError();
  EXPECT_EQ(ReadLocal(peer.root() / half), data);
  EXPECT_EQ(log.Count(2048), 3);

  // Straight from the file, as uploads to a server on another host go (to one on this
  // host the file is read here), whole and from a restart offset.
  FtpSession* s = FtpGetSession(h);
  const int file = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  for (const uint64_t from : {uint64_t(0), uint64_t(1234567)}) {
    SCOPED_TRACE(from);
    const std::string direct = Remote(peer, from ? "direct-rest.bin" : "direct.bin");
    if (from) {
      ASSERT_EQ(FtpStoreData(h, direct.c_str(), data.data(), uint32_t(from)), 0) << LastError();
    }
    ASSERT_EQ(FtpOpenFileEx(h, direct.c_str(), cvftp::kDirectionStore, from), 150) << LastError();
    EXPECT_TRUE(cvftp::DataPeerOnThisHost(*s));
    uint64_t at = from;
    for (;;) {
      const auto sent = cvftp::SendFromFile(*s, file, at, 256u << 10);
      ASSERT_TRUE(sent.ok()) << LastError();
      if (sent.value() <= 0) break;
      at += uint64_t(sent.value());
    }
    EXPECT_EQ(at, data.size()) << LastError();
    EXPECT_EQ(FtpCloseFile(h), 226) << LastError();
    EXPECT_EQ(ReadLocal(peer.root() / direct), data);
  }
  close(file);

  // A file the system cannot send from directly (procfs) goes out through reads.
  const std::string proc = Remote(peer, "version.bin");
  ASSERT_EQ(FtpStoreFile(h, "/proc/version", proc.c_str(), 0, 0), 0) << LastError();
  EXPECT_EQ(ReadLocal(peer.root() / proc), ReadLocal("/proc/version"));

  // Upload from memory, then a size comparison of the two.
  const std::string mem = Remote(peer, "mem.bin");
  ASSERT_EQ(FtpStoreData(h, mem.c_str(), tail.data(), uint32_t(tail.size())), 0) << LastError();
  EXPECT_EQ(ReadLocal(peer.root() / mem), tail);
  EXPECT_EQ(FtpVerifyFile(h, Path("tail.bin").c_str(), mem.c_str(), 1), 1) << LastError();
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// Text type: proftpd and pure-ftpd turn line feeds into CR LF on the wire, vsftpd sends
// the file as it is; either way the local file ends its lines as the server's copy does.
TEST_P(PeerTransfer, TextType) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  peer.Put("notes.txt", "alpha\nbeta\ngamma\n");
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  const std::string local = Path("notes.txt");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "notes.txt", 0, 0), 0) << LastError();
  EXPECT_EQ(FtpGetSession(h)->fileType, 1u);  // chosen by the extension
  EXPECT_EQ(ReadLocal(local), "alpha\nbeta\ngamma\n");
  EXPECT_EQ(FtpDisconnect(h), 0);
}

TEST_P(PeerTransfer, CancelThenTheSessionGoesOn) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(40u << 20, 3);
  peer.Put("large.bin", data);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  FtpSession* s = FtpGetSession(h);
  s->notify.eventMask = 0xFFFFFFFF;
  s->notify.callbacks[10] = [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { FtpCancel(handle); };
  EXPECT_EQ(FtpRetrieveFile(h, Path("large.bin").c_str(), "large.bin", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorOperationCanceled);
  s->notify.callbacks[10] = nullptr;
  uint64_t size = 0;
  EXPECT_EQ(FtpQueryFileSize(h, "large.bin", &size), 213) << LastError();
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257);
  // An upload canceled as it starts.
  s->notify.callbacks[11] = [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { FtpCancel(handle); };
  EXPECT_EQ(FtpStoreFile(h, (peer.root() / "large.bin").c_str(), Remote(peer, "up.bin").c_str(), 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorOperationCanceled);
  s->notify.callbacks[11] = nullptr;
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257);
  // And a whole large download afterwards.
  ASSERT_EQ(FtpRetrieveFile(h, Path("large.bin").c_str(), "large.bin", 0, 0), 0) << LastError();
  char mine[33], theirs[33];
  ASSERT_EQ(FtpLocalChecksum(Path("large.bin").c_str(), mine, 4), 1);
  ASSERT_EQ(FtpLocalChecksum((peer.root() / "large.bin").c_str(), theirs, 4), 1);
  EXPECT_STREQ(mine, theirs);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, PeerTransfer,
                         ::testing::Values(PeerCase{FtpPeerKind::Proftpd, AF_INET, true, "proftpd4_passive"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET, false, "proftpd4_active"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET6, true, "proftpd6_passive"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET6, false, "proftpd6_active"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET, true, "vsftpd4_passive"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET, false, "vsftpd4_active"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET6, true, "vsftpd6_passive"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET6, false, "vsftpd6_active"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET, true, "pureftpd4_passive"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET, false, "pureftpd4_active"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET6, true, "pureftpd6_passive"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET6, false, "pureftpd6_active"}),
                         [](const auto& info) { return std::string(info.param.name); });

class PeerSpecial : public XferTest {};

// proftpd with its checksum module answers XMD5 and XCRC.
TEST_F(PeerSpecial, ChecksumVerificationWithProftpd) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(1u << 20, 11);
  peer.Put("sum.bin", data);
  WriteLocal(Path("same.bin"), data);
  WriteLocal(Path("other.bin"), RandomBytes(1u << 20, 12));
  LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10, 1, nullptr);
  ASSERT_NE(h, kNone) << LastError() << peer.Diagnostics();
  const uint32_t features = FtpQueryFeatures(h);
  ASSERT_NE(features & 0x8000u, 0u) << "XMD5 not announced";
  ASSERT_NE(features & 0x4000u, 0u) << "XCRC not announced";
  for (uint32_t method : {4u, 2u, 0u}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(FtpVerifyFile(h, Path("same.bin").c_str(), "sum.bin", method), 1) << LastError();
    EXPECT_EQ(FtpVerifyFile(h, Path("other.bin").c_str(), "sum.bin", method), 0);
    EXPECT_EQ(LastError(), cvErrorFileChecksumMismatch);
  }
  // A verified download.
  ASSERT_EQ(FtpRetrieveFile(h, Path("v.bin").c_str(), "sum.bin", 2, 0), 0) << LastError();
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// A server announcing a private address of another host: the client uses the address of
// the connection instead.
TEST_F(PeerSpecial, ForcedPrivatePassiveAddressIsReplaced) {
  FtpPeer peer(FtpPeerKind::PureFtpd, AF_INET, "user@host", {"-P", "10.11.12.13"});
  CV_START_PEER(peer);
  peer.Put("p.bin", "through the substitute");
  LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10, 1, nullptr);
  ASSERT_NE(h, kNone) << LastError() << peer.Diagnostics();
  char buffer[64];
  uint32_t length = sizeof buffer;
  ASSERT_EQ(FtpRetrieveData(h, "p.bin", buffer, &length), 0) << LastError();
  EXPECT_EQ(std::string(buffer, length), "through the substitute");
  // The server did announce the other address.
  EXPECT_EQ(FtpSendCommand(h, "PASV", nullptr), 227);
  EXPECT_NE(std::string(FtpGetSession(h)->replyText).find("10,11,12,13"), std::string::npos);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

}  // namespace
}  // namespace xfer
