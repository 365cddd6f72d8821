// Hive files of the registry: a file that loads is saved, and the saved text loads again to
// the same tree (saved once more, the text is the same). The first input byte chooses
// whether the rest is taken as the whole file or as its body, closed here with the right
// checksum line so that the parser's own checks are reached.
#include <cstdio>
#include <string>

#include "fuzz_target.h"
#include "platform/registry/key_tree.h"

namespace {

std::string WithChecksum(std::string body) {
  uint64_t h = 1469598103934665603ull;  // 64-bit FNV-1a, as the hive file uses
  for (unsigned char c : body) h = (h ^ c) * 1099511628211ull;
  char line[32];
  std::snprintf(line, sizeof line, "E %016llx\n", static_cast<unsigned long long>(h));
  return body + line;
}

}  // namespace

CV_FUZZ_TARGET(registry_hive) {
  cvfuzz::Input in(data, size);
  const bool closeHere = in.Bool();
  std::string text(in.Rest());
  if (closeHere) {
    if (text.empty() || text.back() != '\n') text += '\n';
    text = WithChecksum("CVREG 1\n" + text);
  }
  auto tree = plat::reg::Parse(text);
  if (!tree) return;
  const std::string saved = plat::reg::Serialize(**tree);
  auto again = plat::reg::Parse(saved);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(plat::reg::Serialize(**again) == saved);
}
