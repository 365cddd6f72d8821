// The command-line host: creates a control by its ProgID, runs steps against its dispatch
// interface, prints every event the control fires as one line, and pumps the thread's
// messages between steps. It exits non-zero at the first step that fails, after printing
// the error number and text.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "control_types.h"
#include "platform/base/sync.h"
#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"
#include "platform/msg/message.h"
#include "platform/msg/timer.h"
#include "platform/msg/wait.h"
#include "platform/msg/window.h"
#include "steps.h"
#include "stop_signal.h"

namespace {

using cvhost::ControlTypes;
using cvhost::Describe;
using cvhost::Step;
using cvhost::StepKind;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitExpect = 3;

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Values shown in the output; a password's is masked.
std::string Shown(const std::string& name, const VARIANT& value) {
  return cvhost::IsSecret(name) ? "(hidden)" : Describe(value);
}

constexpr const char* kUsage =
    "usage: cvhost PROGID [STEP | --script FILE]...\n"
    "       cvhost --list PROGID\n"
    "       cvhost --help\n"
    "\n"
    "Creates the control PROGID, runs the steps in order, prints each result and every event\n"
    "the control fires, and stops at the first step that fails.\n"
    "\n"
    "Steps:\n"
    "  Name=value             sets a property\n"
    "  Name(index, ...)=value sets an indexed property\n"
    "  ?Name  ?Name(index)    prints a property\n"
    "  Name(arg, ...)         calls a method; its result and output arguments are printed\n"
    "  wait                   pumps messages until SIGINT or SIGTERM, then releases the control\n"
    "                         and exits 0 (to run a server control until it is stopped)\n"
    "  wait(seconds)          pumps messages for that long\n"
    "  @seconds STEP          runs STEP that many seconds later, even in the middle of a\n"
    "                         blocking call (\"@2 Cancel()\" before a long GetFile)\n"
    "  on Event STEP          runs STEP (a property, method or variable step) each time the\n"
    "                         control fires Event, inside the event, where $Arg is the\n"
    "                         event's argument Arg (\"on OnRead Read($Handle, $data)\")\n"
    "  expect Name=value      ends the run with status 3 unless the property has that value\n"
    "                         (\"expect CertificateStatus=cvCertificateValid\", \"expect\n"
    "                         LastError=0\"; \"expect Name(index)=value\", \"expect $name=value\")\n"
    "  $name=value            sets the variable $name ('$data=b\"\"': an empty byte array)\n"
    "  --script FILE          runs the steps of FILE, one a line (# starts a comment line)\n"
    "\n"
    "Arguments and values: numbers, \"strings\" (with \\\" \\\\ \\n \\r \\t \\0 \\xHH), b\"byte strings\"\n"
    "(the same escapes; a byte array), True, False, the constant names of the control\n"
    "(several joined by | are or'ed: fileOptionA|fileOptionB), $name variables, or left out\n"
    "(GetFile(\"local\", \"remote\", , )). An argument given for an output parameter comes\n"
    "back filled in: GetFileSize(\"a.txt\", 0) prints FileSize = <size>; a $variable given for\n"
    "it keeps the value, with its type and bytes, for later steps. A control fills an empty\n"
    "byte array with the bytes it read, and a string with text, so an echo server reads into\n"
    "one: 'on OnRead $data=b\"\"' 'on OnRead Read($Handle, $data, 65536)'\n"
    "'on OnRead Write($Handle, $data)'.\n"
    "\n"
    "Output: \"Name = value\" for results and output arguments,\n"
    "        \"event Name: Arg=value, ...\" for events, errors on stderr; passwords show as\n"
    "        (hidden).\n"
    "Exit status: 0 when every step succeeded, 1 at the first failing step, 2 for bad usage\n"
    "or a step that does not parse, 3 when an expect step did not hold, 128 + the signal's\n"
    "number when SIGINT or SIGTERM stopped the run (130, 143): the step running then is\n"
    "cancelled through the control's Cancel and the control released; a second signal ends\n"
    "the host at once. Only `wait` ends with 0 on one.\n"
    "\n"
    "Controls: Corvanetics.FileTransfer, Corvanetics.InternetMail, Corvanetics.HttpServer,\n"
    "          Corvanetics.FtpServer, Corvanetics.InternetServer, Corvanetics.PopClient,\n"
    "          Corvanetics.TimeClient (registered with cvregsvr).\n"
    "`cvhost --list PROGID` prints a control's properties, methods, events and constants.\n";

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

// Prints every event: "event <name>: <argument>=<value>, ..." in declared order; then the
// handler, if any, runs inside the event.
class PrintingSink final : public IDispatch, public plat::com::RefCount {
 public:
  using Handler = std::function<void(const cvhost::MemberInfo&, const DISPPARAMS&)>;
  PrintingSink(const ControlTypes& types, Handler handler) : types_(types), handler_(std::move(handler)) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&types_.EventsIid(), this}, {&IID_IDispatch, this}});
  }
  CV_COM_REFCOUNT
  HRESULT GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    const cvhost::MemberInfo* event = types_.Event(id);
    std::string line = "event " + (event ? event->name : std::to_string(id));
    if (params && params->cArgs && params->rgvarg) {
      line += ":";
      // A server's command event carries a login's password as the parameters of PASS.
      bool passwordCommand = false;
      for (UINT i = 0; i < params->cArgs; ++i) {
        line += i ? ", " : " ";
        const VARIANT& value = params->rgvarg[params->cArgs - 1 - i];
        if (!event || i >= event->params.size()) {
          line += Describe(value);
          continue;
        }
        const std::string& name = event->params[i].name;
        if (Lower(name) == "command") passwordCommand = Lower(Describe(value)) == "\"pass\"";
        line += name + "=" + (passwordCommand && Lower(name) == "parameters" ? "(hidden)" : Shown(name, value));
      }
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (event && handler_) handler_(*event, params ? *params : DISPPARAMS{});
    return S_OK;
  }

 private:
  const ControlTypes& types_;
  Handler handler_;
};

