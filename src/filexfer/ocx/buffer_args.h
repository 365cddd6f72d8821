#pragma once
// The Buffer and Length arguments of the memory transfers and of GetFileList: what a
// host's VARIANT may hold, read out as bytes or filled with received bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/com.h"

namespace filexfer {

// Checks that buffer can receive data: a string (or empty) or a one-dimensional byte
// array (or none yet). 0x80070057 or 0x80020005 otherwise; a null buffer is refused.
HRESULT CheckReceiveBuffer(const VARIANT* buffer);

// Stores data into a checked buffer: text decoded from UTF-8 into a string, or bytes
// into the byte array (a new one of exactly the data's size when there is none yet, else
// as many as both hold). *stored receives the count in bytes.
HRESULT StoreReceivedData(VARIANT* buffer, std::string_view data, uint32_t* stored);

// The count in a host's Length: through its reference for VT_BYREF|VT_I4, as the value of
// a VT_I4 or VT_EMPTY (whose type is kept), else not at all.
void StoreLength(VARIANT* length, uint32_t count);

// The bytes to send from a host's Buffer: the UTF-8 form of a string, or the elements of
// a one-dimensional byte array.
HRESULT ReadSendBuffer(const VARIANT& buffer, std::string* data);

}  // namespace filexfer
