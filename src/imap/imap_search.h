#pragma once
// The message numbers of SEARCH responses, read as a response's text streams in: a mailbox
// of many thousands of messages answers with a line far longer than any response text the
// session keeps, and every number of it counts. Pure: fed bytes, no I/O.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cvimap {

class SearchNumbers {
 public:
  // Stores the first capacity numbers into numbers (null: only counts them).
  SearchNumbers(uint32_t* numbers, int32_t capacity) noexcept : numbers_(numbers), capacity_(capacity) {}

  // A new SEARCH response; its text (after the keyword) follows in pieces of any size.
  void BeginResponse() noexcept;
  void Feed(std::string_view text) noexcept;
  // The response has ended: a number it ended with counts.
  void EndResponse() noexcept;

  int32_t found() const noexcept { return found_; }

 private:
  void Take() noexcept;

  uint32_t* numbers_;
  int32_t capacity_;
  int32_t found_ = 0;
  uint64_t value_ = 0;
  bool inNumber_ = false;
  bool extension_ = false;  // a parenthesised extension (MODSEQ...) ends the numbers
};

// Where the text of an untagged SEARCH response starts in a line read from the server
// ("* SEARCH 2 3"), or npos when the line is no SEARCH response.
size_t SearchTextStart(std::string_view line) noexcept;

}  // namespace cvimap
