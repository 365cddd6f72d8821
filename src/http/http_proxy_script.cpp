// Proxy configuration scripts run in an embedded JavaScript engine: a fresh heap per
// query (capped in memory), the customary helper functions defined in JavaScript, name
// lookups and the local address supplied natively.
#include "http/http_proxy_script.h"

#ifdef CV_HAVE_SCRIPT_ENGINE

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <duktape.h>

namespace cvhttp {

namespace {

// A script may not take more than this; past it allocations fail inside the script.
constexpr size_t kScriptMemoryLimit = 64u << 20;

struct Budget {
  size_t used = 0;
};

struct alignas(std::max_align_t) BlockHead {
  size_t size;
};

void* Allocate(void* udata, duk_size_t size) {
  auto& b = *static_cast<Budget*>(udata);
  if (size > kScriptMemoryLimit || b.used + size > kScriptMemoryLimit) return nullptr;
  auto* h = static_cast<BlockHead*>(std::malloc(sizeof(BlockHead) + size));
  if (!h) return nullptr;
  h->size = size;
  b.used += size;
  return h + 1;
}

void Release(void* udata, void* ptr) {
  if (!ptr) return;
  auto* h = static_cast<BlockHead*>(ptr) - 1;
  static_cast<Budget*>(udata)->used -= h->size;
  std::free(h);
}

void* Reallocate(void* udata, void* ptr, duk_size_t size) {
  if (!ptr) return Allocate(udata, size);
  if (size == 0) {
    Release(udata, ptr);
    return nullptr;
  }
  auto& b = *static_cast<Budget*>(udata);
  auto* h = static_cast<BlockHead*>(ptr) - 1;
  const size_t old = h->size;
  if (size > kScriptMemoryLimit || b.used - old + size > kScriptMemoryLimit) return nullptr;
  auto* grown = static_cast<BlockHead*>(std::realloc(h, sizeof(BlockHead) + size));
  if (!grown) return nullptr;
  grown->size = size;
  b.used = b.used - old + size;
  return grown + 1;
}

// The first IPv4 address of a name, or empty.
std::string ResolveV4(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (!name || !*name || getaddrinfo(name, nullptr, &hints, &list) != 0) return {};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(list);
  return text;
}

duk_ret_t DnsResolve(duk_context* ctx) {
  const std::string address = ResolveV4(duk_safe_to_string(ctx, 0));
  if (address.empty())
    duk_push_null(ctx);
  else
    duk_push_string(ctx, address.c_str());
  return 1;
}

duk_ret_t MyIpAddress(duk_context* ctx) {
  char name[256] = {};
  std::string address;
  if (gethostname(name, sizeof name - 1) == 0) address = ResolveV4(name);
  duk_push_string(ctx, address.empty() ? "127.0.0.1" : address.c_str());
  return 1;
}

constexpr const char* kHelpers = R"JS(
function isPlainHostName(h) { return String(h).indexOf('.') < 0; }
function dnsDomainIs(h, d) {
  h = String(h).toLowerCase(); d = String(d).toLowerCase();
  return h.length >= d.length && h.substring(h.length - d.length) == d;
}
function localHostOrDomainIs(h, hd) {
  return h == hd || (String(h).indexOf('.') < 0 && String(hd).indexOf(h + '.') == 0);
}
function isResolvable(h) { return dnsResolve(h) !== null; }
function dnsDomainLevels(h) { return String(h).split('.').length - 1; }
function __addr(ip) {
  var p = String(ip).split('.');
  if (p.length != 4) return null;
  return ((p[0] & 255) << 24 | (p[1] & 255) << 16 | (p[2] & 255) << 8 | (p[3] & 255)) >>> 0;
}
function isInNet(h, pattern, mask) {
  var ip = /^\d+\.\d+\.\d+\.\d+$/.test(h) ? h : dnsResolve(h);
  if (ip === null) return false;
  var a = __addr(ip), p = __addr(pattern), m = __addr(mask);
  if (a === null || p === null || m === null) return false;
  return ((a & m) >>> 0) == ((p & m) >>> 0);
}
function shExpMatch(s, p) {
  var r = String(p).replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*').replace(/\?/g, '.');
  return new RegExp('^' + r + '$').test(String(s));
}
function __now(gmt) { var d = new Date(); return gmt === 'GMT' ? { day: d.getUTCDay(), hour: d.getUTCHours() } : { day: d.getDay(), hour: d.getHours() }; }
function weekdayRange(a, b, gmt) {
  var names = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
  if (b === 'GMT') { gmt = b; b = undefined; }
  var x = names.indexOf(String(a).toUpperCase()), y = b === undefined ? x : names.indexOf(String(b).toUpperCase());
  if (x < 0 || y < 0) return false;
  var d = __now(gmt).day;
  return x <= y ? d >= x && d <= y : d >= x || d <= y;
}
function timeRange() {
  var args = Array.prototype.slice.call(arguments), gmt;
  if (args[args.length - 1] === 'GMT') gmt = args.pop();
  var h = __now(gmt).hour;
  if (args.length == 1) return h == args[0];
  if (args.length == 2) return args[0] <= args[1] ? h >= args[0] && h < args[1] : h >= args[0] || h < args[1];
  return false;
}
)JS";

}  // namespace

bool EvaluateProxyScript(const std::string& script, const std::string& url, const std::string& host,
                         std::string& answer) {
  answer.clear();
  Budget budget;
  duk_context* ctx = duk_create_heap(Allocate, Reallocate, Release, &budget, nullptr);
  if (!ctx) return false;
  duk_push_c_function(ctx, DnsResolve, 1);
  duk_put_global_string(ctx, "dnsResolve");
  duk_push_c_function(ctx, MyIpAddress, 0);
  duk_put_global_string(ctx, "myIpAddress");
  bool ok = duk_peval_string(ctx, kHelpers) == 0;
  duk_pop(ctx);
  ok = ok && duk_peval_lstring(ctx, script.data(), script.size()) == 0;
  duk_pop(ctx);
  if (ok && duk_get_global_string(ctx, "FindProxyForURL") && duk_is_function(ctx, -1)) {
    duk_push_lstring(ctx, url.data(), url.size());
    duk_push_lstring(ctx, host.data(), host.size());
    if (duk_pcall(ctx, 2) == DUK_EXEC_SUCCESS && duk_is_string(ctx, -1))
      answer = duk_get_string(ctx, -1);
    else
      ok = false;
  } else {
    ok = false;
  }
  duk_destroy_heap(ctx);
  return ok;
}

}  // namespace cvhttp

#else

namespace cvhttp {

bool EvaluateProxyScript(const std::string&, const std::string&, const std::string&, std::string& answer) {
  answer.clear();
  return false;
}

}  // namespace cvhttp

#endif
