#pragma once
// Where a noexcept call of a library runs code that allocates with C++ new, a failed
// allocation must end that call with the out-of-memory error, not end the process.
#include <new>

#include "core/errors/error_codes.h"

namespace cvcore {

// The result of body(), or fail(cvErrorOutOfMemory) when body throws std::bad_alloc; what
// body built is released by its own destructors on the way out.
template <class Body, class Fail>
auto OrOutOfMemory(Body&& body, Fail&& fail) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(cvErrorOutOfMemory);
  }
}

}  // namespace cvcore
