// RegexCache: the compiled $regex patterns of one filtered query, each compiled at its first
// use. Matching runs in time linear in the text with no recursion per character, so a
// pattern from a caller can neither hang a query nor exhaust its stack. Not thread-safe:
// one cache per evaluating thread.
//
// Syntax is RE2's (Perl-like). Backreferences, lookahead and lookbehind are not supported
// and are refused when the pattern is compiled.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

namespace re2 {
class RE2;
}

namespace ombrix {

class RegexCache {
 public:
  RegexCache();
  ~RegexCache();
  RegexCache(const RegexCache&) = delete;
  RegexCache& operator=(const RegexCache&) = delete;

  // True when `pattern` matches some substring of `text` (case-sensitive; "^" and "$"
  // anchor at the ends of the whole text). A pattern that does not compile is logged at
  // CRITICAL through the active logger and thrown as std::invalid_argument
  // "Invalid regex pattern: <pattern>\nError: <RE2's description>", at each use.
  bool Search(const std::string& pattern, const std::string& text);

 private:
  std::unordered_map<std::string, std::unique_ptr<re2::RE2>> compiled_;
};

}  // namespace ombrix