class Host {
 public:
  explicit Host(IDispatch* control) : control_(control) { types_.Load(control); }

  ~Host() {
    watcher_.reset();
    for (const auto& [id, step] : scheduled_) plat::KillTimer(window_, id);
    if (window_) plat::DestroyWindow(window_);
    if (point_) {
      if (cookie_) point_->Unadvise(cookie_);
      point_->Release();
    }
    if (sink_) sink_->Release();
    for (auto& [name, value] : variables_) VariantClear(&value);
  }

  const ControlTypes& Types() const { return types_; }

  // Subscribes to the control's default event interface, when it names one.
  void Listen() {
    if (!types_.HasEvents()) return;
    IConnectionPointContainer* container = nullptr;
    if (FAILED(control_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) return;
    if (SUCCEEDED(container->FindConnectionPoint(types_.EventsIid(), &point_))) {
      sink_ = new PrintingSink(types_, [this](const cvhost::MemberInfo& e, const DISPPARAMS& p) { OnEvent(e, p); });
      if (FAILED(point_->Advise(static_cast<IDispatch*>(sink_), &cookie_))) cookie_ = 0;
    }
    container->Release();
  }

  // Runs the steps in order, up to the first one that failed or a signal; returns the exit
  // status.
  int Run(const std::vector<std::string>& texts) {
    std::vector<Step> steps;
    for (const std::string& text : texts) {
      std::string error;
      auto step = cvhost::ParseStep(text, &error);
      if (!step) {
        std::fprintf(stderr, "%s: %s\n", text.c_str(), error.c_str());
        return kExitUsage;
      }
      steps.push_back(std::move(*step));
    }
    if (!CreateWindow()) {
      std::fprintf(stderr, "cvhost: no window for the host's messages\n");
      return kExitFailed;
    }
    watcher_ = std::make_unique<cvhost::StopWatcher>(window_);
    for (size_t i = 0; i < steps.size() && !failed_ && !cvhost::StopSignal(); ++i) {
      if (!steps[i].onEvent.empty()) {
        const cvhost::MemberInfo* event = types_.EventNamed(steps[i].onEvent);
        if (!event) {
          std::fprintf(stderr, "%s: the control has no event %s\n", texts[i].c_str(), steps[i].onEvent.c_str());
          return kExitUsage;
        }
        handlers_[Lower(event->name)].push_back(Pending{steps[i], texts[i]});
        continue;
      }
      if (steps[i].after) {
        if (!Schedule(steps[i], texts[i])) return kExitFailed;
        continue;
      }
      if (steps[i].kind == StepKind::Wait) {
        Wait(steps[i].seconds);
      } else if (!RunStep(steps[i], texts[i])) {
        failed_ = true;
      }
      PumpMessages();
    }
    if (const int signo = cvhost::StopSignal()) {
      std::fprintf(stderr, "stopped by signal %d\n", signo);
      // Stopping is how a wait for a signal ends; anywhere else it cut the run short.
      if (!stoppedWaiting_) return 128 + signo;
    }
    if (expectFailed_) return kExitExpect;
    return failed_ ? kExitFailed : kExitOk;
  }

 private:
  struct Pending {
    Step step;
    std::string text;
  };

  static Host* current_;

  static LRESULT WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == cvhost::kStopRequested) return current_ && current_->CancelRunningStep() ? cvhost::kStepCancelled : 0;
    return plat::DefWindowProc(window, msg, wParam, lParam);
  }

  // The window the signal watcher reaches the thread through and scheduled steps use. It
  // stays hidden until a step is scheduled (see Schedule).
  bool CreateWindow() {
    plat::WNDCLASS wc{};
    wc.lpfnWndProc = &Host::WindowProc;
    wc.lpszClassName = "CvHostWindow";
    plat::RegisterClass(&wc);
    window_ = plat::CreateWindowEx(0, "CvHostWindow", "cvhost", plat::WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                   nullptr, nullptr);
    current_ = this;
    return window_ != nullptr;
  }

  // A signal arrived: a step that blocks ends through the control's own Cancel, which every
  // library wait watches. Outside a step there is nothing to cancel.
  bool CancelRunningStep() {
    if (running_ == 0 || cancelSent_) return false;
    cancelSent_ = true;
    std::u16string name = u"Cancel";
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return true;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO ei{};
    UINT argErr = 0;
    control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, &ei, &argErr);
    ClearExcepInfo(ei);
    VariantClear(&result);
    return true;
  }

  // The event's arguments become variables of their names; then its handlers run.
  void OnEvent(const cvhost::MemberInfo& event, const DISPPARAMS& params) {
    auto handlers = handlers_.find(Lower(event.name));
    if (handlers == handlers_.end()) return;
    for (UINT i = 0; i < params.cArgs && i < event.params.size(); ++i)
      SetVariable(event.params[i].name, params.rgvarg[params.cArgs - 1 - i]);
    for (const Pending& handler : handlers->second) {
      if (failed_ || cvhost::StopSignal()) return;
      if (!RunStep(handler.step, handler.text)) failed_ = true;
    }
  }

  void SetVariable(const std::string& name, const VARIANT& value) {
    VARIANT& slot = variables_[Lower(name)];
    VariantClear(&slot);
    VariantCopyInd(&slot, &value);
  }

  static void OnTimer(HWND window, UINT, plat::UINT_PTR id, DWORD) {
    plat::KillTimer(window, id);
    if (!current_) return;
    auto it = current_->scheduled_.find(id);
    if (it == current_->scheduled_.end()) return;
    Pending due = std::move(it->second);
    current_->scheduled_.erase(it);
    if (due.step.kind == StepKind::Wait) current_->Wait(due.step.seconds);
    else if (!current_->RunStep(due.step, due.text)) current_->failed_ = true;
  }

  // Library waits dispatch posted messages and timers only for a thread that shows an
  // active window, as an interactive host does; so the host shows one while steps wait.
  bool Schedule(Step step, const std::string& text) {
    if (!plat::IsWindowVisible(window_)) {
      plat::ShowWindow(window_, plat::SW_SHOW);
      plat::SetActiveWindow(window_);
    }
    const double ms = std::min(*step.after * 1000.0, double(plat::USER_TIMER_MAXIMUM));
    plat::UINT_PTR id = plat::SetTimer(window_, ++lastTimer_, UINT(ms), &Host::OnTimer);
    if (!id) {
      std::fprintf(stderr, "%s: the step could not be scheduled\n", text.c_str());
      return false;
    }
    step.after.reset();
    scheduled_[id] = Pending{std::move(step), text};
    return true;
  }

  // Pumps messages for the given time, or until a signal when none is given.
  void Wait(std::optional<double> seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(int64_t(seconds.value_or(0) * 1000));
    if (!seconds) std::fprintf(stderr, "waiting; SIGINT or SIGTERM stops the host\n");
    for (;;) {
      PumpMessages();
      if (cvhost::StopSignal()) {
        stoppedWaiting_ = !seconds;
        return;
      }
      if (failed_) return;
      uint32_t timeout = plat::INFINITE;
      if (seconds) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        timeout = uint32_t(left);
      }
      pollfd fd{cvhost::StopSignalFd(), POLLIN, 0};
      plat::WaitForEventsOrMessages(&fd, fd.fd >= 0 ? 1 : 0, timeout, plat::kWaitDispatchPosted);
    }
  }

  // The VARIANT an argument stands for: a variable's own copy, with its type and bytes.
  bool Value(const cvhost::Argument& arg, const std::string& text, VARIANT* out) {
    std::string error;
    auto v = cvhost::ToVariant(
        arg, [this](std::string_view name) { return types_.Constant(name); }, &error);
    if (!v) {
      std::fprintf(stderr, "%s: %s\n", text.c_str(), error.c_str());
      return false;
    }
    *out = *v;
    if (arg.kind == cvhost::ArgKind::Variable) {
      auto known = variables_.find(Lower(arg.text));
      if (known != variables_.end()) VariantCopy(out, &known->second);
    }
    return true;
  }

  // An expect step: reads the property (or variable) and ends the run when it differs.
  bool Check(const Step& step, const std::string& text) {
    VARIANT actual, expected;
    VariantInit(&actual);
    VariantInit(&expected);
    bool read = true;
    if (step.expectVariable) {
      auto known = variables_.find(Lower(step.name));
      if (known != variables_.end()) VariantCopy(&actual, &known->second);
    } else {
      Step get = step;
      get.kind = StepKind::Get;
      get.args.pop_back();
      read = RunStep(get, text, &actual);
    }
    bool ok = read && Value(step.args.back(), text, &expected);
    if (ok && !cvhost::SameValue(actual, expected)) {
      std::fprintf(stderr, "%s: %s%s = %s\n", text.c_str(), step.expectVariable ? "$" : "", step.name.c_str(),
                   Shown(step.name, actual).c_str());
      expectFailed_ = true;
      ok = false;
    }
    VariantClear(&actual);
    VariantClear(&expected);
    return ok;
  }

  // Runs a property, method or variable step. A property read gives its value to *got,
  // when given, in place of printing it.
  bool RunStep(const Step& step, const std::string& text, VARIANT* got = nullptr) {
    if (step.kind == StepKind::Expect) return Check(step, text);
    if (step.kind == StepKind::Assign) {
      VARIANT value;
      VariantInit(&value);
      if (!Value(step.args[0], text, &value)) return false;
      SetVariable(step.name, value);
      VariantClear(&value);
      return true;
    }
    std::u16string wideName = plat::ToUtf16(step.name);
    LPOLESTR names[] = {wideName.data()};
    DISPID id = DISPID_UNKNOWN;
    if (HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) {
      ReportFailure(text, hr, nullptr);
      return false;
    }

    // Each argument travels by reference, so results written into it come back.
    const size_t n = step.args.size();
    std::vector<VARIANT> values(n), refs(n);
    for (VARIANT& v : values) VariantInit(&v);
    auto clear = [&] {
      for (VARIANT& v : values) VariantClear(&v);
    };
    for (size_t i = 0; i < n; ++i) {
      if (!Value(step.args[i], text, &values[i])) {
        clear();
        return false;
      }
    }
    // Automation wants the last argument first (a put's value, the named one, so first).
    for (size_t i = 0; i < n; ++i) {
      VARIANT& r = refs[n - 1 - i];
      VariantInit(&r);
      if (step.args[i].kind == cvhost::ArgKind::Missing) {
        r = values[i];
      } else {
        r.vt = VT_BYREF | VT_VARIANT;
        r.pvarVal = &values[i];
      }
    }
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{n ? refs.data() : nullptr, nullptr, UINT(n), 0};
    WORD flags = DISPATCH_METHOD;
    INVOKEKIND kind = INVOKE_FUNC;
    if (step.kind == StepKind::Put) {
      flags = DISPATCH_PROPERTYPUT;
      kind = INVOKE_PROPERTYPUT;
      params.rgdispidNamedArgs = &putId;
      params.cNamedArgs = 1;
    } else if (step.kind == StepKind::Get) {
      flags = DISPATCH_PROPERTYGET;
      kind = INVOKE_PROPERTYGET;
    }
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO ei{};
    UINT argErr = 0;
    ++running_;
    HRESULT hr = control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                  step.kind == StepKind::Put ? nullptr : &result, &ei, &argErr);
    if (--running_ == 0 && cancelSent_ && watcher_) watcher_->StepEnded();
    const bool ok = SUCCEEDED(hr);
    // A variable keeps what the call wrote into it.
    for (size_t i = 0; ok && i < n; ++i)
      if (step.args[i].kind == cvhost::ArgKind::Variable) SetVariable(step.args[i].text, values[i]);
    if (!ok) {
      ReportFailure(text, hr, &ei);
    } else if (step.kind == StepKind::Get && got) {
      VariantCopy(got, &result);
    } else if (step.kind == StepKind::Get) {
      std::printf("%s = %s\n", step.name.c_str(), Shown(step.name, result).c_str());
    } else if (step.kind == StepKind::Call) {
      if (result.vt != VT_EMPTY) std::printf("%s = %s\n", step.name.c_str(), Describe(result).c_str());
      // The output arguments the caller gave, by their names.
      const cvhost::MemberInfo* member = types_.Member(id, kind);
      for (size_t i = 0; member && i < n && i < member->params.size(); ++i) {
        if (step.args[i].kind != cvhost::ArgKind::Missing && (member->params[i].flags & PARAMFLAG_FOUT))
          std::printf("%s = %s\n", member->params[i].name.c_str(), Shown(member->params[i].name, values[i]).c_str());
      }
    }
    std::fflush(stdout);
    ClearExcepInfo(ei);
    VariantClear(&result);
    clear();
    return ok;
  }

  IDispatch* control_;
  ControlTypes types_;
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
  PrintingSink* sink_ = nullptr;
  HWND window_ = nullptr;
  plat::UINT_PTR lastTimer_ = 0;
  std::map<plat::UINT_PTR, Pending> scheduled_;
  std::map<std::string, std::vector<Pending>> handlers_;  // by event name, lower case
  std::map<std::string, VARIANT> variables_;              // by name, lower case
  std::unique_ptr<cvhost::StopWatcher> watcher_;
  int running_ = 0;  // steps inside the control now (handlers nest inside a step)
  bool cancelSent_ = false;
  bool expectFailed_ = false;
  bool stoppedWaiting_ = false;
  bool failed_ = false;
};

