// Listings, remote file operations and multiple-file transfers against proftpd, vsftpd
// and pure-ftpd on 127.0.0.1 and ::1.
#include <sys/time.h>

#include <map>
#include <set>

#include "ftp_transfer/transfer_fixture.h"
#include "support/ftp_peers.h"

namespace {

using namespace xfer;
using cvtest::FtpPeer;
using cvtest::FtpPeerKind;

using cvftp::kFeatureMlst;

struct PeerCase {
  FtpPeerKind kind;
  int family;
  bool passive;
  const char* name;
};

struct Seen {
  uint32_t directory;
  uint64_t size;
};

class PeerListing : public XferTest, public ::testing::WithParamInterface<PeerCase> {
 protected:
  LibHandle Login(FtpPeer& peer) {
    LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10,
                             GetParam().passive ? 1u : 0u, nullptr);
    EXPECT_NE(h, kNone) << FtpGetLastError() << "\n" << peer.Diagnostics();
    return h;
  }
  // Every entry of a listing of the current directory, without "." and "..".
  static std::map<std::string, Seen> List(LibHandle h) {
    std::map<std::string, Seen> seen;
    const int32_t opened = FtpOpenDirectory(h, nullptr);
    EXPECT_TRUE(opened == 125 || opened == 150) << opened << " " << FtpGetLastError();
    FtpFileInfoEx info;
    for (int32_t r = FtpReadFirstEntryEx(h, &info); r == 1; r = FtpReadNextEntryEx(h, &info))
      if (std::string(info.name) != "." && std::string(info.name) != "..") seen[info.name] = {info.directory, info.size};
    EXPECT_EQ(FtpGetLastError(), cvErrorEndOfDirectory);
    EXPECT_EQ(FtpCloseDirectory(h), 226) << FtpGetLastError();
    return seen;
  }
  static void SetTime(const std::filesystem::path& path, time_t when) {
    const timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
  }
};

TEST_P(PeerListing, ListingsShowTheServersFiles) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  peer.Put("a  b.txt", "hello");
  SetTime(peer.Put("big.bin", std::string(123456, 'x')), 1583229600);  // 2020-03-03 10:00:00 UTC
  std::filesystem::create_directories(peer.root() / "sub dir");
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  const bool mlst = (FtpGetFeatures(h) & kFeatureMlst) != 0;

  const std::map<std::string, Seen> listed = List(h);
  EXPECT_EQ(FtpGetDirectoryFormat(h), mlst ? 7 : 1);
  ASSERT_TRUE(listed.count("a  b.txt")) << "names kept with their inner blanks";
  EXPECT_EQ(listed.at("a  b.txt").size, 5u);
  EXPECT_EQ(listed.at("a  b.txt").directory, 0u);
  ASSERT_TRUE(listed.count("big.bin"));
  EXPECT_EQ(listed.at("big.bin").size, 123456u);
  ASSERT_TRUE(listed.count("sub dir"));
  EXPECT_EQ(listed.at("sub dir").directory, 1u);
  if (mlst) {
    // The same directory in the server's LIST form.
    ASSERT_EQ(FtpSetDirectoryFormat(h, 0), 0);
    FtpGetSession(h)->features &= ~kFeatureMlst;
    const std::map<std::string, Seen> lines = List(h);
    EXPECT_EQ(FtpGetDirectoryFormat(h), 1);
    ASSERT_EQ(lines.size(), listed.size());
    for (const auto& [name, seen] : listed) {
      ASSERT_TRUE(lines.count(name)) << name;
      EXPECT_EQ(lines.at(name).directory, seen.directory) << name;
      if (!seen.directory) {
        EXPECT_EQ(lines.at(name).size, seen.size) << name;
      }
    }
    FtpGetSession(h)->features |= kFeatureMlst;
  }

  // The names alone.
  char text[4096];
  ASSERT_GT(FtpGetFileList(h, nullptr, 1, text, sizeof text), 0) << LastError();
  std::set<std::string> names;
  for (std::string all = text; !all.empty();) {
    const size_t end = all.find("\r\n");
    names.insert(all.substr(0, end));
    all.erase(0, end == std::string::npos ? all.size() : end + 2);
  }
  for (const char* n : {"a  b.txt", "big.bin", "sub dir"}) EXPECT_TRUE(names.count(n)) << n << "\n" << text;

  // One file's status and time.
  FtpFileInfoEx info;
  ASSERT_EQ(FtpQueryFileInfo(h, "big.bin", &info), 1) << LastError();
  EXPECT_EQ(info.size, 123456u);
  EXPECT_EQ(info.directory, 0u);
  SYSTEMTIME t{};
  ASSERT_EQ(FtpGetFileTime(h, "big.bin", &t, 0), 213) << LastError();
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute}), std::vector<int>({2020, 3, 3, 10, 0}));

  // Into the subdirectory and back.
  char before[512], inside[512];
  ASSERT_EQ(FtpGetWorkingDirectory(h, before, sizeof before), 257);
  ASSERT_EQ(FtpChangeDirectory(h, "sub dir/"), 250) << LastError();
  ASSERT_EQ(FtpGetWorkingDirectory(h, inside, sizeof inside), 257);
  EXPECT_TRUE(std::string(inside).ends_with("/sub dir")) << inside;
  EXPECT_STREQ(FtpGetSession(h)->currentDirectory, inside);
  EXPECT_EQ(FtpChangeDirectory(h, before), 250);
  EXPECT_EQ(FtpChangeDirectory(h, "no such dir"), -1);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

