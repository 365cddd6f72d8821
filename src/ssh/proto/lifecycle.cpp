// Creation and release of the session record.
#include "ssh/proto/lifecycle.h"

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/mac.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/net/owner.h"
#include "ssh/proto/auth.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1.h"
#include "ssh/proto/transport.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"
#include "ssh/util/timer_list.h"
#include "ssh/x11/x11.h"

uint32_t SshSessionCreate(SshSession** out, const SshSettings* settings, const char* hostName, int32_t port,
                          char** canonicalName, int32_t keepAlive) {
  auto* s = new SshSession();
  s->settings = *settings;
  s->timeout = settings->TimeoutSeconds;
  s->dataLimit = ParseSizeSuffix(settings->RekeyData);
  BufferChainInit(&s->heldInput);
  *out = s;
  // Taken before the connect so that every freed session releases exactly one reference.
  RandomAcquire();
  // The connection's sockets are the session's: only its own pump watches them.
  cvssh::net::OwnerScope owner(s);
  return SshConnect(s, hostName, port, canonicalName, keepAlive);
}

void SshSessionFree(SshSession* s) {
  if (!s) return;
  if (s->ssh1Cipher) s->ssh1Cipher->destroy(s->ssh1CipherContext);
  if (s->csCipher) s->csCipher->destroy(s->csCipherContext);
  if (s->scCipher) s->scCipher->destroy(s->scCipherContext);
  if (s->csMac) s->csMac->destroy(s->csMacContext);
  if (s->scMac) s->scMac->destroy(s->scMacContext);
  // Both protocol versions reach their compressor through its descriptor.
  if (s->csCompress) s->csCompress->compress_cleanup(s->csCompressContext);
  if (s->scCompress) s->scCompress->decompress_cleanup(s->scCompressContext);
  Ssh2TransportFree(s);
  Ssh1Free(s);
  CheckedFree(s->hostName);
  SshPacketLayerFree(s);
  SshReplyQueueFree(s);
  SshChannelsCloseAll(s);
  SshForwardsFree(s);
  X11FreeAuth(s->x11Auth);
  Ssh2AuthFree(s);
  CheckedFree(s->clientIdent);
  CheckedFree(s->serverIdent);
  CheckedFree(s->ident.line);
  if (s->socket) SshCloseAll(s);
  TimerCancelContext(s);
  SshPingerFree(s->pinger);
  BufferChainClear(&s->heldInput);
  SftpSessionRelease(s);
  delete s;
  RandomRelease();
}
