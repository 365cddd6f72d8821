#pragma once
// Logon with a local account of the machine through PAM.

namespace cvftpsrv {

// True when the account database accepts the name and password (authentication and
// account checks).
bool LocalLogon(const char* user, const char* password);

// The PAM service and configuration directory used by LocalLogon (null: "ftp" and the
// system's directory); tests point it at a private service file.
void SetLogonServiceForTesting(const char* service, const char* directory);

}  // namespace cvftpsrv
