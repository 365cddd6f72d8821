// The type library PopClientCtl: the class, its dual and event interfaces and enumerations.
#include "ocx/type_constants.h"
#include "pop3/ocx/pop_client.h"

namespace popctl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kConnection[] = {{"popPortDefault", 110}, {"popPortSecure", 995}, {"popTimeout", 20}};
constexpr C kOption[] = {{"popOptionNone", 0},
                         {"popOptionLineBreak", kPop3OptionLineBreak},
                         {"popOptionTunnel", kPop3OptionTunnel},
                         {"popOptionTrustedSite", kPop3OptionTrustedSite},
                         {"popOptionSecure", kPop3OptionSecure},
                         {"popOptionSecureExplicit", kPop3OptionSecure},
                         {"popOptionSecureImplicit", kPop3OptionSecureImplicit},
                         {"popOptionSecureFallback", 16384},  // declared only: nothing acts on it
                         {"popOptionIpv6Only", kPop3OptionIpv6Only}};
constexpr C kAuthentication[] = {{"popAuthDefault", 0}, {"popAuthPass", 0}, {"popAuthApop", 1}};
constexpr C kCommand[] = {{"popCommandMultiLine", kCommandMultiLine}};

}  // namespace

const plat::com::TypeLibDesc& PopClientTypeLibrary() {
  const ocx::ControlDescriptor& d = kPopClientDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "PopClientCtl",
      1,
      0,
      d.clsid,
      "PopClient",
      d.description,
      {d.dualIid, "IPopClient", &IPopClient::DispatchTable()},
      {d.eventIid, "_IPopClientEvents", &_IPopClientEvents::DispatchTable()},
      {
          {"__popConnectionConstants", kConnection},
          {"__popOptionConstants", kOption},
          {"__popTraceConstants", ocx::TraceConstants("popTrace")},
          {"__popAuthenticationConstants", kAuthentication},
          {"__popCommandConstants", kCommand},
          {"__popSecurityConstants", ocx::SecurityConstants()},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace popctl
