// Forms: the table, composing a form's body and submitting it.
#include "http/http_form.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "http/http_internal.h"
#include "http/http_transfer.h"
#include "platform/base/tick.h"

namespace cvhttp {

namespace {

FormTable& Table() { return Library().state().forms; }

bool IsMultipart(const HttpForm& f) { return f.method == kFormPost && f.encoding == kFormMultipart; }

char* CopyText(const char* text) {
  const size_t n = text ? std::strlen(text) : 0;
  auto* copy = static_cast<char*>(Library().MemAlloc(n + 1));
  if (copy) {
    if (n) std::memcpy(copy, text, n);
    copy[n] = '\0';
  }
  return copy;
}

void FreeForm(HttpForm* f) {
  for (f->cursor = f->first; f->cursor;) {
    HttpFormField* next = f->cursor->next;
    if (f->cursor->fileName) Library().MemFree(f->cursor->fileName);
    Library().MemFree(f->cursor);
    f->cursor = next;
  }
  if (f->action) Library().MemFree(f->action);
  Library().MemFree(f);
}

// A form value percent-encoded for an url-encoded body. Besides what the path encoding
// escapes, "&", "=", "+" and every "%" are escaped: they would change the fields the
// server reads.
bool AppendEncoded(std::string& out, const unsigned char* data, uint32_t length) {
  char escaped[8];
  for (uint32_t i = 0; i < length; ++i) {
    const unsigned char c = data[i];
    if (c == '&' || c == '=' || c == '+' || c == '%') {
      std::snprintf(escaped, sizeof escaped, "%%%02x", c);
      out += escaped;
    } else {
      const Result<int32_t> n = EncodeText(3, reinterpret_cast<const char*>(&c), 1, escaped, sizeof escaped);
      if (!n.ok()) return false;
      out.append(escaped, size_t(n.value()));
    }
  }
  return true;
}

Status AddField(LibHandle form, uint32_t type, const char* name, const char* fileName, const void* data,
                uint32_t length) {
  std::string checked;
  if (Empty(name) || (!data && length) || !FormDataName(name, checked) || (fileName && !FormDataName(fileName, checked)))
    return Status(cvErrorInvalidParameter);
  std::lock_guard lk(Library().lock());
  const Result<HttpForm*> found = FindForm(form);
  if (!found.ok()) return found.status();
  HttpForm* f = found.value();
  auto* field = static_cast<HttpFormField*>(Library().MemAlloc(sizeof(HttpFormField) + length));
  if (!field) return Status(cvErrorOutOfMemory);
  std::memset(field, 0, sizeof *field);
  field->type = type;
  CopyField(field->name, name);
  field->length = length;
  if (length) std::memcpy(field->data(), data, length);
  if (type == kFieldFile && !(field->fileName = CopyText(fileName))) {
    Library().MemFree(field);
    return Status(cvErrorOutOfMemory);
  }
  HttpFormField** tail = &f->first;
  while (*tail) tail = &(*tail)->next;
  *tail = field;
  return {};
}

Result<LibHandle> NewForm(uint32_t method, uint32_t encoding, const char* action) noexcept {
  if ((method != kFormGet && method != kFormPost)) return Status(cvErrorInvalidFormMethod);
  std::lock_guard lk(Library().lock());
  FormTable& t = Table();
  uint32_t slot = 0;
  while (slot < t.size && t.forms[slot]) ++slot;
  if (slot == t.size) {
    const uint32_t size = t.size + 16;
    auto** grown = static_cast<HttpForm**>(Library().MemAlloc(size * sizeof(HttpForm*)));
    if (!grown) return Status(cvErrorOutOfMemory);
    std::memset(grown, 0, size * sizeof(HttpForm*));
    if (t.forms) {
      std::memcpy(grown, t.forms, t.size * sizeof(HttpForm*));
      Library().MemFree(t.forms);
    }
    t.forms = grown;
    t.size = size;
  }
  auto* f = static_cast<HttpForm*>(Library().MemAlloc(sizeof(HttpForm)));
  if (!f) return Status(cvErrorOutOfMemory);
  std::memset(f, 0, sizeof *f);
  f->method = method;
  f->encoding = encoding;
  if (!(f->action = CopyText(action))) {
    Library().MemFree(f);
    return Status(cvErrorOutOfMemory);
  }
  const uint32_t tick = plat::GetTickCount();
  std::snprintf(f->boundary, sizeof f->boundary, "----CVForm_%04u_%08X_%08X", slot, tick,
                uint32_t(reinterpret_cast<uintptr_t>(f)));
  t.forms[slot] = f;
  return LibHandle(kFormHandleBase + slot);
}

Status DeleteForm(LibHandle form) noexcept {
  std::lock_guard lk(Library().lock());
  const Result<HttpForm*> found = FindForm(form);
  if (!found.ok()) return found.status();
  Table().forms[form - kFormHandleBase] = nullptr;
  FreeForm(found.value());
  return {};
}

// A field or file name inside a quoted header parameter.
std::string Quoted(const char* name) {
  std::string out;
  FormDataName(name, out);
  return out;
}

}  // namespace

bool FormDataName(const char* name, std::string& out) {
  out.clear();
  for (const char* p = name; *p; ++p) {
    if (*p == '\r' || *p == '\n') return false;
    if (*p == '"') out += "%22";
    else out += *p;
  }
  return true;
}

Result<HttpForm*> FindForm(LibHandle form) noexcept {
  FormTable& t = Table();
  const uint64_t index = uint64_t(form) - kFormHandleBase;
  if (form < kFormHandleBase || index >= t.size || !t.forms[index]) return Status(cvErrorInvalidFormHandle);
  return t.forms[index];
}

HttpForm* HttpFormFind(LibHandle form) noexcept { return Finish(FindForm(form), nullptr); }

LibHandle FormCreate(uint32_t method, uint32_t encoding, const char* action) noexcept {
  return Finish(NewForm(method, encoding, action), kInvalidLibHandle);
}

int32_t FormAddValue(LibHandle form, const char* name, const void* data, uint32_t length) noexcept {
  return Finish(AddField(form, kFieldValue, name, nullptr, data, length), 0, -1);
}

int32_t FormAddFile(LibHandle form, const char* name, const char* fileName, const void* data,
                    uint32_t length) noexcept {
  return Finish(AddField(form, kFieldFile, name, fileName, data, length), 0, -1);
}

int32_t FormDelete(LibHandle form) noexcept { return Finish(DeleteForm(form), 0, -1); }

namespace {

// A form's body in a new movable block: the number of fields.
Result<int32_t> Compose(LibHandle form, plat::HGLOBAL* data, uint32_t* length) {
  std::lock_guard lk(Library().lock());
  const Result<HttpForm*> found = FindForm(form);
  if (!found.ok()) return found.status();
  const HttpForm* f = found.value();
  if (!data || !length) return Status(cvErrorInvalidParameter);
  *data = nullptr;
  *length = 0;
  if (!f->first) return Status(cvErrorEmptyForm);
  const bool multipart = IsMultipart(*f);
  uint64_t size = 0;
  int32_t fields = 0;
  for (HttpFormField* p = f->first; p; p = p->next, ++fields)
    size += uint64_t(p->length) * (p->type == kFieldValue && !multipart ? 3 : 1) + (multipart ? 512 : 128);

  std::string body;
  for (HttpFormField* p = f->first; p; p = p->next) {
    if (multipart) {
      body += std::string("--") + f->boundary + "\r\n";
      if (p->type == kFieldValue) {
        body += "Content-Disposition: form-data; name=\"" + Quoted(p->name) + "\"\r\n\r\n";
        body.append(reinterpret_cast<const char*>(p->data()), p->length);
      } else if (p->type == kFieldFile) {
        body += "Content-Disposition: form-data; name=\"" + Quoted(p->name) + "\"; filename=\"" +
                Quoted(p->fileName ? p->fileName : "") + "\"\r\n";
        body += "Content-Type: application/octet-stream\r\n\r\n";
        body.append(reinterpret_cast<const char*>(p->data()), p->length);
      }
      body += "\r\n";
    } else {
      body += p->name;
      body += "=";
      if (p->type == kFieldValue && !AppendEncoded(body, p->data(), p->length)) return Status(cvErrorDataNotEncoded);
      if (p->next) body += "&";
    }
  }
  if (multipart) body += std::string("--") + f->boundary + "--\r\n";
  size = std::max<uint64_t>(size, body.size());
  size = ((size >> 13) + 1) << 13;
  if (size > 0xFFFFFFFFu) return Status(cvErrorOutOfMemory);
  plat::HGLOBAL block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, size_t(size));
  void* p = block ? plat::GlobalLock(block) : nullptr;
  if (!p) {
    if (block) plat::GlobalFree(block);
    return Status(cvErrorOutOfMemory);
  }
  std::memcpy(p, body.data(), body.size());
  plat::GlobalUnlock(block);
  *data = block;
  *length = uint32_t(body.size());
  return fields;
}

Result<int32_t> FormPost(HttpClientSession& s, LibHandle form, plat::HGLOBAL* block, uint32_t* length,
                         uint32_t options) {
  uint32_t method = 0;
  bool multipart = false;
  std::string action, boundary;
  {
    std::lock_guard lk(Library().lock());
    const Result<HttpForm*> found = FindForm(form);
    if (!found.ok()) return found.status();
    const HttpForm* f = found.value();
    method = f->method;
    multipart = IsMultipart(*f);
    action = f->action ? f->action : "";
    boundary = f->boundary;
  }
  if (action.empty()) return Status(cvErrorInvalidFormAction);
  if (s.versionMajor == 0 && method != kFormGet) return Status(cvErrorInvalidFormMethod);
  plat::HGLOBAL body = nullptr;
  uint32_t bodyLength = 0;
  if (const Result<int32_t> composed = Compose(form, &body, &bodyLength); !composed.ok()) return composed;
  const auto* bytes = static_cast<const char*>(plat::GlobalLock(body));
  if (!bytes) {
    plat::GlobalFree(body);
    return Status(cvErrorOutOfMemory);
  }
  Result<int32_t> r = 0;
  if (method == kFormGet) {
    const std::string url = action + "?" + std::string(bytes, bodyLength);
    r = RetrieveData(s, url.c_str(), block, length, options);
  } else if (multipart) {
    // The form's own content headers apply to this request only.
    SetOwnHeader(s, OwnHeader::ContentType, ("multipart/form-data; boundary=" + boundary).c_str());
    SetOwnHeader(s, OwnHeader::ContentLength, std::to_string(bodyLength).c_str());
    r = PostData(s, action.c_str(), bytes, bodyLength, block, length, options | 2);
  } else {
    r = PostData(s, action.c_str(), bytes, bodyLength, block, length, options & ~2u);
  }
  plat::GlobalUnlock(body);
  plat::GlobalFree(body);
  return r;
}

}  // namespace

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpFormCompose(LibHandle form, plat::HGLOBAL* data, uint32_t* length) {
  return Finish(Compose(form, data, length), -1);
}

int32_t HttpFormPost(LibHandle handle, LibHandle form, plat::HGLOBAL* block, uint32_t* length, uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(FormPost(*op.session(), form, block, length, options), -1) : -1;
}

void HttpFormFreeAll() {
  std::lock_guard lk(Library().lock());
  FormTable& t = Table();
  for (uint32_t i = 0; i < t.size; ++i) {
    if (t.forms[i]) FreeForm(t.forms[i]);
    t.forms[i] = nullptr;
  }
  if (t.forms) Library().MemFree(t.forms);
  t.forms = nullptr;
  t.size = 0;
}
