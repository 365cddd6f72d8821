#include "peers/port_owner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace cvpeers {
namespace {

// The kernel prints an address as 32-bit words in host order, each as 8 hex digits.
bool ParseAddress(const std::string& hex, unsigned char* bytes, size_t size) {
  if (hex.size() != size * 2) return false;
  for (size_t word = 0; word < size / 4; ++word) {
    char* end = nullptr;
    const std::string digits = hex.substr(word * 8, 8);
    const uint32_t value = static_cast<uint32_t>(std::strtoul(digits.c_str(), &end, 16));
    if (*end != '\0') return false;
    std::memcpy(bytes + word * 4, &value, 4);
  }
  return true;
}

// Whether a listener on this local address takes the port from a peer on the family's
// loopback address: the same address, or a wildcard.
bool Covers(bool v6Table, const std::string& hex, int family) {
  if (!v6Table) {
    in_addr a{};
    if (!ParseAddress(hex, reinterpret_cast<unsigned char*>(&a), sizeof a)) return false;
    return family == AF_INET && (a.s_addr == htonl(INADDR_LOOPBACK) || a.s_addr == htonl(INADDR_ANY));
  }
  in6_addr a{};
  if (!ParseAddress(hex, a.s6_addr, sizeof a.s6_addr)) return false;
  if (IN6_IS_ADDR_UNSPECIFIED(&a)) return true;  // dual-stack unless IPv6-only: count it
  if (family == AF_INET6) return IN6_IS_ADDR_LOOPBACK(&a);
  if (!IN6_IS_ADDR_V4MAPPED(&a)) return false;
  uint32_t v4;
  std::memcpy(&v4, a.s6_addr + 12, 4);
  return v4 == htonl(INADDR_LOOPBACK) || v4 == htonl(INADDR_ANY);
}

// Adds the "socket:[inode]" names of the listening sockets on port from one table; false
// when the table cannot be read.
bool ListeningSockets(const char* table, bool v6Table, int family, uint16_t port, std::vector<std::string>& out) {
  std::ifstream in(table);
  if (!in) return false;
  std::string line;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != "0A") continue;  // 0A: LISTEN
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) continue;
    if (Covers(v6Table, local.substr(0, colon), family)) out.push_back("socket:[" + inode + "]");
  }
  return true;
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

bool InGroup(pid_t pid, pid_t group) {
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    if (pid == group) return true;
    pid_t parent = 0, itsGroup = 0;
    if (!ParentAndGroup(pid, &parent, &itsGroup)) return false;
    if (itsGroup == group) return true;
    pid = parent;
  }
  return false;
}

bool HoldsSocket(pid_t pid, const std::vector<std::string>& targets) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
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

PortHolder Holder(pid_t pid, pid_t group) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  std::getline(in, command);
  return {pid, command, InGroup(pid, group)};
}

}  // namespace

PortListeners FindListeners(int family, uint16_t port, pid_t group, bool stopAtGroup) {
  PortListeners result;
  std::vector<std::string> sockets;
  const bool v4 = ListeningSockets("/proc/net/tcp", false, family, port, sockets);
  const bool v6 = ListeningSockets("/proc/net/tcp6", true, family, port, sockets);
  result.known = v4 || v6;
  result.listening = !sockets.empty();
  if (!result.listening) return result;

  // The peer's own leader holds its listener most often: look there first.
  if (stopAtGroup && group > 0 && HoldsSocket(group, sockets)) {
    result.holders.push_back(Holder(group, group));
    return result;
  }
  DIR* proc = ::opendir("/proc");
  if (!proc) return result;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    if ((stopAtGroup && pid == group) || !HoldsSocket(pid, sockets)) continue;
    result.holders.push_back(Holder(pid, group));
    if (stopAtGroup && result.holders.back().inGroup) break;
  }
  ::closedir(proc);
  return result;
}

std::string DescribeListeners(const PortListeners& listeners) {
  if (!listeners.known) return "unknown (no socket tables)";
  if (!listeners.listening) return "nothing listens";
  if (listeners.holders.empty()) return "a listener without a process (closed meanwhile)";
  std::string text;
  for (const PortHolder& h : listeners.holders) {
    if (!text.empty()) text += ", ";
    text +=
        "held by pid " + std::to_string(h.pid) + " (" + h.command + ")" + (h.inGroup ? ", the peer" : ", not the peer");
  }
  return text;
}

}  // namespace cvpeers