Host* Host::current_ = nullptr;

IDispatch* CreateControl(const char* progIdText) {
  std::u16string progId = plat::ToUtf16(progIdText);
  CLSID clsid;
  if (HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid); FAILED(hr)) {
    ReportFailure(progIdText, hr, nullptr);
    // The usual cause: the control's module was never registered in this registry.
    if (hr == CO_E_CLASSSTRING)
      std::fprintf(stderr, "(no control of that name is registered: register its module with cvregsvr, see --help)\n");
    return nullptr;
  }
  IDispatch* control = nullptr;
  if (HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void**>(&control));
      FAILED(hr)) {
    ReportFailure(progIdText, hr, nullptr);
    return nullptr;
  }
  return control;
}

// The steps of a script file, one a line; blank lines and lines starting with # are skipped.
bool ReadScript(const std::string& path, std::vector<std::string>* steps) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    const size_t a = line.find_first_not_of(" \t\r");
    if (a == std::string::npos || line[a] == '#') continue;
    const size_t b = line.find_last_not_of(" \t\r");
    steps->push_back(line.substr(a, b - a + 1));
  }
  return true;
}

int List(const char* progId) {
  IDispatch* control = CreateControl(progId);
  if (!control) return 1;
  ControlTypes types;
  types.Load(control);
  std::printf("%s\n\n", progId);
  types.List(stdout);
  control->Release();
  PumpMessages();
  return 0;
}

int Run(const char* progId, const std::vector<std::string>& steps) {
  IDispatch* control = CreateControl(progId);
  if (!control) return kExitFailed;
  int status = kExitOk;
  {
    Host host(control);
    host.Listen();
    status = host.Run(steps);
  }
  control->Release();
  PumpMessages();
  cvhost::ReleaseStopSignals();
  return status;
}

int Main(int argc, char** argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && !std::strcmp(argv[1], "--list")) {
    if (argc != 3) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    return List(argv[2]);
  }
  if (argc < 2 || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<std::string> steps;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--script") || !std::strcmp(argv[i], "-f")) {
      if (i + 1 >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      if (!ReadScript(argv[++i], &steps)) return 2;
    } else {
      steps.push_back(argv[i]);
    }
  }
  cvhost::InstallStopSignals();
  return Run(argv[1], steps);
}

}  // namespace

int main(int argc, char** argv) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = Main(argc, argv);
  CoUninitialize();
  return status;
}
