// The type library HttpServerCtl: the class, its dual and event interfaces and enumerations.
#include "httpsrv/ocx/http_server.h"
#include "ocx/type_constants.h"

namespace httpsrvctl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kOption[] = {{"httpServerDefault", 0},     {"httpServerMultiUser", 1},  {"httpServerRestricted", 2},
                         {"httpServerLocalUser", 4},   {"httpServerNoIndex", 8},    {"httpServerReadOnly", 16},
                         {"httpServerLockFiles", 64},  {"httpServerHiddenFiles", 128}, {"httpServerExternal", 512},
                         {"httpServerSecure", 4096}};
constexpr C kHost[] = {{"httpHostDefault", 0}, {"httpHostUnknown", -1}, {"httpHostInvalid", -1}};
constexpr C kRedirect[] = {{"httpRedirectPermanent", 1}, {"httpRedirectTemporary", 2}, {"httpRedirectOther", 3}};
constexpr C kLogFormat[] = {{"httpLogNone", 0},     {"httpLogCommon", 1},          {"httpLogCombined", 2},
                            {"httpLogExtended", 3}, {"httpLogDelete", 0x10000000}};
constexpr C kAccess[] = {{"httpAccessNone", 0},           {"httpAccessRead", 1},
                         {"httpAccessWrite", 2},          {"httpAccessExecute", 4},
                         {"httpAccessList", 8},           {"httpAccessAll", 65535},
                         {"httpAccessRestricted", 0x100000}, {"httpAccessProtected", 0x200000},
                         {"httpAccessDefault", 0x800000}};

}  // namespace

const plat::com::TypeLibDesc& HttpServerTypeLibrary() {
  const ocx::ControlDescriptor& d = kHttpServerDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "HttpServerCtl",
      1,
      0,
      d.clsid,
      "HttpServer",
      d.description,
      {d.dualIid, "IHttpServer", &IHttpServer::DispatchTable()},
      {d.eventIid, "_IHttpServerEvents", &_IHttpServerEvents::DispatchTable()},
      {
          {"__httpsrvOptionConstants", kOption},
          {"__httpsrvHostConstants", kHost},
          {"__httpsrvRedirectConstants", kRedirect},
          {"__httpsrvLogFormatContstants", kLogFormat},
          {"__httpsrvAccessConstants", kAccess},
          {"__httpsrvPriorityConstants", ocx::PriorityConstants("httpPriority")},
          {"__httpsrvSecurityConstants", ocx::SecurityConstants()},
          {"__httpsrvTraceConstants", ocx::TraceConstants("cvTrace")},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace httpsrvctl
