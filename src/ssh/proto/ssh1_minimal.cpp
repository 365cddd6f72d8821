// SSH-1 is reached through the version exchange only: its protocol machine is not part
// of this build, so packets of an SSH-1 session are read and dropped.
#include "ssh/proto/input.h"

void Ssh1Protocol(SshSession*, const uint8_t*, int32_t, SshPacket*) {}

void Ssh1DispatchInit(SshSession*) {}
