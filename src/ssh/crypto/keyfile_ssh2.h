// Internal to the key-file readers.
#pragma once

#include <string>

#include "ssh/crypto/rsa.h"

namespace sshkeyfile {
// The descriptor whose ssh_name equals `name` ("ssh-rsa" or "ssh-dss"), else null.
const SshHostKeyDesc* Ssh2Algorithm(const std::string& name);
}  // namespace sshkeyfile
