#pragma once
// Finds a part's headers by name without walking its list: parsing a message whose headers
// carry many different names stays linear in their number. The list keeps the headers in
// their stored order; the index knows, for each name (any case), its live headers in that
// order, and the emptied nodes (deleted headers) a new name may take over.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct MimeHeader;

namespace cvmime {

class HeaderIndex {
 public:
  HeaderIndex() = default;
  // It points into its part's list: it never travels without it.
  HeaderIndex(const HeaderIndex&) = delete;
  HeaderIndex& operator=(const HeaderIndex&) = delete;

  // The first live header of the name, or null.
  MimeHeader* First(std::string_view name) const noexcept;
  // Every live header of the name, in list order (empty when none).
  const std::vector<MimeHeader*>& All(std::string_view name) const noexcept;
  // A node's place in the list, for a node about to be appended.
  uint64_t NextPlace() noexcept { return nextPlace_++; }
  // The node now carries its name: new, reused (old ""), or renamed from old.
  void Named(MimeHeader& header, std::string_view old);
  // The node is about to lose its name: its slot may be taken over later.
  void Emptying(MimeHeader& header);
  // The first emptied node in list order (no longer counted as emptied), or null.
  MimeHeader* TakeEmptied() noexcept;

 private:
  // Names compared without regard to ASCII case, looked up without a copy.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  void Remove(MimeHeader& header, std::string_view name) noexcept;

  std::unordered_map<std::string, std::vector<MimeHeader*>, NameHash, NameEqual> byName_;  // each in list order
  std::map<uint64_t, MimeHeader*> emptied_;                                                // by place
  uint64_t nextPlace_ = 0;
};

}  // namespace cvmime
