#pragma once
// A local file of a transfer, opened by path with the error numbers the transfer
// operations report, closed on every path out.
#include <cstddef>
#include <cstdint>

#include "core/errors/status.h"

namespace cvftp {

using cvcore::Result;
using cvcore::Status;

class LocalFile {
 public:
  enum class Mode {
    Read,        // must exist: cvErrorFileNotFound when the path does not, else cvErrorAccessDenied
    Create,      // created or replaced: cvErrorFileNotCreated
    Append,      // opened or created, positioned at its end: cvErrorFileNotCreated
    ExistingRW,  // must exist (cvErrorFileNotFound / cvErrorAccessDenied), read and write
  };

  LocalFile() = default;
  ~LocalFile();
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  Status Open(const char* path, Mode mode) noexcept;
  // Cuts the file at offset and positions it there (a restarted download continues it).
  Status TruncateAt(uint64_t offset) noexcept;
  Status Seek(uint64_t offset) noexcept;
  // The whole length (cvErrorFileWriteFailed when it does not go).
  Status WriteAll(const char* data, size_t length) noexcept;
  // Bytes read, 0 at the end (cvErrorFileReadFailed).
  Result<int64_t> Read(char* buffer, size_t length) noexcept;
  // The size, or -1.
  int64_t Size() const noexcept;
  // Fails when closing lost data (cvErrorFileWriteFailed).
  Status Close() noexcept;
  bool isOpen() const noexcept { return fd_ >= 0; }
  int descriptor() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

// The error of a failed open of an existing file: cvErrorFileNotFound when the path or file
// does not exist, else cvErrorAccessDenied.
uint32_t OpenErrorFor(int error) noexcept;

}  // namespace cvftp
