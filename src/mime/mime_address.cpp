// Bare e-mail addresses out of display forms, and recipient lists out of To and Cc.
#include <cstring>
#include <new>
#include <vector>

#include "mime/mime_internal.h"

namespace {

bool HasAfter(std::string_view t, size_t i, char c) { return t.find(c, i + 1) != std::string_view::npos; }

// The address of one piece of text; false with the last error set.
bool ParseAddress(std::string_view input, const char* defaultDomain, size_t size, std::string& result) {
  std::string domain;
  if (defaultDomain) {
    std::string_view d(defaultDomain);
    while (!d.empty() && cvmime::IsWhite(d.front())) d.remove_prefix(1);
    if (!d.empty()) {
      if (d.front() == '@') d.remove_prefix(1);
      if (d.empty() || d.find('@') != std::string_view::npos) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
      domain.assign(d);
    }
  }
  std::string_view t = cvmime::Trim(input);
  if (t.size() > 1 && ((t.front() == '"' && t.back() == '"') || (t.front() == '\'' && t.back() == '\''))) {
    t = t.substr(1, t.size() - 2);
  }
  if (t.empty()) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);

  std::string collection;
  bool mark = false, inQuote = false, inComment = false, inFax = false, wordEnded = false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (inComment) {
      if (c == ')') inComment = false;
      continue;
    }
    if (wordEnded) {
      wordEnded = false;
      if (mark && collection.find(' ') == std::string::npos) break;
      collection.clear();
      mark = false;
    }
    if (inFax) {
      if (cvmime::IsWhite(c)) continue;
      collection.push_back(c);
      if (c == ']') {
        inFax = false;
        wordEnded = true;
      }
    } else if (c == '"' && !mark) {
      collection.push_back(c);
      if (inQuote) wordEnded = true;
      inQuote = !inQuote;
    } else if (inQuote) {
      collection.push_back(cvmime::IsWhite(c) ? ' ' : c);
    } else if (cvmime::IsWhite(c)) {
      wordEnded = true;
    } else if (c == '@' || c == '!') {
      mark = true;
      collection.push_back(c);
    } else if (c == '<' && HasAfter(t, i, '>')) {
      collection.clear();
      mark = true;
    } else if (c == '>' && mark) {
      wordEnded = true;
    } else if (c == '[' && HasAfter(t, i, ']')) {
      mark = true;
      collection.clear();
      if (cvmime::IStartsWith(t.substr(i + 1), "FAX:")) {
        collection.push_back('[');
        inFax = true;
      }
    } else if (c == ']' && mark) {
      wordEnded = true;
    } else if (c == '(' && HasAfter(t, i, ')')) {
      inComment = true;
    } else {
      collection.push_back(c);
    }
    if (collection.size() >= size) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
  }

  std::string_view r(collection);
  if (r.empty() || r.find(' ') != std::string_view::npos) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
  if (r.size() > 1 && r.front() == '\'' && r.back() == '\'') {
    r = r.substr(1, r.size() - 2);
    if (r.empty()) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
  }
  if (r.size() > 1 && (r.front() == '<' || r.front() == '[')) r.remove_prefix(1);
  const size_t at = r.find('@');
  if (at != std::string_view::npos) {
    // An empty local part is no address either.
    if (at == 0 || (at + 1 < r.size() && r[at + 1] == '.')) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
    if (r.find('@', at + 1) != std::string_view::npos) return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
    result.assign(r);
  } else {
    if (domain.empty() || r.size() + 1 + domain.size() >= size)
      return cvmime::Fail<bool>(cvErrorInvalidParameter, false);
    result.assign(r).append(1, '@').append(domain);
  }
  return true;
}

// The addresses of the To and Cc headers of part 0 and of the extra text, in order.
bool CollectRecipients(LibHandle handle, const char* extra, std::vector<std::string>& out) {
  std::string work;
  if (handle != kInvalidLibHandle) {
    MimeMessage* m = cvmime::GetMessage(handle);
    if (!m) return false;
    if (!m->parts.empty()) {
      for (MimeHeader& h : m->parts[0]->headers) {
        if (h.emptied() || !(cvmime::IEquals(h.name, "To") || cvmime::IEquals(h.name, "Cc"))) continue;
        work.append(cvmime::DisplayValue(h)).append(1, ',');
      }
    }
  }
  if (extra && *extra) work.append(extra);
  const uint32_t saved = cvmime::Library().GetLastError();
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= work.size(); ++i) {
    if (i < work.size() && work[i] == '"') quoted = !quoted;
    if (i < work.size() && (quoted || (work[i] != ',' && work[i] != ';'))) continue;
    std::string address;
    if (i > start && ParseAddress(std::string_view(work).substr(start, i - start), nullptr, 256, address))
      out.push_back(std::move(address));
    start = i + 1;
  }
  cvmime::Library().SetLastError(saved);  // pieces that are no address are skipped
  return true;
}

}  // namespace

int32_t MimeParseAddress(const char* text, const char* defaultDomain, char* buffer, int32_t size) {
  if (!text || !buffer) return cvmime::Fail<int32_t>(cvErrorInvalidParameter, -1);
  if (size < 1) return cvmime::Fail<int32_t>(cvErrorBufferTooSmall, -1);
  std::string result;
  try {
    if (!ParseAddress(text, defaultDomain, size_t(size), result)) return -1;
  } catch (const std::bad_alloc&) {
    return cvmime::Fail<int32_t>(cvErrorOutOfMemory, -1);
  }
  return cvmime::CopyOut(result, buffer, size);
}

int32_t MimeGetRecipients(LibHandle handle, const char* extra, char* buffer, uint32_t* size) {
  uint32_t room = 0;
  if (buffer) {
    if (!size || *size == 0) return cvmime::Fail<int32_t>(cvErrorInvalidParameter, -1);
    room = *size;
    std::memset(buffer, 0, room);
  }
  if (size) *size = 0;
  std::vector<std::string> list;
  try {
    if (!CollectRecipients(handle, extra, list)) return -1;
  } catch (const std::bad_alloc&) {
    return cvmime::Fail<int32_t>(cvErrorOutOfMemory, -1);
  }
  uint32_t used = 0;
  for (const std::string& a : list) {
    const uint32_t n = uint32_t(a.size() + 1);
    if (buffer) {
      if (used + n + 1 > room) return cvmime::Fail<int32_t>(cvErrorOutOfMemory, -1);
      std::memcpy(buffer + used, a.c_str(), n);
    }
    used += n;
  }
  if (!list.empty()) {
    if (buffer) buffer[used] = '\0';
    ++used;
  }
  if (size) *size = used;
  return int32_t(list.size());
}

int32_t MimeGetAllRecipients(LibHandle handle, const char* extra, char* buffer, int32_t size) {
  if (buffer && size < 1) return cvmime::Fail<int32_t>(cvErrorBufferTooSmall, -1);
  std::vector<std::string> list;
  try {
    if (!CollectRecipients(handle, extra, list)) return -1;
  } catch (const std::bad_alloc&) {
    return cvmime::Fail<int32_t>(cvErrorOutOfMemory, -1);
  }
  if (list.empty()) return 0;
  std::string joined;
  size_t needed = 1;  // the list's final NUL
  for (const std::string& a : list) {
    if (!joined.empty()) joined.push_back(',');
    joined.append(a);
    needed += a.size() + 1;
  }
  if (!buffer) return int32_t((needed / 32 + 1) * 32);
  if (size_t(size) < needed) return cvmime::Fail<int32_t>(cvErrorBufferTooSmall, -1);
  return cvmime::CopyOut(joined, buffer, size);
}
