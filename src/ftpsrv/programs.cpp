// Programs the host registers and clients run with SITE EXEC: started without a shell in
// their own process group, output captured through a pipe, ended at their time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_fs.h"
#include "platform/base/tick.h"

extern char** environ;

namespace cvftpsrv {

namespace {

bool ValidProgramName(const char* name) {
  if (!name || std::strlen(name) < 3 || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (const char* p = name; *p; ++p)
    if (!std::isalnum(static_cast<unsigned char>(*p))) return false;
  return true;
}

// The program file as the system's search for executables finds it: a name with a "/"
// as given, else the first match on PATH. "" when none.
std::string FindExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    char cwd[4096];
    if (name[0] == '/' || !::getcwd(cwd, sizeof cwd)) return CombinePath(nullptr, name.c_str());
    return CombinePath(cwd, name.c_str());
  }
  const char* path = std::getenv("PATH");
  std::string list = path ? path : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(':', pos);
    if (end == std::string::npos) end = list.size();
    const std::string dir = list.substr(pos, end - pos);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return std::string();
}

void DrainInto(int fd, std::vector<char>& out, bool& failed) {
  char block[8192];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n <= 0) return;
    try {
      out.insert(out.end(), block, block + n);
    } catch (...) {
      failed = true;
      return;
    }
  }
}

}  // namespace

// The argument vector of a run: the template's words with "%N" replaced by argument N
// (nothing when it is missing or empty) and "%%" by "%"; words left empty are dropped.
std::vector<std::string> BuildArguments(const std::string& program, const std::string& parameters, uint32_t argc,
                                        const char* const* argv) {
  std::vector<std::string> out{program};
  std::string word;
  size_t total = program.size();
  auto finish = [&]() {
    if (!word.empty()) out.push_back(word);
    word.clear();
  };
  for (size_t i = 0; i < parameters.size(); ++i) {
    const char ch = parameters[i];
    if (ch == ' ' || ch == '\t') {
      finish();
      ++total;
    } else if (ch == '%' && i + 1 < parameters.size() && parameters[i + 1] == '%') {
      word += '%';
      ++i;
      ++total;
    } else if (ch == '%' && i + 1 < parameters.size() && std::isdigit(static_cast<unsigned char>(parameters[i + 1]))) {
      unsigned long n = 0;
      while (i + 1 < parameters.size() && std::isdigit(static_cast<unsigned char>(parameters[i + 1])))
        n = std::min<unsigned long>(n * 10 + unsigned(parameters[++i] - '0'), 100000);
      if (n >= 1 && n <= argc && argv[n - 1] && *argv[n - 1] && total + std::strlen(argv[n - 1]) < 1023) {
        word += argv[n - 1];
        total += std::strlen(argv[n - 1]);
      }
    } else {
      word += ch;
      ++total;
    }
  }
  finish();
  return out;
}

void FreePrograms(FtpServerRecord& r) {
  std::lock_guard lk(r.programLock);
  r.programs.clear();
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpServerRegisterProgram(uint64_t server, const char* name, const char* program, const char* parameters,
                                 const char* directory) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!ValidProgramName(name)) return Fail(server, cvErrorInvalidProgramName, 0);
  if (!program || !*program) return Fail(server, cvErrorInvalidFileName, 0);
  std::string file = program;
  if (file.find('%') != std::string::npos || file.find('$') != std::string::npos) {
    std::string expanded;
    if (ExpandEnvironment(file, expanded)) file = expanded;
  }
  const std::string found = FindExecutable(file);
  uint32_t attributes = 0;
  if (found.empty() || !GetAttributes(found, &attributes)) return Fail(server, cvErrorFileNotFound, 0);
  if (IsDirectoryAttr(attributes) || IsDeviceAttr(attributes)) return Fail(server, cvErrorInvalidFileType, 0);
  std::string dir;
  if (directory && *directory) {
    char cwd[4096];
    dir = directory[0] == '/' ? CombinePath(nullptr, directory)
                              : CombinePath(::getcwd(cwd, sizeof cwd) ? cwd : "/", directory);
    uint32_t a = 0;
    if (dir.empty() || !GetAttributes(dir, &a) || !IsDirectoryAttr(a)) return Fail(server, cvErrorDirectoryNotFound, 0);
  }
  std::lock_guard lk(r->programLock);
  FtpProgramEntry* e = nullptr;
  for (FtpProgramEntry& p : r->programs)
    if (IEquals(p.name, name)) e = &p;
  if (!e) {
    e = &r->programs.emplace_back();
    CopyText(e->name, sizeof e->name, name);
  }
  e->flags = 0;
  e->timeLimit = r->execTime * 1000;
  CopyText(e->program, sizeof e->program, found.c_str());
  CopyText(e->parameters, sizeof e->parameters, parameters ? parameters : "");
  CopyText(e->directory, sizeof e->directory, dir.c_str());
  InetSetLastError(0);
  return 1;
}

