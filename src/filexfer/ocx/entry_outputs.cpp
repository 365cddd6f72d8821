#include "filexfer/ocx/entry_outputs.h"

#include <cstring>

#include "platform/base/utf.h"

namespace filexfer {

void OutText(VARIANT* v, const std::u16string& text) {
  if (!v) return;
  BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
  if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal) {
    SysFreeString(*v->pbstrVal);
    *v->pbstrVal = b;
    return;
  }
  VariantClear(v);
  v->vt = VT_BSTR;
  v->bstrVal = b;
}

void OutLong(VARIANT* v, int32_t value) {
  if (!v) return;
  if (v->vt == (VT_BYREF | VT_I4) && v->plVal) {
    *v->plVal = value;
    return;
  }
  VariantClear(v);
  v->vt = VT_I4;
  v->lVal = value;
}

void OutBoolean(VARIANT* v, bool value) {
  if (!v) return;
  const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
  if (v->vt == (VT_BYREF | VT_BOOL) && v->pboolVal) {
    *v->pboolVal = b;
    return;
  }
  VariantClear(v);
  v->vt = VT_BOOL;
  v->boolVal = b;
}

namespace {
// A fixed text field of the entry, whether or not it ends in a zero.
template <size_t N>
std::u16string Field(const char (&text)[N]) {
  return plat::ToUtf16(std::string_view(text, strnlen(text, N)));
}

// Outputs left empty by the host are not reset: a script passes an unused variable so.
VARIANT* Given(VARIANT* v) { return v && v->vt != VT_EMPTY ? v : nullptr; }
}  // namespace

void ResetEntryOutputs(const EntryOutputs& out, bool resetName) {
  if (resetName) OutText(out.fileName, u"");
  OutLong(Given(out.fileLength), 0);
  OutText(Given(out.fileDate), u"");
  OutText(Given(out.fileOwner), u"");
  OutText(Given(out.fileGroup), u"");
  OutLong(Given(out.filePerms), 0);
  OutBoolean(Given(out.isDirectory), false);
}

void WriteEntryOutputs(const EntryOutputs& out, const FtpFileInfo& entry) {
  OutText(out.fileName, Field(entry.name));
  OutLong(out.fileLength, int32_t(entry.size));
  OutText(out.fileDate, DateText(entry.modified));
  OutText(out.fileOwner, Field(entry.owner));
  OutText(out.fileGroup, Field(entry.group));
  OutLong(out.filePerms, int32_t(entry.permissions));
  OutBoolean(out.isDirectory, entry.directory != 0);
}

std::u16string DateText(const SYSTEMTIME& time) {
  if (time.wYear == 0) return {};
  SYSTEMTIME t = time;
  DATE date = 0;
  if (!SystemTimeToVariantTime(&t, &date)) return {};
  BSTR text = nullptr;
  if (FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text)) || !text) return {};
  std::u16string result(text, SysStringLen(text));
  SysFreeString(text);
  return result;
}

}  // namespace filexfer