TEST_P(PeerListing, RemoteFileOperations) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  if (!peer.uploadDir().empty()) {
    ASSERT_EQ(FtpChangeDirectory(h, peer.uploadDir().c_str()), 250) << LastError();
  }
  ASSERT_EQ(FtpStoreData(h, "f.txt", "hello", 5), 0) << LastError();
  EXPECT_EQ(FtpRenamePath(h, "f.txt", "g.txt"), 250) << LastError();
  EXPECT_EQ(FtpRenamePath(h, "f.txt", "h.txt"), -1);
  const SYSTEMTIME when{2021, 5, 4, 6, 7, 8, 9, 0};
  int32_t set = FtpSetFileTime(h, "g.txt", &when);
  EXPECT_TRUE(set >= 200 && set <= 299) << set << " " << LastError();
  SYSTEMTIME t{};
  ASSERT_EQ(FtpGetFileTime(h, "g.txt", &t, 0), 213) << LastError();
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}),
            std::vector<int>({2021, 5, 6, 7, 8, 9}));
  uint64_t size = 0;
  EXPECT_EQ(FtpQueryFileSize(h, "g.txt", &size), 213);
  EXPECT_EQ(size, 5u);
  if (GetParam().kind != FtpPeerKind::Vsftpd) {  // anonymous logins may not change modes
    EXPECT_EQ(FtpSetFilePermissions(h, "g.txt", 0604), 200) << LastError();
    uint32_t mode = 0;
    EXPECT_GT(FtpGetFilePermissions(h, "g.txt", &mode), 0) << LastError();
    EXPECT_EQ(mode & 0777, 0604u);
    EXPECT_EQ(FtpMakeDirectory(h, "made"), 257) << LastError();
    EXPECT_EQ(FtpMakeDirectory(h, "made"), -1);
    FtpFileInfoEx info;
    ASSERT_EQ(FtpQueryFileInfo(h, "made", &info), 1) << LastError();
    EXPECT_EQ(info.directory, 1u);
    EXPECT_EQ(FtpDeleteDirectory(h, "made"), 250) << LastError();
    EXPECT_EQ(FtpDeleteDirectory(h, "made"), -1);
  }
  EXPECT_EQ(FtpRemoveFile(h, "g.txt"), 250) << LastError();
  EXPECT_EQ(FtpRemoveFile(h, "g.txt"), -1);
  FtpFileInfoEx info;
  EXPECT_EQ(FtpQueryFileInfo(h, "g.txt", &info), 0);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

TEST_P(PeerListing, ManyFilesBothWays) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  peer.Put("m1.dat", "first\r\n");  // binary names: the bytes travel unchanged
  peer.Put("m2.bin", std::string(70000, '\x7f'));
  std::filesystem::create_directories(peer.root() / "msub");
  const std::string down = Path("down"), up = Path("up");
  std::filesystem::create_directories(down);
  std::filesystem::create_directories(up + "/skipped dir");
  WriteLocal(up + "/u1.dat", "one\x01\r\n");  // not text: sent in image type
  WriteLocal(up + "/u2", std::string(9000, '\0'));
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  char before[512];
  ASSERT_EQ(FtpGetWorkingDirectory(h, before, sizeof before), 257);

  ASSERT_EQ(FtpRetrieveMultipleFiles(h, down.c_str(), nullptr, nullptr), 0) << LastError();
  EXPECT_EQ(ReadLocal(down + "/m1.dat"), "first\r\n");
  EXPECT_EQ(ReadLocal(down + "/m2.bin"), std::string(70000, '\x7f'));
  EXPECT_FALSE(std::filesystem::exists(down + "/msub"));

  // A folder the login may write to.
  const std::string remote = peer.uploadDir().empty() ? "mup" : peer.uploadDir();
  if (peer.uploadDir().empty()) {
    ASSERT_EQ(FtpMakeDirectory(h, remote.c_str()), 257) << LastError();
  }
  ASSERT_EQ(FtpStoreMultipleFiles(h, up.c_str(), remote.c_str(), nullptr), 0) << LastError();
  char after[512];
  ASSERT_EQ(FtpGetWorkingDirectory(h, after, sizeof after), 257);
  EXPECT_STREQ(after, before);
  EXPECT_EQ(ReadLocal((peer.root() / remote / "u1.dat").string()), "one\x01\r\n");
  EXPECT_EQ(ReadLocal((peer.root() / remote / "u2").string()), std::string(9000, '\0'));
  EXPECT_FALSE(std::filesystem::exists(peer.root() / remote / "skipped dir"));
  EXPECT_EQ(FtpDisconnect(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, PeerListing,
                         ::testing::Values(PeerCase{FtpPeerKind::Proftpd, AF_INET, true, "proftpd4"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET6, true, "proftpd6"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET, false, "proftpd4active"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET, true, "vsftpd4"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET6, true, "vsftpd6"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET, true, "pureftpd4"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET6, false, "pureftpd6active"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
