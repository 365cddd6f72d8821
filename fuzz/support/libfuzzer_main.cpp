// The libFuzzer entry of a fuzzer built from exactly one target file.
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const cvfuzz::Entry entry = [] {
    const auto& targets = cvfuzz::Targets();
    if (targets.size() != 1) {
      std::fprintf(stderr, "a fuzzer needs exactly one target, it has %zu\n", targets.size());
      std::abort();
    }
    return targets[0].entry;
  }();
  entry(data, size);
  return 0;
}
