#include "platform/base/time.h"
#include "platform/com/com.h"
#include "platform/com/variant_text.h"

int SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DATE* pvtime) {
  return lpSystemTime && pvtime && plat::SystemTimeToVariantTime(lpSystemTime, pvtime) ? 1 : 0;
}

int VariantTimeToSystemTime(DATE vtime, SYSTEMTIME* lpSystemTime) {
  return lpSystemTime && plat::com::DateInRange(vtime) && plat::VariantTimeToSystemTime(vtime, lpSystemTime) ? 1 : 0;
}

HRESULT VarBstrFromDate(DATE dateIn, LCID, ULONG, BSTR* pbstrOut) {
  if (!pbstrOut) return E_INVALIDARG;
  auto text = plat::com::FormatDate(dateIn);
  if (!text) return DISP_E_OVERFLOW;
  std::u16string wide(text->begin(), text->end());
  *pbstrOut = SysAllocStringLen(wide.data(), UINT(wide.size()));
  return *pbstrOut ? S_OK : E_OUTOFMEMORY;
}

HRESULT VarDateFromStr(const OLECHAR* strIn, LCID, ULONG, DATE* pdateOut) {
  if (!strIn || !pdateOut) return E_INVALIDARG;
  return plat::com::ParseDate(strIn, pdateOut);
}
