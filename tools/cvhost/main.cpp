// The command-line host: creates a control by its ProgID, runs the steps given on the
// command line against its dispatch interface, prints every event the control fires as one
// line, and pumps the thread's messages between steps. It exits non-zero at the first step
// that fails, after printing the error number and text.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"
#include "platform/msg/message.h"
#include "steps.h"

namespace {

using cvhost::Describe;
using cvhost::Step;
using cvhost::StepKind;

// Prints every event: "event <dispid>: <arguments in declared order>".
class PrintingSink final : public IDispatch, public plat::com::RefCount {
 public:
  explicit PrintingSink(REFIID iid) : iid_(iid) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&iid_, this}, {&IID_IDispatch, this}});
  }
  CV_COM_REFCOUNT
  HRESULT GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    std::string line = "event " + std::to_string(id);
    if (params && params->cArgs && params->rgvarg) {
      line += ":";
      for (UINT i = params->cArgs; i-- > 0;) line += (i + 1 == params->cArgs ? " " : ", ") + Describe(params->rgvarg[i]);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return S_OK;
  }

 private:
  IID iid_;
};

void PumpMessages() {
  plat::MSG msg;
  while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) {
    plat::TranslateMessage(&msg);
    plat::DispatchMessage(&msg);
  }
}

const char* KnownText(HRESULT hr) {
  switch (hr) {
    case DISP_E_MEMBERNOTFOUND: return "Member not found";
    case DISP_E_UNKNOWNNAME: return "Unknown name";
    case DISP_E_TYPEMISMATCH: return "Type mismatch";
    case DISP_E_BADPARAMCOUNT: return "Invalid number of parameters";
    case DISP_E_PARAMNOTOPTIONAL: return "Parameter not optional";
    case DISP_E_OVERFLOW: return "Out of present range";
    case E_NOTIMPL: return "Not implemented";
    case E_INVALIDARG: return "Invalid argument";
    case E_OUTOFMEMORY: return "Out of memory";
    case CO_E_CLASSSTRING: return "Invalid class string";
    case REGDB_E_CLASSNOTREG: return "Class not registered";
    case CO_E_DLLNOTFOUND: return "The module of the class could not be loaded";
    case CO_E_ERRORINDLL: return "The module of the class has no class entry point";
    default: return "Unexpected error";
  }
}

// "error <number> (0x........): <text>" for control errors (facility 10), else "error 0x........: <text>".
void ReportFailure(const std::string& what, HRESULT hr, const EXCEPINFO* ei) {
  std::string text;
  if (hr == DISP_E_EXCEPTION && ei) {
    hr = ei->scode ? ei->scode : hr;
    if (ei->bstrDescription) text = plat::ToUtf8(ei->bstrDescription);
  }
  if (text.empty()) text = KnownText(hr);
  const uint32_t code = uint32_t(hr);
  if ((code & 0xFFFF0000u) == 0x800A0000u)
    std::fprintf(stderr, "%s: error %u (0x%08X): %s\n", what.c_str(), code & 0xFFFFu, code, text.c_str());
  else
    std::fprintf(stderr, "%s: error 0x%08X: %s\n", what.c_str(), code, text.c_str());
}

void ClearExcepInfo(EXCEPINFO& ei) {
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  ei = EXCEPINFO{};
}

bool RunStep(IDispatch* control, const std::string& text) {
  std::string error;
  auto step = cvhost::ParseStep(text, &error);
  if (!step) {
    std::fprintf(stderr, "%s: %s\n", text.c_str(), error.c_str());
    return false;
  }
  std::u16string wideName = plat::ToUtf16(step->name);
  LPOLESTR names[] = {wideName.data()};
  DISPID id = DISPID_UNKNOWN;
  if (HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) {
    ReportFailure(text, hr, nullptr);
    return false;
  }

  // Each argument travels by reference, so results written into it come back.
  const size_t n = step->args.size();
  std::vector<VARIANT> values(n), before(n), refs(n);
  for (size_t i = 0; i < n; ++i) {
    values[i] = cvhost::ToVariant(step->args[i]);
    VariantInit(&before[i]);
    VariantCopy(&before[i], &values[i]);
  }
  // Automation wants the last argument first.
  for (size_t i = 0; i < n; ++i) {
    VARIANT& r = refs[n - 1 - i];
    VariantInit(&r);
    if (step->args[i].missing) {
      r = values[i];
    } else {
      r.vt = VT_BYREF | VT_VARIANT;
      r.pvarVal = &values[i];
    }
  }
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{n ? refs.data() : nullptr, nullptr, UINT(n), 0};
  WORD flags = DISPATCH_METHOD;
  if (step->kind == StepKind::Put) {
    flags = DISPATCH_PROPERTYPUT;
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  } else if (step->kind == StepKind::Get) {
    flags = DISPATCH_PROPERTYGET;
  }
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  UINT argErr = 0;
  HRESULT hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                               step->kind == StepKind::Put ? nullptr : &result, &ei, &argErr);
  bool ok = SUCCEEDED(hr);
  if (!ok) {
    ReportFailure(text, hr, &ei);
  } else if (step->kind == StepKind::Get) {
    std::printf("%s = %s\n", step->name.c_str(), Describe(result).c_str());
  } else if (step->kind == StepKind::Call) {
    if (result.vt != VT_EMPTY) std::printf("%s = %s\n", step->name.c_str(), Describe(result).c_str());
    for (size_t i = 0; i < n; ++i) {
      std::string now = Describe(values[i]);
      if (!step->args[i].missing && (values[i].vt != before[i].vt || now != Describe(before[i])))
        std::printf("%s argument %zu = %s\n", step->name.c_str(), i + 1, now.c_str());
    }
  }
  std::fflush(stdout);
  ClearExcepInfo(ei);
  VariantClear(&result);
  for (size_t i = 0; i < n; ++i) {
    VariantClear(&values[i]);
    VariantClear(&before[i]);
  }
  return ok;
}

int Run(int argc, char** argv) {
  std::u16string progId = plat::ToUtf16(argv[1]);
  CLSID clsid;
  if (HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid); FAILED(hr)) {
    ReportFailure(argv[1], hr, nullptr);
    return 1;
  }
  IDispatch* control = nullptr;
  if (HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void**>(&control));
      FAILED(hr)) {
    ReportFailure(argv[1], hr, nullptr);
    return 1;
  }

  // Subscribe to the control's default event interface, when it names one.
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  PrintingSink* sink = nullptr;
  IProvideClassInfo2* info = nullptr;
  if (SUCCEEDED(control->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)))) {
    IID events;
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events)) &&
        SUCCEEDED(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
      if (SUCCEEDED(container->FindConnectionPoint(events, &point))) {
        sink = new PrintingSink(events);
        if (FAILED(point->Advise(static_cast<IDispatch*>(sink), &cookie))) cookie = 0;
      }
      container->Release();
    }
    info->Release();
  }

  int status = 0;
  for (int i = 2; i < argc && status == 0; ++i) {
    if (!RunStep(control, argv[i])) status = 1;
    PumpMessages();
  }

  if (point) {
    if (cookie) point->Unadvise(cookie);
    point->Release();
  }
  if (sink) sink->Release();
  control->Release();
  PumpMessages();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cvhost ProgID [step...]\n"
                         "  Name=value       sets a property\n"
                         "  ?Name[(index)]   prints a property\n"
                         "  Name(arg, ...)   calls a method (arguments: numbers, \"strings\", or left out)\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = Run(argc, argv);
  CoUninitialize();
  return status;
}
