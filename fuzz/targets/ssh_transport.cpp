// An SSH client session receiving these bytes from its server, in pieces of varying size:
// banner lines and the identification line, the choice of protocol, then packet framing,
// KEXINIT negotiation and the key exchange replies (host key blobs, signatures, DH values).
// What the client writes goes nowhere; nothing touches a network.
#include <string>

#include "fuzz_target.h"
#include "ssh_proto/ssh_test_util.h"
#include "ssh_sftp/scripted_server.h"

CV_FUZZ_TARGET(ssh_transport) {
  cvfuzz::Input in(data, size);
  const uint8_t how = in.Byte();
  const size_t piece = 1 + (how & 0x3F) * 7;  // 1 to 442 bytes per delivery

  sftptest::NullSocket socket;
  SshSession* s = sshtest::NewOfflineSession(&socket);
  s->settings.ProtocolPreference = how >> 6;  // SSH-1 only, SSH-1 first, SSH-2 first, SSH-2 only
  const std::string_view stream = in.Rest();
  for (size_t at = 0; at < stream.size() && s->socket; at += piece) {
    const std::string_view chunk = stream.substr(at, piece);
    SshOnReceive(s, 0, reinterpret_cast<const uint8_t*>(chunk.data()), int32_t(chunk.size()));
  }
  s->socket = nullptr;
  SshSessionFree(s);
}
