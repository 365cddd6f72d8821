// Replays saved inputs through the fuzz targets with the normal compiler, so that every test
// run checks the corpora and the inputs of past findings in seconds:
//   fuzz_replay TARGET DIRECTORY...
// Every file below the directories (a missing directory counts as empty) goes through the
// target once, each under a deadline. At least one input must be found.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "deadline.h"
#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET DIRECTORY...\n", argv[0]);
    return 2;
  }
  const cvfuzz::Target* target = nullptr;
  for (const auto& t : cvfuzz::Targets())
    if (std::strcmp(t.name, argv[1]) == 0) target = &t;
  if (!target) {
    std::fprintf(stderr, "no fuzz target named %s\n", argv[1]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int i = 2; i < argc; ++i) {
    std::error_code ec;
    if (!fs::is_directory(argv[i], ec)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "%s: no inputs to replay\n", target->name);
    return 1;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Named first, so that a crash report says which input it was.
    std::fprintf(stderr, "%s\n", path.c_str());
    // Far above what any input needs; the libFuzzer runs use their own -timeout.
    cvfuzz::Deadline deadline(std::chrono::seconds(30), path.string());
    target->entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%s: %zu inputs replayed\n", target->name, inputs.size());
  return 0;
}
