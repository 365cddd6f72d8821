// Bare e-mail addresses out of display forms, and recipient lists out of To and Cc.
#include <cstring>
#include <new>
#include <vector>

#include "mime/mime_internal.h"

namespace {

bool HasAfter(std::string_view t, size_t i, char c) { return t.find(c, i + 1) != std::string_view::npos; }

using cvcore::Status;

// The address of one piece of text.
Status ParseAddress(std::string_view input, const char* defaultDomain, size_t size, std::string& result) {
  std::string domain;
  if (defaultDomain) {
    std::string_view d(defaultDomain);
    while (!d.empty() && cvmime::IsWhite(d.front())) d.remove_prefix(1);
    if (!d.empty()) {
      if (d.front() == '@') d.remove_prefix(1);
      if (d.empty() || d.find('@') != std::string_view::npos) return Status(cvErrorInvalidParameter);
      domain.assign(d);
    }
  }
  std::string_view t = cvmime::Trim(input);
  if (t.size() > 1 && ((t.front() == '"' && t.back() == '"') || (t.front() == '\'' && t.back() == '\''))) {
    t = t.substr(1, t.size() - 2);
  }
  if (t.empty()) return Status(cvErrorInvalidParameter);

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
    if (collection.size() >= size) return Status(cvErrorInvalidParameter);
  }

  std::string_view r(collection);
  if (r.empty() || r.find(' ') != std::string_view::npos) return Status(cvErrorInvalidParameter);
  if (r.size() > 1 && r.front() == '\'' && r.back() == '\'') {
    r = r.substr(1, r.size() - 2);
    if (r.empty()) return Status(cvErrorInvalidParameter);
  }
  if (r.size() > 1 && (r.front() == '<' || r.front() == '[')) r.remove_prefix(1);
  const size_t at = r.find('@');
  if (at != std::string_view::npos) {
    // An empty local part is no address either.
    if (at == 0 || (at + 1 < r.size() && r[at + 1] == '.')) return Status(cvErrorInvalidParameter);
    if (r.find('@', at + 1) != std::string_view::npos) return Status(cvErrorInvalidParameter);
    result.assign(r);
  } else {
    if (domain.empty() || r.size() + 1 + domain.size() >= size) return Status(cvErrorInvalidParameter);
    result.assign(r).append(1, '@').append(domain);
  }
  return Status();
}

// The addresses of the To and Cc headers of part 0 and of the extra text, in order.
Status CollectRecipients(LibHandle handle, const char* extra, std::vector<std::string>& out) {
  std::string work;
  if (handle != kInvalidLibHandle) {
    const cvcore::Result<MimeMessage*> found = cvmime::Library().LookupOwned(handle);
    if (!found.ok()) return found.status();
    MimeMessage* m = found.value();
    if (!m->parts.empty()) {
      for (MimeHeader& h : m->parts[0]->headers) {
        if (h.emptied() || !(cvmime::IEquals(h.name, "To") || cvmime::IEquals(h.name, "Cc"))) continue;
        work.append(cvmime::DisplayValue(h)).append(1, ',');
      }
    }
  }
  if (extra && *extra) work.append(extra);
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= work.size(); ++i) {
    if (i < work.size() && work[i] == '"') quoted = !quoted;
    if (i < work.size() && (quoted || (work[i] != ',' && work[i] != ';'))) continue;
    std::string address;
    // Pieces that are no address are skipped.
    if (i > start && ParseAddress(std::string_view(work).substr(start, i - start), nullptr, 256, address).ok())
      out.push_back(std::move(address));
    start = i + 1;
  }
  return Status();
}

}  // namespace

using cvmime::Library;

int32_t MimeParseAddress(const char* text, const char* defaultDomain, char* buffer, int32_t size) {
  if (!text || !buffer) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  if (size < 1) return Library().Finish(Status(cvErrorBufferTooSmall), 0, -1);
  std::string result;
  const Status parsed =
      cvcore::OrOutOfMemory([&] { return ParseAddress(text, defaultDomain, size_t(size), result); }, cvmime::Failed);
  if (!parsed.ok()) return Library().Finish(parsed, 0, -1);
  return cvmime::CopyOut(result, buffer, size);
}

int32_t MimeGetRecipients(LibHandle handle, const char* extra, char* buffer, uint32_t* size) {
  uint32_t room = 0;
  if (buffer) {
    if (!size || *size == 0) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
    room = *size;
    std::memset(buffer, 0, room);
  }
  if (size) *size = 0;
  std::vector<std::string> list;
  const Status collected =
      cvcore::OrOutOfMemory([&] { return CollectRecipients(handle, extra, list); }, cvmime::Failed);
  if (!collected.ok()) return Library().Finish(collected, 0, -1);
  uint32_t used = 0;
  for (const std::string& a : list) {
    const uint32_t n = uint32_t(a.size() + 1);
    if (buffer) {
      if (used + n + 1 > room) return Library().Finish(Status(cvErrorOutOfMemory), 0, -1);
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
  if (buffer && size < 1) return Library().Finish(Status(cvErrorBufferTooSmall), 0, -1);
  std::vector<std::string> list;
  const Status collected =
      cvcore::OrOutOfMemory([&] { return CollectRecipients(handle, extra, list); }, cvmime::Failed);
  if (!collected.ok()) return Library().Finish(collected, 0, -1);
  if (list.empty()) return 0;
  std::string joined;
  size_t needed = 1;  // the list's final NUL
  for (const std::string& a : list) {
    if (!joined.empty()) joined.push_back(',');
    joined.append(a);
    needed += a.size() + 1;
  }
  if (!buffer) return int32_t((needed / 32 + 1) * 32);
  if (size_t(size) < needed) return Library().Finish(Status(cvErrorBufferTooSmall), 0, -1);
  return cvmime::CopyOut(joined, buffer, size);
}
