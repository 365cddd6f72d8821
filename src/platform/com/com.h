#pragma once
// The COM and Automation runtime: strings, variants, arrays, error information, class lookup
// through the registry and in-process servers loaded with dlopen.
#include "platform/com/com_types.h"
#include "platform/com/interfaces.h"

// Strings: a 32-bit byte length before the characters, a terminator after them, malloc storage.
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);  // pch may be null: uninitialised characters
BSTR SysAllocStringByteLen(const char* psz, UINT len);
int SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
int SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

// Variants.
void VariantInit(VARIANTARG* pvarg);
HRESULT VariantClear(VARIANTARG* pvarg);
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x2;
// Text to number: plain decimal parsing (sign, digits, fraction, exponent) and "&H" hex;
// float to integer rounds half to even; out of range DISP_E_OVERFLOW; unparsable text
// DISP_E_TYPEMISMATCH. Source and destination may be the same variant.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);

// Dates: OLE DATE <-> fields (see platform/base/time.h) and text ("M/D/YYYY h:mm:ss AM", the date
// alone at midnight, the time alone on day 0; parsing also accepts ISO 8601).
int SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DATE* pvtime);
int VariantTimeToSystemTime(DATE vtime, SYSTEMTIME* lpSystemTime);
HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarDateFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DATE* pdateOut);

// Arrays. Bounds passed to SafeArrayCreate are in dimension order (first dimension first);
// index vectors too; the first dimension varies fastest in memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayDestroyData(SAFEARRAY* psa);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
// Get copies out (a new BSTR, an AddRef'd interface, a VariantCopy); Put copies in and frees
// the element's old content.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Changes the last dimension's bounds; elements that fall away are freed, new ones are zero.
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

// Per-thread error object.
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);  // S_FALSE when none; takes it out
HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);

// Task memory.
void* CoTaskMemAlloc(size_t cb);
void* CoTaskMemRealloc(void* pv, size_t cb);
void CoTaskMemFree(void* pv);

// Apartments: the first CoInitializeEx of a thread creates its message queue.
HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
HRESULT CoInitialize(void* pvReserved);
void CoUninitialize();

// Class identifiers and ProgIDs (looked up under HKEY_CLASSES_ROOT).
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);  // characters written with the terminator, 0 if too small
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);     // CoTaskMemAlloc'd
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);  // "{...}" or a ProgID
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);  // CoTaskMemAlloc'd

// In-process servers: HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 names the module; it is loaded
// once per process (never unloaded) and its DllGetClassObject asked for the class object.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using LPFNCANUNLOADNOW = HRESULT (*)();

// A growable in-memory stream, positioned at 0, holding a copy of the given bytes.
IStream* SHCreateMemStream(const BYTE* pInit, UINT cbInit);
