#pragma once
// Line ends of text transfers. The wire carries CR LF (RFC 959's text type); local text on
// this system ends its lines with LF alone. Downloads in a text type collapse CR LF to LF,
// uploads in ASCII type expand every LF to CR LF, so a text file makes the round trip
// through a converting server unchanged.
#include <cstddef>
#include <cstdint>

namespace cvftp {

// Converts text[from, end) in place. text[from - 1], when from > 0, is the converted text
// just before (a CR there joins an LF at from). Returns the end of the converted text.
size_t CollapseLineEnds(char* text, size_t from, size_t end) noexcept;

// Expands the n bytes at text in place; the buffer holds room for 2n. Returns the new length.
size_t ExpandLineEnds(char* text, size_t n) noexcept;

// The download side across blocks: a CR at the end of a block is held back until the next
// block shows whether an LF follows it.
class ReceivedText {
 public:
  // block[1, 1 + n) holds the new bytes (block[0] is spare room for a held CR). Converts
  // them and returns the text to write: it starts at *out and has the returned length.
  // last: no more blocks follow (a held CR is handed out).
  size_t Take(char* block, size_t n, bool last, const char** out) noexcept;
  // Bytes the conversion removed from the text received so far.
  uint64_t removed() const noexcept { return removed_; }

 private:
  bool heldCr_ = false;
  uint64_t removed_ = 0;
};

}  // namespace cvftp
