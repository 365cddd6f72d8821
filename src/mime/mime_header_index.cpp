// The index of a part's headers by name.
#include "mime/mime_header_index.h"

#include <algorithm>

#include "mime/mime_internal.h"
#include "mime/mime_records.h"

namespace cvmime {

size_t HeaderIndex::NameHash::operator()(std::string_view name) const noexcept {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the lower-case bytes
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    h = (h ^ uint8_t(c)) * 1099511628211ull;
  }
  return size_t(h);
}

bool HeaderIndex::NameEqual::operator()(std::string_view a, std::string_view b) const noexcept { return IEquals(a, b); }

MimeHeader* HeaderIndex::First(std::string_view name) const noexcept {
  const auto it = byName_.find(name);
  return it == byName_.end() || it->second.empty() ? nullptr : it->second.front();
}

const std::vector<MimeHeader*>& HeaderIndex::All(std::string_view name) const noexcept {
  static const std::vector<MimeHeader*> kNone;
  const auto it = byName_.find(name);
  return it == byName_.end() ? kNone : it->second;
}

void HeaderIndex::Remove(MimeHeader& header, std::string_view name) noexcept {
  const auto it = byName_.find(name);
  if (it == byName_.end()) return;
  std::erase(it->second, &header);
  if (it->second.empty()) byName_.erase(it);
}

void HeaderIndex::Named(MimeHeader& header, std::string_view old) {
  if (old.empty()) {
    emptied_.erase(header.place);
  } else {
    if (IEquals(old, header.name)) return;
    Remove(header, old);
  }
  auto it = byName_.find(std::string_view(header.name));
  if (it == byName_.end()) it = byName_.emplace(header.name, std::vector<MimeHeader*>{}).first;
  std::vector<MimeHeader*>& same = it->second;
  // Mostly the last in list order; a reused emptied node may come before others.
  const auto at = std::upper_bound(same.begin(), same.end(), header.place,
                                   [](uint64_t place, const MimeHeader* h) { return place < h->place; });
  same.insert(at, &header);
}

void HeaderIndex::Emptying(MimeHeader& header) {
  Remove(header, header.name);
  emptied_.emplace(header.place, &header);
}

MimeHeader* HeaderIndex::TakeEmptied() noexcept {
  if (emptied_.empty()) return nullptr;
  MimeHeader* h = emptied_.begin()->second;
  emptied_.erase(emptied_.begin());
  return h;
}

}  // namespace cvmime
