#pragma once
// The command channel of an FTPS server that a scripted server's Call step plays after AUTH
// TLS: the replies of a login and a transfer, a passive data port, and the caller's part
// when the client asks for a file (then the transfer fails with 425). The including target
// links OpenSSL.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/script_server.h"
#include "support/tls_lines.h"

namespace cvtest {

// retr(listener): the data connection's part, given the passive port's listening socket.
// commands: every command line read, when given.
inline void ServeFtpsCommands(ScriptServer& s, const std::filesystem::path& certificate,
                              const std::function<void(int listener)>& retr,
                              std::vector<std::string>* commands = nullptr) {
  TlsLines tls(s.clientSocket(), certificate);
  if (!tls.ok()) return;
  const std::map<std::string, std::string> replies = {
      {"PBSZ", "200 PBSZ=0"},    {"PROT", "200 Protection set"}, {"USER", "331 Password required"},
      {"PASS", "230 Logged in"}, {"SYST", "215 UNIX Type: L8"},  {"PWD", "257 \"/\""},
      {"TYPE", "200 Type set"},  {"SIZE", "550 No size"},        {"QUIT", "221 Bye"}};
  int listener = -1;
  for (std::string line; tls.ReadLine(line);) {
    if (commands) commands->push_back(line);
    const std::string verb = line.substr(0, line.find(' '));
    if (verb == "PASV") {
      int port = 0;
      listener = s.OpenListener(&port);
      std::ostringstream o;
      o << "227 Entering Passive Mode (127,0,0,1," << (port >> 8) << "," << (port & 255) << ")";
      tls.Send(o.str());
    } else if (verb == "RETR") {
      tls.Send("150 Opening data connection");
      retr(listener);
      tls.Send("425 Unable to build the data connection");
    } else if (replies.count(verb)) {
      tls.Send(replies.at(verb));
      if (verb == "QUIT") break;
    } else {
      tls.Send("500 Unknown command");
    }
  }
  if (listener >= 0) ::close(listener);
}

}  // namespace cvtest
