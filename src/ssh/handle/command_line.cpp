// Splitting command lines into words, with values kept whole.
#include "ssh/handle/command_line.h"

namespace cvssh {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
}  // namespace

void CommandLineSplitter::FlushBackslashes() {
  word_.append(backslashes_, '\\');
  backslashes_ = 0;
}

void CommandLineSplitter::Text(std::string_view text) {
  for (char c : text) {
    if (c == '\\') {
      backslashes_++;
      inWord_ = true;
      continue;
    }
    if (c == '"') {
      // Pairs of backslashes before a quote give one each; an odd one makes it literal.
      word_.append(backslashes_ / 2, '\\');
      const bool literal = backslashes_ % 2 != 0;
      backslashes_ = 0;
      inWord_ = true;
      if (literal) word_ += '"';
      else quoted_ = !quoted_;
      continue;
    }
    FlushBackslashes();
    if (IsBlank(c) && !quoted_) {
      if (inWord_) words_.push_back(std::move(word_));
      word_.clear();
      inWord_ = false;
      continue;
    }
    word_ += c;
    inWord_ = true;
  }
}

void CommandLineSplitter::Value(std::string_view value) {
  FlushBackslashes();
  word_.append(value);
  inWord_ = true;
}

std::vector<std::string> CommandLineSplitter::Finish() {
  FlushBackslashes();
  if (inWord_) words_.push_back(std::move(word_));
  word_.clear();
  inWord_ = false;
  quoted_ = false;
  return std::move(words_);
}

}  // namespace cvssh
