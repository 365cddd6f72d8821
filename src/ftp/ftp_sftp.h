#pragma once
// The SFTP forms of the FTP library's operations: each takes the SSH-layer lock where the
// operation needs it, calls the SSH layer's SFTP form and turns its result into the FTP
// library's (0 or the operation's success value, -1 with the library's last error).
#include <cstdint>

#include "ftp/ftp_session.h"
#include "ftp/listing/ftp_file_info.h"
#include "platform/types.h"

struct SftpEventInfo;

namespace cvftp::sftp {

// ---- file transfers ----
int32_t RetrieveFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept;
int32_t StoreFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept;
// buffer and *length as FtpRetrieveData takes them (length 0: a block is handed out).
int32_t RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept;
int32_t StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept;

// ---- step-by-step transfers ----
int32_t OpenFile(FtpSession& s, const char* remote, uint32_t mode, uint64_t offset) noexcept;
int32_t CloseFile(FtpSession& s) noexcept;
int32_t ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept;
int32_t WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept;
int32_t IsDataEnd(FtpSession& s) noexcept;

// ---- listings ----
int32_t OpenDirectory(FtpSession& s, const char* path) noexcept;
int32_t CloseDirectory(FtpSession& s) noexcept;
// The next stored entry as a listing line; 0 with the error (at the end:
// cvErrorEndOfDirectory).
int32_t ListLine(FtpSession& s, char* line) noexcept;
int32_t GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept;

// ---- remote files and directories ----
int32_t ChangeDirectory(FtpSession& s, const char* path) noexcept;
int32_t GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept;
int32_t MakeDirectory(FtpSession& s, const char* path) noexcept;
int32_t DeleteDirectory(FtpSession& s, const char* path) noexcept;
int32_t RemoveFile(FtpSession& s, const char* path) noexcept;
int32_t RenamePath(FtpSession& s, const char* from, const char* to) noexcept;
int32_t QueryFileSize(FtpSession& s, const char* path, uint64_t* size) noexcept;
int32_t GetFileTime(FtpSession& s, const char* path, SYSTEMTIME* time, bool local) noexcept;
int32_t SetFileTime(FtpSession& s, const char* path, const SYSTEMTIME* time) noexcept;
// 1, or 0 with the error.
int32_t QueryFileInfo(FtpSession& s, const char* path, FtpFileInfoEx* info) noexcept;
int32_t GetFilePermissions(FtpSession& s, const char* path, uint32_t* mode) noexcept;
int32_t SetFilePermissions(FtpSession& s, const char* path, uint32_t mode) noexcept;

}  // namespace cvftp::sftp

// The SSH layer's events of an SFTP session as FTP library events (registered with the
// SSH session at connect; the parameter is the session's handle).
void FtpOnSftpEvent(SshSession* session, uint32_t event, SftpEventInfo* info, uint32_t handle);
