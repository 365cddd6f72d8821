#include "scratch_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace cvfuzz {

namespace fs = std::filesystem;

namespace {

fs::path made;

void RemoveMade() {
  std::error_code ec;
  fs::remove_all(made, ec);
}

}  // namespace

const fs::path& ScratchDir() {
  static const bool ready = [] {
    // Not below /dev (a memory file system there would be quicker): the servers refuse to
    // serve anything under /dev, so their roots and virtual paths could not be set up.
    std::string pattern = (fs::temp_directory_path() / "cvfuzz.XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    made = pattern;
    std::atexit(RemoveMade);
    return true;
  }();
  if (!ready) {
    std::perror("fuzz scratch directory");
    std::abort();
  }
  return made;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace cvfuzz
