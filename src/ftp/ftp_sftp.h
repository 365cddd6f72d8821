#pragma once
// The SFTP forms of the FTP library's operations: each takes the SSH-layer lock where the
// operation needs it, calls the SSH layer's SFTP form and turns its result into the FTP
// library's outcome. A caller finishes an SFTP session's success with the last error 0, as
// the SSH layer's calls leave theirs.
#include <cstdint>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_session.h"
#include "ftp/listing/ftp_file_info.h"
#include "platform/types.h"

struct SftpEventInfo;

namespace cvftp::sftp {

// ---- file transfers ----
Status RetrieveFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept;
Status StoreFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept;
// buffer and *length as FtpRetrieveData takes them (length 0: a block is handed out).
Status RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept;
Status StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept;

// ---- step-by-step transfers ----
Status OpenFile(FtpSession& s, const char* remote, uint32_t mode, uint64_t offset) noexcept;
Status CloseFile(FtpSession& s) noexcept;
// The bytes read; at the end the end-of-data error.
Result<int32_t> ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept;
Result<int32_t> WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept;
// Whether the data is at its end; error: what the SSH layer says of it.
int32_t IsDataEnd(FtpSession& s, uint32_t& error) noexcept;

// ---- listings ----
Status OpenDirectory(FtpSession& s, const char* path) noexcept;
Status CloseDirectory(FtpSession& s) noexcept;
// The next stored entry as a listing line; at the end cvErrorEndOfDirectory.
Status ListLine(FtpSession& s, char* line) noexcept;
Result<int32_t> GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept;

// ---- remote files and directories ----
Status ChangeDirectory(FtpSession& s, const char* path) noexcept;
Status GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept;
Status MakeDirectory(FtpSession& s, const char* path) noexcept;
Status DeleteDirectory(FtpSession& s, const char* path) noexcept;
Status RemoveFile(FtpSession& s, const char* path) noexcept;
Status RenamePath(FtpSession& s, const char* from, const char* to) noexcept;
Status QueryFileSize(FtpSession& s, const char* path, uint64_t* size) noexcept;
Status GetFileTime(FtpSession& s, const char* path, SYSTEMTIME* time, bool local) noexcept;
Status SetFileTime(FtpSession& s, const char* path, const SYSTEMTIME* time) noexcept;
Status QueryFileInfo(FtpSession& s, const char* path, FtpFileInfoEx* info) noexcept;
Status GetFilePermissions(FtpSession& s, const char* path, uint32_t* mode) noexcept;
Status SetFilePermissions(FtpSession& s, const char* path, uint32_t mode) noexcept;

}  // namespace cvftp::sftp

// The SSH layer's events of an SFTP session as FTP library events (registered with the
// SSH session at connect; the parameter is the session's handle).
void FtpOnSftpEvent(SshSession* session, uint32_t event, SftpEventInfo* info, uint32_t handle);
