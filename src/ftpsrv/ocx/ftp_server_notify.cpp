// Library events: the engine threads' callback and their firing on the host's thread.
#include <cstring>
#include <memory>
#include <string>

#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/variant_args.h"
#include "sockets/server.h"

namespace ftpsrvctl {

using EventArgs = ocx::EventArgs<4>;

int32_t CFtpServer::LibraryEventCallback(uint64_t, uint32_t clientId, uint16_t event, uint16_t error,
                                         uint64_t context) {
  auto* target = reinterpret_cast<ocx::ServerNotifyTarget*>(context);
  return int32_t(ocx::DeliverServerNotification(target, kLibraryNotifyMessage, WPARAM(clientId),
                                                ocx::MakeEventParam(event, error)));
}

LRESULT CFtpServer::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = msg == kLibraryNotifyMessage;
  if (*handled) OnLibraryNotify(wParam, lParam);
  return 0;
}

void CFtpServer::OnLibraryNotify(WPARAM wParam, LPARAM lParam) {
  CV_OCX_ENTRY;
  if (!Running()) return;
  if (EventsFrozen()) {
    notify_.queue.Queue(kLibraryNotifyMessage, uint64_t(wParam), uint64_t(lParam));
    return;
  }
  // Frozen while firing: an event arriving from a handler that pumps messages waits its turn.
  FreezeEvents(1);
  clientId_ = uint32_t(wParam);
  const uint16_t event = uint16_t(uint32_t(lParam) & 0xFFFFu);
  const uint16_t error = uint16_t(uint32_t(lParam) >> 16);
  if (error != 0)
    Raise(0x80040000u | error, false, true);
  else
    DispatchLibraryEvent(clientId_, event);
  clientId_ = 0;
  FreezeEvents(0);
  if (!EventsFrozen() && Window()) ocx::SendQueuedNotifications(notify_.queue, Window());
}

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
