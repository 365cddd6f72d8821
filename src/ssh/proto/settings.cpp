// Default connection settings.
#include "ssh/proto/settings.h"

#include <cstring>

namespace {

constexpr const char* kFallbackCommand =
    "test -x /usr/lib/sftp-server && exec /usr/lib/sftp-server\n"
    "test -x /usr/local/lib/sftp-server && exec /usr/local/lib/sftp-server\n"
    "exec sftp-server";

}  // namespace

void SshSettingsSetDefaults(SshSettings* s) {
  std::memset(s, 0, sizeof *s);
  s->Port = 22;
  s->ProxyDns = kProxyDnsAuto;
  s->ProxyPort = 80;
  std::strcpy(s->ProxyCommand, "connect %host %port\\n");
  std::strcpy(s->RemoteCommand, "sftp");
  s->FallbackCommand = kFallbackCommand;
  s->NoPty = 1;
  const uint32_t kex[4] = {3, 2, 1, 0};
  std::memcpy(s->KexOrder, kex, sizeof kex);
  s->RekeyMinutes = 60;
  std::strcpy(s->RekeyData, "1G");
  const uint32_t ciphers[6] = {3, 1, 5, 4, 0, 0};
  std::memcpy(s->CipherOrder, ciphers, sizeof ciphers);
  s->ProtocolPreference = kSshOnly2;
  s->TryKeyboardInteractive = 1;
  s->RemoteCommandIsSubsystem = 1;
  s->X11AuthType = 1;
  const uint32_t compat[10] = {2, 2, 2, 1, 2, 2, 2, 2, 1, 2};
  std::memcpy(s->CompatSwitches, compat, sizeof compat);
}
