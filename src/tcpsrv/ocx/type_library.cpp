// The type library InternetServerCtl: the class, its dual and event interfaces and
// enumerations. Its error constants carry the prefix twError.
#include "ocx/type_constants.h"
#include "tcpsrv/ocx/internet_server.h"

#include <vector>

namespace tcpsrvctl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kHandle[] = {{"twInvalidSocket", -1}, {"twInvalidHandle", -1}};
constexpr C kOption[] = {{"twOptionNone", 0},
                         {"twOptionDontRoute", kInetOptionDontRoute},
                         {"twOptionKeepAlive", kInetOptionKeepAlive},
                         {"twOptionReuseAddress", kInetOptionReuseAddress},
                         {"twOptionNoDelay", kInetOptionNoDelay},
                         {"twOptionSecure", kInetOptionSecure}};
constexpr C kStatus[] = {{"twServerInactive", twServerInactive},
                         {"twServerStarted", twServerStarted},
                         {"twServerListening", twServerListening},
                         {"twServerSuspended", twServerSuspended},
                         {"twServerShutdown", twServerShutdown}};
constexpr C kSuspend[] = {
    {"twSuspendDefault", 0}, {"twSuspendReject", 1}, {"twSuspendDisconnect", 2}, {"twSuspendWait", 4}};
constexpr C kByteOrder[] = {{"twLocalByteOrder", 0}, {"twNetworkByteOrder", 1}};
constexpr C kSecureProtocol[] = {{"twSecureProtocolNone", 0}, {"twSecureProtocolSSL2", 1},
                                 {"twSecureProtocolSSL3", 2}, {"twSecureProtocolTLS1", 8},
                                 {"twSecureProtocolSSL", 3},  {"twSecureProtocolTLS", 8},
                                 {"twSecureProtocolDefault", 8}, {"twSecureProtocolUnknown", 4096}};

// twError (-1), then the shared error numbers under this library's prefix.
ocx::TypeConstants ErrorConstants() {
  static const std::vector<C> list = [] {
    std::vector<C> all{{"twError", -1}};
    for (const C& c : ocx::ErrorConstants("tw")) all.push_back(c);
    return all;
  }();
  return list;
}

}  // namespace

const plat::com::TypeLibDesc& InternetServerTypeLibrary() {
  const ocx::ControlDescriptor& d = kInternetServerDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "InternetServerCtl",
      1,
      0,
      d.clsid,
      "InternetServer",
      d.description,
      {d.dualIid, "IInternetServer", &IInternetServer::DispatchTable()},
      {d.eventIid, "_IInternetServerEvents", &_IInternetServerEvents::DispatchTable()},
      {
          {"HandleConstants", kHandle},
          {"OptionConstants", kOption},
          {"StatusConstants", kStatus},
          {"SuspendConstants", kSuspend},
          {"ByteOrderConstants", kByteOrder},
          {"PriorityConstants", ocx::PriorityConstants("twPriority")},
          {"SecureProtocolConstants", kSecureProtocol},
          {"TraceConstants", ocx::TraceConstants("twTrace")},
          {"SecurityConstants", ocx::SecurityConstants()},
          {"ErrorConstants", ErrorConstants()},
      },
  };
  return library;
}

}  // namespace tcpsrvctl
