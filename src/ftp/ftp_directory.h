#pragma once
// Directory listings and remote file operations on a validated session: what the public
// functions, the multiple-file transfers and the file queries share.
#include <cstdint>

#include "ftp/ftp_bits.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_session.h"
#include "ftp/listing/ftp_file_info.h"

namespace cvftp {

// A listing line holds at most this many bytes (the line buffer keeps one for its end).
inline constexpr uint32_t kListLineSize = 2048;

// The entry list of the session's last listing, kept behind FtpSession::listingEntries
// in the session heap. The cursor is the next entry to hand out; null once the reader has
// passed the last entry read so far.
struct ListState {
  FtpListEntry* head;
  FtpListEntry* tail;
  FtpListEntry* cursor;
};

inline bool IsSftpSession(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

// The entry list, created on first use (cvErrorOutOfMemory when the heap fails).
Result<ListState*> Entries(FtpSession& s) noexcept;
// Frees every entry and resets the line buffer; both under the library lock.
void ClearEntries(FtpSession& s) noexcept;
void AppendEntry(FtpSession& s, FtpListEntry* entry) noexcept;
// Takes the entries read so far out of the list (the caller frees them with FreeEntry);
// the line buffer keeps a line in progress.
FtpListEntry* TakeEntries(FtpSession& s) noexcept;

// One line into a new entry of the session heap. cvErrorUnknownDirectoryFormat (or
// cvErrorOutOfMemory) when it does not parse; null when it is a VMS name whose details
// follow.
Result<FtpListEntry*> ParseListLine(FtpSession& s, const char* line) noexcept;
void FreeEntry(FtpSession& s, FtpListEntry* entry) noexcept;

// The listing operations (see the public functions of the same names): the reply codes
// (0 for SFTP).
Result<int32_t> OpenDirectory(FtpSession& s, const char* path) noexcept;
Result<int32_t> OpenFileList(FtpSession& s, const char* path, uint32_t listType) noexcept;
Status ReadListLine(FtpSession& s, uint32_t* done) noexcept;
Result<int32_t> CloseDirectory(FtpSession& s) noexcept;

// Remote files and directories.
Result<int32_t> ChangeDirectory(FtpSession& s, const char* path) noexcept;
Result<int32_t> GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept;
Status QueryFileInfo(FtpSession& s, const char* name, FtpFileInfoEx* info) noexcept;

// A reply from 500 to 504: the server does not implement the command.
inline bool NotImplemented(const FtpSession& s) noexcept { return s.replyCode >= 500 && s.replyCode <= 504; }

}  // namespace cvftp
