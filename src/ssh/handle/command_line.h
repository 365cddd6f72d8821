#pragma once
// Command lines cut into a program's words the way a started program reads its own command
// line (no shell is involved): blanks and tabs separate words, double quotes group, and
// backslashes are literal except before a double quote, where each pair gives one
// backslash and an odd one makes the quote literal. Values inserted into a command line
// template are fed apart from the template's text: each lands whole in the word being
// built, whatever blanks, quotes or backslashes it holds.
#include <string>
#include <string_view>
#include <vector>

namespace cvssh {

class CommandLineSplitter {
 public:
  // Text of the template itself: it may separate words and open or close quotes.
  void Text(std::string_view text);
  // A value: taken literally into the current word (which it starts when none is open).
  void Value(std::string_view value);
  // The words so far, the last one finished.
  std::vector<std::string> Finish();

 private:
  void FlushBackslashes();
  std::vector<std::string> words_;
  std::string word_;
  bool inWord_ = false;
  bool quoted_ = false;
  size_t backslashes_ = 0;  // a run of backslashes whose meaning the next character decides
};

}  // namespace cvssh