int32_t FtpServerFindProgram(uint64_t server, const char* name, FtpProgramEntry* out) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!out) return Fail(server, cvErrorInvalidParameter, 0);
  std::lock_guard lk(r->programLock);
  for (const FtpProgramEntry& p : r->programs)
    if (IEquals(p.name, name)) {
      *out = p;
      return 1;
    }
  return Fail(server, cvErrorInvalidProgramName, 0);
}

int32_t FtpServerFreePrograms(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  FreePrograms(*r);
  return 1;
}

int32_t FtpSessionExecuteProgram(uint64_t server, uint32_t clientId, const char* name, uint32_t argc,
                                 const char* const* argv) {
  FtpProgramEntry program;
  if (!FtpServerFindProgram(server, name, &program)) return 0;
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  {
    std::lock_guard lk(s.textLock);
    CopyText(s.programName, sizeof s.programName, name);
    s.programOutput.clear();
    s.hasProgramOutput = false;
    s.exitCode = 0;
  }
  const std::vector<std::string> args = BuildArguments(program.program, program.parameters, argc, argv);
  std::vector<char*> argvOut;
  for (const std::string& a : args) argvOut.push_back(const_cast<char*>(a.c_str()));
  argvOut.push_back(nullptr);
  const std::string directory = program.directory[0] ? program.directory : GetText(s, s.currentDirectory);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Fail(server, cvErrorOutOfMemory, 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.program, &actions, &attributes, argvOut.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return Fail(server, cvErrorFileNotFound, 0);
  }
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);

  std::vector<char> output;
  bool failed = false;
  int status = 0;
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    pollfd p{pipeFds[0], POLLIN, 0};
    ::poll(&p, 1, 100);
    DrainInto(pipeFds[0], output, failed);
    if (failed) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      DrainInto(pipeFds[0], output, failed);
      break;
    }
    if (plat::GetTickCount() - start > program.timeLimit) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      failed = true;
      break;
    }
  }
  ::close(pipeFds[0]);
  if (failed) return Fail(server, cvErrorOperationTimeout, 0);
  uint32_t exitCode = 255;
  if (WIFEXITED(status)) exitCode = uint32_t(WEXITSTATUS(status));
  std::lock_guard lk(s.textLock);
  s.programOutput = std::move(output);
  s.hasProgramOutput = true;
  s.exitCode = exitCode;
  return 1;
}

int32_t FtpSessionGetProgramName(uint64_t server, uint32_t clientId, char* buffer) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  std::lock_guard lk(s->textLock);
  CopyText(buffer, 32, s->programName);
  return int32_t(std::strlen(buffer));
}

uint32_t FtpSessionGetProgramData(uint64_t server, uint32_t clientId, void* buffer, uint32_t size) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  std::lock_guard lk(s->textLock);
  const uint32_t length = uint32_t(s->programOutput.size());
  if (buffer && length > 0) {
    if (size < length) Fail(server, cvErrorBufferTooSmall);
    else std::memcpy(buffer, s->programOutput.data(), length);
  }
  return length;
}

int32_t FtpSessionGetProgramOutput(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  std::lock_guard lk(s->textLock);
  const uint32_t length = uint32_t(s->programOutput.size());
  if (!buffer) return int32_t(length);
  if (size <= length) return Fail(server, cvErrorBufferTooSmall, 0);
  for (uint32_t i = 0; i < length; ++i) {
    const unsigned char ch = static_cast<unsigned char>(s->programOutput[i]);
    buffer[i] = (ch < 32 && ch != 8 && ch != 10 && ch != 13) ? ' ' : char(ch);
  }
  buffer[length] = '\0';
  return int32_t(length);
}

int32_t FtpSessionGetExitCode(uint64_t server, uint32_t clientId, uint32_t* exitCode) {
  if (exitCode) *exitCode = 0;
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  if (!exitCode) return Fail(server, cvErrorInvalidParameter, 0);
  std::lock_guard lk(s->textLock);
  *exitCode = s->exitCode;
  return 1;
}
