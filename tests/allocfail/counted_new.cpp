#include "counted_new.h"

#include <cstdlib>
#include <new>

#include "platform/base/heap_faults.h"

namespace allocfail {
namespace {
thread_local bool tArmed = false;
thread_local bool tCountNew = false;
}  // namespace

CxxFaultsArmed::CxxFaultsArmed(bool on) noexcept : was_(tArmed) { tArmed = on; }
CxxFaultsArmed::~CxxFaultsArmed() { tArmed = was_; }

LibraryCalls::LibraryCalls() noexcept : was_(tCountNew) { tCountNew = tArmed; }
LibraryCalls::~LibraryCalls() { tCountNew = was_; }

void CountNewOnThisThread(bool on) noexcept { tArmed = tCountNew = on; }

}  // namespace allocfail

void* operator new(std::size_t n) {
  if (allocfail::tCountNew && plat::testing::CountAllocation()) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// Every form that pairs with the deletes above comes from here too (the sanitizer's own
// would not match them).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return ::operator new(n, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
