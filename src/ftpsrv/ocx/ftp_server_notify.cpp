// Library events: the engine threads' callback and their firing on the host's thread.
#include <cstring>
#include <memory>
#include <string>

#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/variant_args.h"
#include "sockets/server/server.h"

namespace ftpsrvctl {

using EventArgs = ocx::EventArgs<4>;

void CFtpServer::DispatchLibraryEvent(uint32_t id, uint16_t event) {
  const uint64_t server = server_.load();
  EventArgs a;
  const VARIANT client = a.Number(int32_t(id));
  char text[kFtpPathSize + 64] = {};
  switch (event) {
    case ftpEventConnect:
      FtpSessionGetAddress(server, id, text);
      Fire(kEventOnConnect, {client, a.Text(text)});
      break;
    case ftpEventDisconnect:
      Fire(kEventOnDisconnect, {client});
      if (ServerGetClientCount(SOCKET(server)) < 2) Fire(kEventOnIdle, {});
      break;
    case ftpEventTimeout: {
      uint32_t idle = 0;
      FtpSessionGetIdleTime(server, id, &idle);
      Fire(kEventOnTimeout, {client, a.Number(int32_t(idle))});
      break;
    }
    case ftpEventCommand: {
      std::string line(4096, '\0');
      if (!FtpSessionGetCommandLine(server, id, line.data(), int32_t(line.size()))) break;
      line.resize(std::strlen(line.c_str()));
      if (line.empty()) break;
      const size_t blank = line.find(' ');
      const std::string verb = line.substr(0, blank);
      const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
      Fire(kEventOnCommand, {client, a.Text(verb.c_str()), a.Text(rest.c_str())});
      break;
    }
    case ftpEventResult:
      FtpSessionGetCommand(server, id, text);
      Fire(kEventOnResult, {client, a.Text(text), a.Number(int32_t(FtpSessionGetResultCode(server, id)))});
      break;
    case ftpEventAuthenticate: {
      FtpAuthenticateInfo info{};
      info.size = sizeof info;
      if (!FtpSessionGetAuthenticateInfo(server, id, &info)) {
        FtpServerDisconnectClient(server, id);
        break;
      }
      Fire(kEventOnAuthenticate, {client, a.Text(info.hostName), a.Text(info.userName), a.Text(info.password)});
      explicit_bzero(info.password, sizeof info.password);
      break;
    }
    case ftpEventLogin: {
      char directory[kFtpPathSize] = {};
      FtpSessionGetUserName(server, id, text);
      FtpSessionGetCurrentDirectory(server, id, directory);
      Fire(kEventOnLogin, {client, a.Text(text), a.Text(directory)});
      break;
    }
    case ftpEventLogout:
      FtpSessionGetUserName(server, id, text);
      Fire(kEventOnLogout, {client, a.Text(text)});
      break;
    case ftpEventDownload:
    case ftpEventUpload: {
      FtpTransferInfo info{};
      info.size = sizeof info;
      FtpSessionGetTransferInfo(server, id, &info);
      Fire(event == ftpEventDownload ? kEventOnDownload : kEventOnUpload,
           {client, a.Text(info.localPath), a.Number(int32_t(uint32_t(info.bytes)))});
      break;
    }
    case ftpEventExecute: {
      FtpSessionGetProgramName(server, id, text);
      std::string output;
      const int32_t length = FtpSessionGetProgramOutput(server, id, nullptr, 0);
      if (length > 0) {
        output.assign(size_t(length) + 1, '\0');
        FtpSessionGetProgramOutput(server, id, output.data(), uint32_t(output.size()));
        output.resize(std::strlen(output.c_str()));
      }
      uint32_t exitCode = 0;
      FtpSessionGetExitCode(server, id, &exitCode);
      Fire(kEventOnExecute, {client, a.Text(text), a.Text(output.c_str()), a.Number(int32_t(exitCode))});
      break;
    }
    default:
      break;
  }
}

}  // namespace ftpsrvctl
