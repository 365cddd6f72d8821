#include "peers/port_owner.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cvpeers {
namespace {

// The inodes of listening TCP sockets bound to port, from one /proc/net table.
void ListeningInodes(const char* table, uint16_t port, std::vector<std::string>& inodes) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != "0A") continue;  // 0A: LISTEN
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.push_back(inode);
  }
}

// The parent and the process group of pid, from its stat line; false once it is gone.
bool ParentAndGroup(pid_t pid, pid_t* parent, pid_t* group) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  const size_t end = line.rfind(')');  // the command name may hold blanks and parentheses
  if (end == std::string::npos) return false;
  std::istringstream fields(line.substr(end + 1));
  std::string state;
  long p = 0, g = 0;
  if (!(fields >> state >> p >> g)) return false;
  *parent = static_cast<pid_t>(p);
  *group = static_cast<pid_t>(g);
  return true;
}

bool IsOurs(pid_t pid, pid_t group) {
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    if (pid == group) return true;
    pid_t parent = 0, itsGroup = 0;
    if (!ParentAndGroup(pid, &parent, &itsGroup)) return false;
    if (itsGroup == group) return true;
    pid = parent;
  }
  return false;
}

bool HoldsSocket(const std::string& pid, const std::vector<std::string>& targets) {
  const std::string dir = "/proc/" + pid + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  char link[64];
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    const std::string text(link, static_cast<size_t>(n));
    for (const std::string& t : targets) found = found || text == t;
    if (found) break;
  }
  ::closedir(d);
  return found;
}

}  // namespace

bool ListenerBelongsTo(pid_t group, uint16_t port) {
  std::vector<std::string> inodes;
  ListeningInodes("/proc/net/tcp", port, inodes);
  ListeningInodes("/proc/net/tcp6", port, inodes);
  if (inodes.empty()) return true;
  std::vector<std::string> targets;
  for (const std::string& inode : inodes) targets.push_back("socket:[" + inode + "]");

  bool ownerSeen = false;
  DIR* proc = ::opendir("/proc");
  if (!proc) return true;
  bool ours = false;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    if (!HoldsSocket(e->d_name, targets)) continue;
    ownerSeen = true;
    if (IsOurs(static_cast<pid_t>(std::atol(e->d_name)), group)) {
      ours = true;
      break;
    }
  }
  ::closedir(proc);
  return ours || !ownerSeen;
}

}  // namespace cvpeers
