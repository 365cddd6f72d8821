// Library events: the engine threads' callback and their firing on the host's thread.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/variant_args.h"
#include "sockets/server/server.h"

namespace httpsrvctl {

using EventArgs = ocx::EventArgs<5>;

void CHttpServer::DispatchLibraryEvent(uint32_t id, uint16_t event) {
  const uint64_t server = server_.load();
  EventArgs a;
  const VARIANT client = a.Number(int32_t(id));
  // Method, resource and query of the current request, as OnCommand and OnResult show them.
  auto request = [&](std::string* method, std::string* resource, std::string* query) {
    char line[8192] = {};
    if (HttpSessionGetRequestLine(server, id, line, sizeof line) > 0) {
      const char* blank = std::strchr(line, ' ');
      method->assign(line, blank ? std::min<size_t>(size_t(blank - line), 31) : std::min<size_t>(std::strlen(line), 31));
    }
    std::string buffer(8192, '\0');
    if (HttpSessionGetResource(server, id, buffer.data(), uint32_t(buffer.size())) > 0)
      resource->assign(buffer.c_str());
    if (query && HttpSessionGetQuery(server, id, buffer.data(), uint32_t(buffer.size())) > 0) query->assign(buffer.c_str());
  };
  switch (event) {
    case httpEventConnect: {
      char text[64] = {};
      HttpSessionGetAddress(server, id, text);
      Fire(kEventOnConnect, {client, a.Text(text)});
      break;
    }
    case httpEventDisconnect:
      Fire(kEventOnDisconnect, {client});
      if (ServerGetClientCount(SOCKET(server)) < 2) Fire(kEventOnIdle, {});
      break;
    case httpEventTimeout: {
      uint64_t elapsed = 0;
      HttpSessionGetIdleTime(server, id, &elapsed);
      Fire(kEventOnTimeout, {client, a.Number(int32_t(elapsed))});
      break;
    }
    case httpEventCommand: {
      std::string method, resource, query;
      request(&method, &resource, &query);
      Fire(kEventOnCommand, {client, a.Text(method.c_str()), a.Text(resource.c_str()), a.Text(query.c_str())});
      break;
    }
    case httpEventResult: {
      std::string method, resource;
      request(&method, &resource, nullptr);
      Fire(kEventOnResult, {client, a.Text(method.c_str()), a.Text(resource.c_str()),
                            a.Number(HttpSessionGetStatus(server, id))});
      break;
    }
    case httpEventAuthenticate: {
      HttpCredentials credentials{};
      credentials.size = sizeof credentials;
      if (!HttpSessionGetCredentials(server, id, &credentials)) {
        HttpServerDisconnectClient(server, id);
        break;
      }
      Fire(kEventOnAuthenticate, {client, a.Text(credentials.hostName), a.Text(credentials.userName),
                                  a.Text(credentials.password)});
      explicit_bzero(credentials.password, sizeof credentials.password);
      break;
    }
    case httpEventDownload:
    case httpEventUpload: {
      HttpTransferInfo info{};
      info.size = sizeof info;
      HttpSessionGetTransferInfo(server, id, &info);
      Fire(event == httpEventDownload ? kEventOnDownload : kEventOnUpload,
           {client, a.Text(info.localPath), a.Number(int32_t(uint32_t(info.bytes)))});
      break;
    }
    case httpEventExecute: {
      std::string method, resource, query, output;
      request(&method, &resource, &query);
      const int32_t length = HttpSessionGetProgramOutput(server, id, nullptr, 0);
      if (length > 0) {
        output.assign(size_t(length) + 1, '\0');
        HttpSessionGetProgramOutput(server, id, output.data(), uint32_t(output.size()));
        output.resize(std::strlen(output.c_str()));
      }
      int32_t exitCode = 0;
      HttpSessionGetExitCode(server, id, &exitCode);
      Fire(kEventOnExecute, {client, a.Text(resource.c_str()), a.Text(query.c_str()), a.Text(output.c_str()),
                             a.Number(exitCode)});
      break;
    }
    default:
      break;
  }
}

}  // namespace httpsrvctl
