// Virtual hosts, virtual paths, users and program registrations of the running server.
#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/variant_args.h"

#define CV_ARG(expr) \
  if (HRESULT hr_ = (expr); FAILED(hr_)) return hr_

namespace httpsrvctl {

HRESULT CHttpServer::AddHost(VARIANT host, VARIANT port, VARIANT directory, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string name, dir;
  uint32_t portValue = 0;
  CV_ARG(RequiredUtf8(host, &name));
  CV_ARG(OptionalUInt(port, 0, &portValue));
  CV_ARG(OptionalUtf8(directory, u"", &dir));
  const int32_t id = HttpServerAddHost(Server(), name.c_str(), portValue, dir.c_str());
  SetLongArgument(result, id);
  if (id < 0) return MethodFailure(nullptr);
  return S_OK;
}

HRESULT CHttpServer::DeleteHost(VARIANT host, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  CV_ARG(RequiredUInt(host, &id));
  SetLongArgument(error, 0);
  return Outcome(HttpServerDeleteHost(Server(), id), error);
}

HRESULT CHttpServer::AddPath(VARIANT host, VARIANT virtualPath, VARIANT localPath, VARIANT access, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, rights = 0;
  std::string path, local;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(virtualPath, &path));
  CV_ARG(RequiredUtf8(localPath, &local));
  CV_ARG(OptionalUInt(access, httpAccessDefault, &rights));
  SetLongArgument(error, 0);
  return Outcome(HttpServerAddPath(Server(), id, rights, path.c_str(), local.c_str()), error);
}

HRESULT CHttpServer::DeletePath(VARIANT host, VARIANT virtualPath, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string path;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(virtualPath, &path));
  SetLongArgument(error, 0);
  return Outcome(HttpServerDeletePath(Server(), id, path.c_str()), error);
}

HRESULT CHttpServer::AddUser(VARIANT host, VARIANT user, VARIANT password, VARIANT access, VARIANT directory,
                             VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, rights = 0;
  std::string name, secret, home;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(user, &name));
  CV_ARG(RequiredUtf8(password, &secret));
  CV_ARG(OptionalUInt(access, httpAccessDefault, &rights));
  CV_ARG(OptionalUtf8(directory, u"", &home));
  SetLongArgument(error, 0);
  const int32_t ok = HttpServerAddUser(Server(), id, rights, name.c_str(), secret.c_str(), home.c_str());
  explicit_bzero(secret.data(), secret.size());
  return Outcome(ok, error);
}

HRESULT CHttpServer::DeleteUser(VARIANT host, VARIANT user, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string name;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(user, &name));
  SetLongArgument(error, 0);
  return Outcome(HttpServerDeleteUser(Server(), id, name.c_str()), error);
}

HRESULT CHttpServer::RegisterHandler(VARIANT host, VARIANT extension, VARIANT program, VARIANT parameters,
                                     VARIANT directory, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string ext, file, params, dir;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(extension, &ext));
  CV_ARG(RequiredUtf8(program, &file));
  CV_ARG(OptionalUtf8(parameters, u"", &params));
  CV_ARG(OptionalUtf8(directory, u"", &dir));
  SetLongArgument(error, 0);
  return Outcome(HttpServerRegisterHandler(Server(), id, ext.c_str(), file.c_str(), params.c_str(), dir.c_str()),
                 error);
}

HRESULT CHttpServer::RegisterProgram(VARIANT host, VARIANT command, VARIANT program, VARIANT parameters,
                                     VARIANT directory, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string path, file, params, dir;
  CV_ARG(RequiredUInt(host, &id));
  CV_ARG(RequiredUtf8(command, &path));
  CV_ARG(RequiredUtf8(program, &file));
  CV_ARG(OptionalUtf8(parameters, u"", &params));
  CV_ARG(OptionalUtf8(directory, u"", &dir));
  SetLongArgument(error, 0);
  return Outcome(HttpServerRegisterProgram(Server(), id, path.c_str(), file.c_str(), params.c_str(), dir.c_str()),
                 error);
}

}  // namespace httpsrvctl
