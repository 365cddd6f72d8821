// Local account logon through PAM. Each logon has its own PAM handle, so logons run side
// by side: one that takes long (a slow account database, a client's wrong passwords) holds
// up no other.
#include "ftpsrv/local_logon.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace cvftpsrv {

namespace {

struct LogonSettings {
  std::mutex lock;
  std::string service = "ftp";
  std::string directory;
};

LogonSettings& Settings() {
  static LogonSettings settings;
  return settings;
}

int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* out = static_cast<pam_response*>(std::calloc(size_t(count), sizeof(pam_response)));
  if (!out) return PAM_BUF_ERR;
  const char* password = static_cast<const char*>(data);
  for (int i = 0; i < count; ++i) {
    const int style = messages[i]->msg_style;
    if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) out[i].resp = ::strdup(password);
  }
  *responses = out;
  return PAM_SUCCESS;
}

// The servers pause after a failed login themselves: PAM's own delay would come on top.
void NoFailDelay(int, unsigned, void*) {}

// Accounts with the superuser's uid, whatever their name, never log in over the network.
bool IsSuperuser(const char* user) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  return ::getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_uid == 0;
}

}  // namespace

bool LocalLogon(const char* user, const char* password) {
  if (!user || !*user || !password) return false;
  if (IsSuperuser(user)) return false;
  std::string service, directory;
  {
    LogonSettings& s = Settings();
    std::lock_guard lk(s.lock);
    service = s.service;
    directory = s.directory;
  }
  pam_conv conversation{Converse, const_cast<char*>(password)};
  pam_handle_t* handle = nullptr;
  if (pam_start_confdir(service.c_str(), user, &conversation, directory.empty() ? nullptr : directory.c_str(),
                        &handle) != PAM_SUCCESS)
    return false;
  pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
  int rc = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT);
  pam_end(handle, rc);
  return rc == PAM_SUCCESS;
}

void SetLogonServiceForTesting(const char* service, const char* directory) {
  LogonSettings& s = Settings();
  std::lock_guard lk(s.lock);
  s.service = service ? service : "ftp";
  s.directory = directory ? directory : "";
}

}  // namespace cvftpsrv
