#pragma once
// Local files for SFTP transfers, reached by UTF-8 path (Linux file names are bytes, so
// the text is the name itself).
#include <cstdint>

struct SftpLocalFile;

inline constexpr uint32_t kSftpLocalReadSize = 4096;

// Opens an existing file for reading; *size (when asked) its size. Null on failure, the
// system error in the thread's last error.
SftpLocalFile* SftpLocalOpenRead(const char* path, uint64_t* size);
// Reads up to 4,096 bytes (buffer holds at least that): the count, 0 at the end, -1.
int32_t SftpLocalRead(SftpLocalFile* file, void* buffer);
// Reads up to size bytes: the count, 0 at the end, -1.
int32_t SftpLocalReadUpTo(SftpLocalFile* file, void* buffer, uint32_t size);
// Creates the file for writing, replacing an existing one.
SftpLocalFile* SftpLocalCreate(const char* path);
// Opens an existing file for writing.
SftpLocalFile* SftpLocalOpenWrite(const char* path);
int32_t SftpLocalWrite(SftpLocalFile* file, const void* buffer, uint32_t length);
void SftpLocalClose(SftpLocalFile* file);  // null is ignored
// origin 0 start, 1 current, 2 end; 0, or -1 (the position unchanged).
int32_t SftpLocalSeek(SftpLocalFile* file, uint64_t offset, int32_t origin);
uint64_t SftpLocalTell(SftpLocalFile* file);
