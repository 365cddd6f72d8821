// The type library TimeClientCtl: the class, its dual and event interfaces and enumerations.
#include "ocx/type_constants.h"
#include "time/ocx/time_client.h"

namespace timectl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kConnection[] = {{"timePortDefault", 37}, {"timeTimeout", 10}};

}  // namespace

const plat::com::TypeLibDesc& TimeClientTypeLibrary() {
  const ocx::ControlDescriptor& d = kTimeClientDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "TimeClientCtl",
      1,
      0,
      d.clsid,
      "TimeClient",
      d.description,
      {d.dualIid, "ITimeClient", &ITimeClient::DispatchTable()},
      {d.eventIid, "_ITimeClientEvents", &_ITimeClientEvents::DispatchTable()},
      {
          {"__timeConnectionConstants", kConnection},
          {"__timeTraceConstants", ocx::TraceConstants("timeTrace")},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace timectl
