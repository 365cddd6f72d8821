#pragma once
// The registration tool and the command-line host run as programs, with the test's
// environment (its registry root included): exit status, what they printed, how long
// they ran.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace testhost {

struct ProgramRun {
  int status = -1;
  std::string out, err;
  std::chrono::milliseconds took{};

  // How many lines of the output are exactly line.
  size_t Lines(const std::string& line) const {
    std::istringstream in(out);
    size_t n = 0;
    for (std::string l; std::getline(in, l);) n += l == line;
    return n;
  }
};

inline std::string SlurpFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs argv[0] with its output in files under dir.
inline ProgramRun RunProgram(const std::filesystem::path& dir, std::vector<std::string> argv) {
  const std::string out = (dir / "out.txt").string(), err = (dir / "err.txt").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  ProgramRun r;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0) {
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  posix_spawn_file_actions_destroy(&fa);
  r.out = SlurpFile(out);
  r.err = SlurpFile(err);
  return r;
}

}  // namespace testhost
