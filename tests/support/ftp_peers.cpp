#include "support/ftp_peers.h"

#include <pwd.h>
#include <unistd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
AllowOverwrite on
AllowStoreRestart on
AllowRetrieveRestart on
ModulePath /usr/lib/proftpd
LoadModule mod_digest.c
)";

const char* kProxyPart = R"(LoadModule mod_proxy.c
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
local_enable=YES
guest_enable=YES
guest_username={{GUEST}}
local_root={{DIR}}/home
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name={{PAM_SERVICE}}
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_umask=022
utf8_filesystem=YES
xferlog_enable=YES
vsftpd_log_file={{DIR}}/vsftpd.log
)";

const char* kProftpdTls = R"(LoadModule mod_tls.c
TLSEngine on
TLSLog {{DIR}}/tls.log
TLSProtocol TLSv1 TLSv1.1 TLSv1.2
TLSRSACertificateFile {{CERT}}
TLSRSACertificateKeyFile {{CERT}}
TLSRequired {{TLS_REQUIRED}}
TLSRenegotiate none
TLSOptions {{TLS_OPTIONS}}
)";

const char* kProftpdClientCa = R"(TLSVerifyClient on
TLSCACertificateFile {{CLIENT_CA}}
)";

const char* kVsftpdTls = R"(ssl_enable=YES
allow_anon_ssl=YES
rsa_cert_file={{CERT}}
rsa_private_key_file={{CERT}}
ssl_ciphers=HIGH
require_ssl_reuse=YES
implicit_ssl={{IMPLICIT}}
force_anon_logins_ssl={{REQUIRED}}
force_anon_data_ssl={{REQUIRED}}
)";

// vsftpd checks passwords only through PAM services of /etc/pam.d: scripts/fetch-peers.sh
// installs this one for the test login, a virtual user of the "home" folder.
constexpr const char* kVsftpdPamService = "cvtest-vsftpd";

// The system account the servers run anonymous or virtual sessions as.
uid_t FtpUid(gid_t* gid) {
  if (const passwd* pw = getpwnam("ftp")) {
    *gid = pw->pw_gid;
    return pw->pw_uid;
  }
  *gid = 65534;
  return 65534;
}

bool Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

