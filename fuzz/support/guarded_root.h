#pragma once
// The folder of a server target: the server's root inside it, and beside the root a secret
// file with a random text that no answer may ever contain and nothing may change. The
// server's pauses (per command, after failed logons) are switched off, so that each input
// takes milliseconds.
#include <filesystem>
#include <string>

namespace cvfuzz {

class GuardedRoot {
 public:
  // name: the folder below the scratch directory; rootName: the root's folder inside it.
  GuardedRoot(const char* name, const char* rootName);

  const std::filesystem::path& root() const { return root_; }
  const std::string& secret() const { return secret_; }
  // The secret's file (written again); call after laying the root out afresh.
  void WriteSecret() const;
  // True while nothing beside the root was added, removed or changed.
  bool OutsideUnchanged() const;

 private:
  std::filesystem::path outside_, root_;
  std::string secret_;
};

}  // namespace cvfuzz
