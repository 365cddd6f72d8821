#pragma once
// Automation and COM data types with their documented layouts and codes. These keep their
// usual names at global scope so that host code reads as hosts expect.
#include <cstdint>

#include "platform/types.h"

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using SCODE = int32_t;
using DISPID = int32_t;
using MEMBERID = DISPID;
using LCID = uint32_t;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6, VT_DATE = 7, VT_BSTR = 8,
  VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13, VT_DECIMAL = 14, VT_I1 = 16,
  VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21, VT_INT = 22, VT_UINT = 23, VT_VOID = 24,
  VT_HRESULT = 25, VT_ARRAY = 0x2000, VT_BYREF = 0x4000, VT_TYPEMASK = 0x0FFF,
};

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;
struct VARIANT;

union CY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  } s;
  int64_t int64;
};

struct DECIMAL {
  uint16_t wReserved;
  uint8_t scale;
  uint8_t sign;
  uint32_t Hi32;
  uint64_t Lo64;
};

// 24 bytes on 64-bit targets as on the original platform: the type, three reserved words and
// a 16-byte union.
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    uint8_t* pbVal;
    int16_t* piVal;
    int32_t* plVal;
    int64_t* pllVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    void* byref;
    int8_t cVal;
    uint16_t uiVal;
    uint32_t ulVal;
    uint64_t ullVal;
    int32_t intVal;
    uint32_t uintVal;
    int8_t* pcVal;
    uint16_t* puiVal;
    uint32_t* pulVal;
    uint64_t* pullVal;
    int32_t* pintVal;
    uint32_t* puintVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecVal;
  };
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*) || sizeof(void*) == 4);

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];  // cDims entries, the rightmost dimension first
};

inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  uint64_t QuadPart;
};

struct SIZEL {
  LONG cx;
  LONG cy;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPCRECT = const RECT*;

// Dispatch identifiers and flags.
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_ABOUTBOX = -552;
inline constexpr DISPID DISPID_ENABLED = -514;
inline constexpr DISPID DISPID_AMBIENT_USERMODE = -709;
inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x400;

// Class contexts and initialisation flags.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_INPROC = 0x3;
inline constexpr DWORD CLSCTX_ALL = 0x17;
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// HRESULTs of the Automation and COM runtime (documented values).
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = HRESULT(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = HRESULT(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = HRESULT(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = HRESULT(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = HRESULT(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = HRESULT(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = HRESULT(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = HRESULT(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = HRESULT(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = HRESULT(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = HRESULT(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = HRESULT(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = HRESULT(0x8002000F);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = HRESULT(0x80020011);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HRESULT(0x8002802B);
inline constexpr HRESULT RPC_E_CHANGED_MODE = HRESULT(0x80010106);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = HRESULT(0x80030001);
inline constexpr HRESULT STG_E_INVALIDPOINTER = HRESULT(0x80030009);
inline constexpr HRESULT STG_E_MEDIUMFULL = HRESULT(0x80030070);
inline constexpr HRESULT OLE_E_NOCONNECTION = HRESULT(0x80040004);
inline constexpr HRESULT OLE_E_NOT_INPLACEACTIVE = HRESULT(0x80040010);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = HRESULT(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HRESULT(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = HRESULT(0x80040150);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = HRESULT(0x80040154);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = HRESULT(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = HRESULT(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = HRESULT(0x80040202);
inline constexpr HRESULT SELFREG_E_CLASS = HRESULT(0x80040201);
inline constexpr HRESULT CO_E_NOTINITIALIZED = HRESULT(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = HRESULT(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = HRESULT(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = HRESULT(0x800401F9);
inline constexpr HRESULT CO_E_NOT_SUPPORTED = HRESULT(0x80004021);
