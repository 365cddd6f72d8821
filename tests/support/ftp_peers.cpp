#include "support/ftp_peers.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace cvtest {

namespace {

namespace fs = std::filesystem;

// A SHA-512 crypt of kFtpPeerPassword.
constexpr const char* kPasswordHash =
    "$6$cvtestsalt$AwFr2k7KxlwqsS.4qscM72KMHcyaKo5GoNzmwXpWQtrBD777xSZKsHee2ovrfnjP0IsfvAmppHRVC3Gb5jk1L1";

std::string CachedProgram(const std::string& package, const std::string& name) {
  return std::string(CV_SOURCE_DIR) + "/.cache/peers/" + package + "/usr/sbin/" + name;
}

const char* kProftpdBase = R"(ServerType standalone
ServerName "cvtest"
DefaultServer on
Port {{PORT}}
DefaultAddress {{ADDR}}
SocketBindTight on
UseIPv6 on
User root
Group root
PidFile {{DIR}}/proftpd.pid
ScoreboardFile {{DIR}}/proftpd.scoreboard
DelayTable none
WtmpLog off
TransferLog none
SystemLog {{DIR}}/proftpd.log
AuthOrder mod_auth_file.c
AuthUserFile {{DIR}}/ftpd.passwd
AuthGroupFile {{DIR}}/ftpd.group
RequireValidShell off
RootLogin on
UseReverseDNS off
UseFtpUsers off
)";

const char* kProxyPart = R"(ModulePath /usr/lib/proftpd
LoadModule mod_proxy.c
ProxyEngine on
ProxyRole forward
ProxyForwardMethod {{METHOD}}
ProxyTables {{DIR}}/proxy-tables
<Class loopback>
  From 127.0.0.0/8
  From ::1
  ProxyForwardEnabled on
</Class>
)";

const char* kVsftpd = R"(listen={{V4}}
listen_ipv6={{V6}}
{{LISTEN_KEY}}={{ADDR}}
listen_port={{PORT}}
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir={{DIR}}/empty
anonymous_enable=YES
no_anon_password=YES
anon_root={{DIR}}/anon
local_enable=NO
write_enable=NO
utf8_filesystem=YES
xferlog_enable=NO
)";

cvpeers::PeerOptions OptionsFor(FtpPeerKind kind, int family, const std::string& method) {
  cvpeers::PeerOptions o;
  o.family = family;
  switch (kind) {
    case FtpPeerKind::Proftpd:
    case FtpPeerKind::ProftpdProxy:
      o.program = "proftpd";
      o.configName = "proftpd.conf";
      o.configTemplate = std::string(kProftpdBase) + (kind == FtpPeerKind::ProftpdProxy ? kProxyPart : "");
      o.values["METHOD"] = method;
      o.args = {"-n", "-q", "-c", "{{CONFIG}}"};
      break;
    case FtpPeerKind::Vsftpd:
      o.program = CachedProgram("vsftpd", "vsftpd");
      o.configName = "vsftpd.conf";
      o.configTemplate = kVsftpd;
      o.values["V4"] = family == AF_INET ? "YES" : "NO";
      o.values["V6"] = family == AF_INET ? "NO" : "YES";
      o.values["LISTEN_KEY"] = family == AF_INET ? "listen_address" : "listen_address6";
      o.args = {"{{CONFIG}}"};
      break;
    case FtpPeerKind::PureFtpd:
      o.program = CachedProgram("pure-ftpd", "pure-ftpd");
      o.args = {"-S", "{{ADDR}},{{PORT}}", "-e", "-H", "-A"};
      break;
  }
  return o;
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

FtpPeer::FtpPeer(FtpPeerKind kind, int family, std::string proxyMethod)
    : kind_(kind), process_(OptionsFor(kind, family, proxyMethod)) {}

cvpeers::PeerProcess::StartResult FtpPeer::Start() {
  const fs::path dir = process_.dir();
  switch (kind_) {
    case FtpPeerKind::Proftpd:
    case FtpPeerKind::ProftpdProxy:
      fs::create_directories(dir / "home");
      fs::create_directories(dir / "proxy-tables");
      WriteFile(dir / "ftpd.passwd",
                std::string(kFtpPeerUser) + ":" + kPasswordHash + ":0:0::" + (dir / "home").string() + ":/bin/sh\n");
      WriteFile(dir / "ftpd.group", "root:x:0:\n");
      fs::permissions(dir / "ftpd.passwd", fs::perms(0600));
      break;
    case FtpPeerKind::Vsftpd:
      fs::create_directories(dir / "empty");
      fs::create_directories(dir / "anon");
      // The anonymous root must be reachable and not writable by the anonymous user.
      fs::permissions(dir, fs::perms(0755));
      fs::permissions(dir / "anon", fs::perms(0555));
      break;
    case FtpPeerKind::PureFtpd:
      break;
  }
  return process_.Start();
}

}  // namespace cvtest
