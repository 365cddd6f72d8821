#include "guarded_root.h"

#include "scratch_dir.h"
#include "server_client.h"
#include "sockets/server/server_pauses.h"

namespace cvfuzz {

namespace fs = std::filesystem;

GuardedRoot::GuardedRoot(const char* name, const char* rootName)
    : outside_(fs::canonical(ScratchDir()) / name), root_(outside_ / rootName), secret_(RandomMark("outside-root-")) {
  fs::create_directories(root_);
  WriteSecret();
  cvsock::SetServerPausesForTesting(false);
}

void GuardedRoot::WriteSecret() const { WriteFile(outside_ / "secret.txt", secret_); }

bool GuardedRoot::OutsideUnchanged() const {
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(outside_)) {
    (void)e;
    ++entries;
  }
  return entries == 2 && ReadFile(outside_ / "secret.txt") == secret_;
}

}  // namespace cvfuzz
