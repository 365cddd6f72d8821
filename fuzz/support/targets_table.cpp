#include "fuzz_target.h"

namespace cvfuzz {

namespace {
std::vector<Target>& Table() {
  static std::vector<Target> table;
  return table;
}
}  // namespace

int Register(const char* name, Entry entry) {
  Table().push_back({name, entry});
  return 0;
}

const std::vector<Target>& Targets() { return Table(); }

}  // namespace cvfuzz
