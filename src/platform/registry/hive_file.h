#pragma once
// One hive file below the registry root, as this process sees it. Reads need no lock (the file
// is only ever replaced by rename); writes take flock on a side file, reload, change, write a
// temporary file and rename it over the hive. Callers serialise access within the process.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/registry/key_tree.h"
#include "platform/types.h"

namespace plat::reg {

class HiveFile {
 public:
  explicit HiveFile(std::string fileName) : fileName_(std::move(fileName)) {}

  // The current content; *status is ERROR_BADDB when the file is corrupt (the content is then
  // empty), else ERROR_SUCCESS.
  Key& Read(uint32_t* status);
  // Applies change to the freshest content under the exclusive lock and stores the result when
  // change succeeds. A corrupt file is kept aside as "<name>.corrupt" before being replaced.
  uint32_t Write(const std::function<uint32_t(Key&)>& change);

 private:
  struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtimeNs = 0;
    bool operator==(const Identity&) const = default;
  };
  static Identity IdentityOf(const struct stat& st);
  void Reload();

  std::string fileName_;
  std::filesystem::path path_;  // of the loaded content
  Identity identity_;
  std::unique_ptr<Key> root_ = std::make_unique<Key>();
  bool corrupt_ = false;
  bool loaded_ = false;
};

}  // namespace plat::reg
