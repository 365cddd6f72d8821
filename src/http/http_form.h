#pragma once
// Forms: a library-wide table of form records named by handles, each a list of value and
// file fields submitted as multipart/form-data, as application/x-www-form-urlencoded or as
// the query of a GET. The table is guarded by the library lock; a form record itself is not.
#include <cstdint>

#include "core/frame/lib_types.h"

namespace cvhttp {

inline constexpr uint32_t kFormGet = 1, kFormPost = 2;
inline constexpr uint32_t kFormMultipart = 2, kFormUrlEncoded = 1;
inline constexpr uint32_t kFieldValue = 1, kFieldFile = 2;
inline constexpr uint32_t kFormHandleBase = 0x10000;

// One field; its data bytes follow the record in the same block.
struct HttpFormField {
  uint32_t type;
  char name[256];
  char* fileName;
  uint32_t length;
  HttpFormField* next;
  unsigned char* data() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
};

struct HttpForm {
  uint32_t method;
  uint32_t encoding;
  char boundary[256];
  char* action;
  HttpFormField* first;
  HttpFormField* cursor;
};

struct FormTable {
  HttpForm** forms = nullptr;
  uint32_t size = 0;
};

// The form of a handle, or null with cvErrorInvalidFormHandle. The caller holds the
// library lock.
HttpForm* HttpFormFind(LibHandle form) noexcept;

// Creating and filling forms (the boundary is fixed at creation). Handles, or -1 with
// cvErrorOutOfMemory / cvErrorInvalidParameter / cvErrorInvalidFormHandle.
LibHandle FormCreate(uint32_t method, uint32_t encoding, const char* action) noexcept;
int32_t FormAddValue(LibHandle form, const char* name, const void* data, uint32_t length) noexcept;
int32_t FormAddFile(LibHandle form, const char* name, const char* fileName, const void* data,
                    uint32_t length) noexcept;
int32_t FormDelete(LibHandle form) noexcept;

}  // namespace cvhttp