cvpeers::PeerOptions OptionsFor(FtpPeerKind kind, int family, const std::string& method,
                                const std::vector<std::string>& extraArgs, const FtpPeerTls& tls = {},
                                bool checksums = true) {
  cvpeers::PeerOptions o;
  o.family = family;
  switch (kind) {
    case FtpPeerKind::Proftpd:
    case FtpPeerKind::ProftpdProxy:
      o.program = "proftpd";
      o.configName = "proftpd.conf";
      o.configTemplate = std::string(kProftpdBase) + (kind == FtpPeerKind::ProftpdProxy ? kProxyPart : "");
      o.values["METHOD"] = method;
      if (!checksums) o.configTemplate += "DigestEngine off\n";
      if (!tls.certificate.empty()) {
        o.configTemplate += kProftpdTls;
        if (!tls.clientCa.empty()) o.configTemplate += kProftpdClientCa;
        o.values["CERT"] = tls.certificate.string();
        o.values["CLIENT_CA"] = tls.clientCa.string();
        o.values["TLS_REQUIRED"] = tls.required ? "on" : "off";
        o.values["TLS_OPTIONS"] = std::string("EnableDiags") + (tls.implicit ? " UseImplicitSSL" : "");
      }
      o.args = {"-n", "-q", "-c", "{{CONFIG}}"};
      o.logFiles = {"proftpd.log", "tls.log"};
      break;
    case FtpPeerKind::Vsftpd:
      o.program = CachedProgram("vsftpd", "vsftpd");
      o.configName = "vsftpd.conf";
      o.configTemplate = kVsftpd;
      o.values["V4"] = family == AF_INET ? "YES" : "NO";
      o.values["V6"] = family == AF_INET ? "NO" : "YES";
      o.values["LISTEN_KEY"] = family == AF_INET ? "listen_address" : "listen_address6";
      o.values["GUEST"] = getpwnam("ftp") ? "ftp" : "nobody";
      o.values["PAM_SERVICE"] = kVsftpdPamService;
      if (!tls.certificate.empty()) {
        o.configTemplate += kVsftpdTls;
        o.values["CERT"] = tls.certificate.string();
        o.values["IMPLICIT"] = tls.implicit ? "YES" : "NO";
        o.values["REQUIRED"] = tls.required ? "YES" : "NO";
      }
      o.args = {"{{CONFIG}}"};
      o.logFiles = {"vsftpd.log"};
      o.errorsOnStdin = true;  // its start-up failures ("could not bind ...") go to descriptor 0
      break;
    case FtpPeerKind::PureFtpd:
      o.program = CachedProgram("pure-ftpd", "pure-ftpd");
      o.args = {"-S", "{{ADDR}},{{PORT}}", "-E", "-H", "-A", "-l", "puredb:{{DIR}}/pureftpd.pdb"};
      o.args.insert(o.args.end(), extraArgs.begin(), extraArgs.end());
      if (!tls.certificate.empty()) {
        o.args.push_back(tls.required ? "--tls=2" : "--tls=1");
        o.args.push_back("--certfile=" + tls.certificate.string());
      }
      break;
  }
  return o;
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

FtpPeer::FtpPeer(FtpPeerKind kind, int family, std::string proxyMethod, std::vector<std::string> extraArgs)
    : kind_(kind), process_(OptionsFor(kind, family, proxyMethod, extraArgs)) {}

FtpPeer::FtpPeer(FtpPeerKind kind, int family, const FtpPeerTls& tls, bool checksums)
    : kind_(kind), process_(OptionsFor(kind, family, "user@host", {}, tls, checksums)) {}

bool FtpPeer::hasPasswordLogin() const {
  return kind_ != FtpPeerKind::Vsftpd || fs::exists(fs::path("/etc/pam.d") / kVsftpdPamService);
}

fs::path FtpPeer::root() const { return process_.dir() / (kind_ == FtpPeerKind::Vsftpd ? "anon" : "home"); }

fs::path FtpPeer::Put(const std::string& name, const std::string& content) const {
  const fs::path path = root() / name;
  std::ofstream(path, std::ios::binary) << content;
  fs::permissions(path, fs::perms(0666));
  return path;
}

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
      fs::create_directories(dir / "anon" / "upload");
      fs::create_directories(dir / "home");
      fs::permissions(dir / "home", fs::perms(0777));
      // The anonymous root must be reachable and not writable by the anonymous user; its
      // upload folder is.
      fs::permissions(dir, fs::perms(0755));
      fs::permissions(dir / "anon" / "upload", fs::perms(0777));
      fs::permissions(dir / "anon", fs::perms(0755));
      break;
    case FtpPeerKind::PureFtpd: {
      gid_t gid;
      const uid_t uid = FtpUid(&gid);
      fs::create_directories(dir / "home");
      fs::permissions(dir, fs::perms(0755));
      fs::permissions(dir / "home", fs::perms(0777));
      // A virtual user, chrooted to the home folder ("/./"), in the server's own database.
      WriteFile(dir / "pureftpd.passwd", std::string(kFtpPeerUser) + ":" + kPasswordHash + ":" + std::to_string(uid) +
                                             ":" + std::to_string(gid) + "::" + (dir / "home").string() +
                                             "/./::::::::::::\n");
      const std::string pw = std::string(CV_SOURCE_DIR) + "/.cache/peers/pure-ftpd/usr/bin/pure-pw";
      if (fs::exists(pw) &&
          !Run({pw, "mkdb", (dir / "pureftpd.pdb").string(), "-f", (dir / "pureftpd.passwd").string()}))
        return cvpeers::PeerProcess::StartResult::Failed;
      break;
    }
  }
  return process_.Start();
}

}  // namespace cvtest
