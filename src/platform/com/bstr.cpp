#include <cstdlib>
#include <cstring>

#include "platform/base/utf.h"
#include "platform/com/com.h"

namespace {

// Layout: [uint32 byte length][characters][16-bit terminator]; the BSTR points at the characters.
BSTR AllocBytes(const void* data, UINT bytes) {
  if (bytes > 0x7FFFFFF0u) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(sizeof(uint32_t) + size_t(bytes) + sizeof(OLECHAR) + 1));
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  uint8_t* chars = block + sizeof(uint32_t);
  if (data) std::memcpy(chars, data, bytes);
  else std::memset(chars, 0, bytes);
  chars[bytes] = 0;
  chars[bytes + 1] = 0;
  chars[bytes + 2] = 0;  // an odd byte length still ends in a whole wide terminator
  return reinterpret_cast<BSTR>(chars);
}

uint8_t* BlockOf(BSTR b) { return reinterpret_cast<uint8_t*>(b) - sizeof(uint32_t); }

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  return SysAllocStringLen(psz, UINT(plat::WideLength(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  if (cch > 0x3FFFFFF0u) return nullptr;
  return AllocBytes(pch, cch * UINT(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) { return AllocBytes(psz, len); }

int SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return 0;
  BSTR fresh = SysAllocStringLen(psz, len);  // psz may point into the old string
  if (!fresh) return 0;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return 1;
}

int SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  return SysReAllocStringLen(pbstr, psz, psz ? UINT(plat::WideLength(psz)) : 0);
}

void SysFreeString(BSTR bstr) {
  if (bstr) std::free(BlockOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, BlockOf(bstr), sizeof bytes);
  return bytes;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / UINT(sizeof(OLECHAR)); }
