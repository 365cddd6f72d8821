// Proxy configuration scripts run in an embedded JavaScript engine: a fresh heap per
// query, capped in memory and in time, the customary helper functions defined in
// JavaScript, name lookups and the local address supplied natively. The engine looks at
// the clock only between runs of script steps, never inside a built-in function, so its
// own deadline is not a bound: the caller runs it in a helper process that it ends at
// the deadline (http_proxy_script_run.cpp).
#include "http/http_proxy_script.h"

#ifdef CV_HAVE_SCRIPT_ENGINE

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <duktape.h>

namespace cvhttp {

namespace {

// A script may not take more than this; past it allocations fail inside the script.
constexpr size_t kScriptMemoryLimit = 64u << 20;
// Nor run longer than this: past it every step of the script throws until it has ended,
// and the query counts as a failed script.
constexpr std::chrono::milliseconds kEngineDeadline = kScriptDeadline;

// What one query may spend; the engine hands it to the allocator and the timeout hook.
struct Budget {
  size_t used = 0;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + kEngineDeadline;
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
function __now(gmt) {
  var d = new Date();
  return gmt ? { day: d.getUTCDay(), date: d.getUTCDate(), month: d.getUTCMonth(), year: d.getUTCFullYear(),
                 hour: d.getUTCHours(), min: d.getUTCMinutes(), sec: d.getUTCSeconds() }
             : { day: d.getDay(), date: d.getDate(), month: d.getMonth(), year: d.getFullYear(),
                 hour: d.getHours(), min: d.getMinutes(), sec: d.getSeconds() };
}
function __args(args) {
  var a = Array.prototype.slice.call(args), gmt = a.length > 0 && a[a.length - 1] === 'GMT';
  if (gmt) a.pop();
  return { a: a, now: __now(gmt) };
}
// lo <= now <= hi, or outside hi..lo when the range wraps (lo above hi).
function __within(now, lo, hi) { return lo <= hi ? now >= lo && now <= hi : now >= lo || now <= hi; }
function weekdayRange() {
  var names = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'], x = __args(arguments);
  if (x.a.length < 1 || x.a.length > 2) return false;
  var lo = names.indexOf(String(x.a[0]).toUpperCase()), hi = x.a.length == 2 ? names.indexOf(String(x.a[1]).toUpperCase()) : lo;
  return lo >= 0 && hi >= 0 && __within(x.now.day, lo, hi);
}
// Days (1..31), month names and years (above 31), alone or as two halves of one range
// in the order day, month, year.
function dateRange() {
  var months = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
  var x = __args(arguments), n = x.a.length;
  if (n != 1 && n != 2 && n != 4 && n != 6) return false;
  var parts = [];
  for (var i = 0; i < n; ++i) {
    var v = x.a[i], m = months.indexOf(String(v).toUpperCase());
    if (m >= 0) parts.push(['month', m]);
    else if (/^\d+$/.test(String(v))) parts.push([Number(v) > 31 ? 'year' : 'date', Number(v)]);
    else return false;
  }
  var weight = { year: 10000, month: 100, date: 1 };
  function key(half, values) {
    var k = 0;
    for (var i = 0; i < half.length; ++i) k += weight[half[i][0]] * (values ? half[i][1] : x.now[half[i][0]]);
    return k;
  }
  var lo = n == 1 ? parts : parts.slice(0, n / 2), hi = n == 1 ? parts : parts.slice(n / 2);
  for (var j = 0; j < lo.length; ++j)
    if (lo[j][0] != hi[j][0] || (j > 0 && weight[lo[j][0]] <= weight[lo[j - 1][0]])) return false;
  return __within(key(lo, false), key(lo, true), key(hi, true));
}
// Hours alone or as a range (to the hour's end), or ranges of hours and minutes, or of
// hours, minutes and seconds.
function timeRange() {
  var x = __args(arguments), a = x.a.map(Number), t = x.now;
  for (var i = 0; i < a.length; ++i) if (isNaN(a[i])) return false;
  switch (a.length) {
    case 1: return t.hour == a[0];
    case 2: return a[0] <= a[1] ? t.hour >= a[0] && t.hour < a[1] : t.hour >= a[0] || t.hour < a[1];
    case 4: return __within(t.hour * 60 + t.min, a[0] * 60 + a[1], a[2] * 60 + a[3]);
    case 6: return __within(t.hour * 3600 + t.min * 60 + t.sec, a[0] * 3600 + a[1] * 60 + a[2], a[3] * 3600 + a[4] * 60 + a[5]);
  }
  return false;
}
function alert(message) {}
)JS";

}  // namespace

}  // namespace cvhttp

// The engine's execution-timeout hook, asked at intervals while script code runs.
extern "C" int CvScriptTimedOut(void* udata) {
  return std::chrono::steady_clock::now() >= static_cast<cvhttp::Budget*>(udata)->deadline;
}

namespace cvhttp {

bool EvaluateInEngine(const std::string& script, const std::string& url, const std::string& host, std::string& answer) {
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

#endif
