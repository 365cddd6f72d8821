// The SFTP client reading these bytes as its server's side of the channel: the version
// handshake, then the replies of a session's operations in turn (real paths, status, names
// and attributes of listings, handles, data). The session has no network: what it sends goes
// nowhere, and when the bytes run out every further read ends at once.
#include <cstring>

#include "fuzz_target.h"
#include "platform/base/heap.h"
#include "ssh/crypto/random_pool.h"
#include "ftp/listing/ftp_file_info.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/settings.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_channel.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"

namespace {

void Operations(SshSession* s) {
  FtpFileInfoEx info{};
  SftpGetFileStatus(s, "file.txt", &info);
  FUZZ_CHECK(std::memchr(info.name, '\0', sizeof info.name));
  uint64_t size = 0;
  SftpQueryFileSize(s, "file.txt", &size);
  SYSTEMTIME time{};
  SftpGetFileTime(s, "file.txt", &time, 0);
  char list[2048];
  SftpGetFileList(s, "*.txt", 1, list, sizeof list);
  if (SftpOpenDirectory(s, "/dir") == 1) {
    char line[1024];
    while (SftpFormatListEntry(s, line) > 0) {
    }
    SftpCloseDirectory(s);
  }
  SftpChangeDirectory(s, "sub");
  // A download's requests one by one, as the transfer queue sends them.
  if (SftpHandle* handle = cvssh::sftp::Open(s, "file.txt", kSftpOpenRead)) {
    bool matched = false;
    SftpRequest* request = SftpReadSend(s, handle, 0, 4096);
    SftpPacket* reply = SftpAwaitReply(s, request, &matched);
    char buffer[4096];
    if (matched) SftpReadReply(s, reply, request, buffer, sizeof buffer);
    cvssh::sftp::Close(s, handle);
  }
}

}  // namespace

CV_FUZZ_TARGET(sftp_reply) {
  static const bool ready = (RandomAcquire(), SshInitialize(), true);
  (void)ready;
  auto* s = new SshSession();
  SshSettingsSetDefaults(&s->settings);
  s->timeout = 1;
  // The whole server side is there before the first read; with no socket, reading past its
  // end ends the session's wait at once instead of after the time-out.
  SftpChannelDeliver(s, 0, data, uint32_t(size));
  if (SftpStart(s)) Operations(s);
  SshSessionFree(s);
}
