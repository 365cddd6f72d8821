#pragma once
// The Buffer arguments of Read, Peek, Write and Broadcast: text (UTF-16 at the host, UTF-8
// on the wire), I2, I4 and UI1 scalars, and one-dimensional arrays of them, by value or by
// reference. Integers can travel in network byte order.
#include <cstdint>
#include <string>

#include "platform/com/com.h"

namespace tcpsrvctl {

// How received bytes are stored into a host's buffer.
struct ReceiveTarget {
  enum class Form { Text, Scalar, Array, NewArray } form = Form::Text;
  VARIANT* variant = nullptr;  // the host's VARIANT (by-reference VARIANTs followed)
  VARTYPE element = VT_UI1;    // Scalar, Array, NewArray
  uint32_t capacity = 0;       // bytes to ask for
};

inline constexpr uint32_t kDefaultTextSize = 8192;

// Checks the buffer and works out the byte count to read. length < 0: not given.
HRESULT PlanReceive(VARIANT* buffer, int32_t length, ReceiveTarget* target);
// Stores n received bytes as the plan says.
HRESULT StoreReceived(const ReceiveTarget& target, const char* data, uint32_t n, bool networkOrder);

// The bytes to send from a host's buffer, cut to length when it is given (>= 0).
HRESULT SendBytes(const VARIANT& buffer, int32_t length, bool networkOrder, std::string* out);

}  // namespace tcpsrvctl
