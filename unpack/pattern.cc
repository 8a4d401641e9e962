// Shell patterns over paths, and the selection made of them.
#include "unpack/pattern.h"

#include <cstdint>

#include "platform/utf8.h"

namespace {

// The character at s[at]: its length, and its code point (a byte that starts
// no UTF-8 sequence counts as a code point above Unicode's, its own).
size_t CharAt(std::string_view s, size_t at, uint32_t& code) {
  const size_t length = Utf8Sequence(s, at, code);
  if (length) return length;
  code = 0x110000 + static_cast<uint8_t>(s[at]);
  return 1;
}

// A literal character of the pattern at at, '\' taking the next one as it is.
size_t LiteralAt(std::string_view pattern, size_t at, uint32_t& code) {
  if (pattern[at] == '\\' && at + 1 < pattern.size()) return 1 + CharAt(pattern, at + 1, code);
  return CharAt(pattern, at, code);
}

// The set "[...]" at pattern[at]: whether code is in it (or, negated, not),
// and where the pattern goes on; 0 when the set has no end, and its '['
// stands for itself.
size_t MatchSet(std::string_view pattern, size_t at, uint32_t code, bool& matches) {
  size_t p = at + 1;
  const bool negated = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
  if (negated) ++p;
  bool in = false;
  for (bool first = true; p < pattern.size(); first = false) {
    if (pattern[p] == ']' && !first) {
      matches = in != negated;
      return p + 1 - at;
    }
    uint32_t low, high;
    p += LiteralAt(pattern, p, low);
    high = low;
    if (p + 1 < pattern.size() && pattern[p] == '-' && pattern[p + 1] != ']')
      p += 1 + LiteralAt(pattern, p + 1, high);
    if (low <= code && code <= high) in = true;
  }
  return 0;
}

// Matches the pattern's element at p (anything but '*') against the text's
// character at t: the lengths it takes of each when it does.
bool MatchOne(std::string_view pattern, size_t p, std::string_view text, size_t t,
              size_t& patternLength, size_t& textLength) {
  uint32_t code;
  textLength = CharAt(text, t, code);
  if (pattern[p] == '?') {
    patternLength = 1;
    return true;
  }
  if (pattern[p] == '[') {
    bool matches = false;
    patternLength = MatchSet(pattern, p, code, matches);
    if (patternLength) return matches;
    patternLength = 1;
    return code == '[';
  }
  uint32_t literal;
  patternLength = LiteralAt(pattern, p, literal);
  return literal == code;
}

// A pattern matches a path or a directory the path is in.
bool MatchesPathOrAbove(const std::string& pattern, std::string_view path) {
  if (pattern.empty()) return true;  // the root's: everything
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1))
    if (PatternMatches(pattern, path.substr(0, slash))) return true;
  return PatternMatches(pattern, path);
}

SelectionPattern Normalized(std::string_view given) {
  std::string_view pattern = given;
  for (;;) {
    if (pattern.starts_with('/'))
      pattern.remove_prefix(1);
    else if (pattern.starts_with("./"))
      pattern.remove_prefix(2);
    else
      break;
  }
  while (pattern.ends_with('/')) pattern.remove_suffix(1);
  return SelectionPattern{std::string(given), std::string(pattern)};
}

}  // namespace

bool PatternMatches(std::string_view pattern, std::string_view text) {
  // On a mismatch, the last star takes one character more and the rest is
  // tried again from there: an earlier star never needs to, since the last
  // one can take anything it could.
  size_t p = 0, t = 0;
  size_t starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    size_t patternLength, textLength;
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starT = t;
    } else if (p < pattern.size() && MatchOne(pattern, p, text, t, patternLength, textLength)) {
      p += patternLength;
      t += textLength;
    } else if (starP != std::string_view::npos) {
      uint32_t code;
      starT += CharAt(text, starT, code);
      t = starT;
      p = starP;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

void AddInclude(Selection& selection, std::string_view pattern) {
  selection.include.push_back(Normalized(pattern));
}

void AddExclude(Selection& selection, std::string_view pattern) {
  selection.exclude.push_back(Normalized(pattern));
}

bool Excluded(const Selection& selection, std::string_view path) {
  for (const SelectionPattern& exclude : selection.exclude)
    if (MatchesPathOrAbove(exclude.pattern, path)) return true;
  return false;
}

bool Selected(Selection& selection, std::string_view path) {
  bool included = selection.include.empty();
  for (SelectionPattern& include : selection.include) {
    // A pattern already met need not be tried once the path is in.
    if (include.matched && included) continue;
    if (MatchesPathOrAbove(include.pattern, path)) include.matched = included = true;
  }
  return included && !Excluded(selection, path);
}

Verdict Judge(Selection& selection, std::string_view path, Verdict dir) {
  Verdict verdict = dir;
  verdict.included = dir.included || selection.include.empty();
  for (SelectionPattern& include : selection.include) {
    // A pattern already met need not be tried once the path is in; the
    // directories above were tried already.
    if (include.matched && verdict.included) continue;
    if (include.pattern.empty() || PatternMatches(include.pattern, path))
      include.matched = verdict.included = true;
  }
  for (const SelectionPattern& exclude : selection.exclude)
    if (!verdict.excluded && (exclude.pattern.empty() || PatternMatches(exclude.pattern, path)))
      verdict.excluded = true;
  return verdict;
}

std::vector<std::string> UnmatchedIncludes(const Selection& selection) {
  std::vector<std::string> unmatched;
  for (const SelectionPattern& include : selection.include)
    if (!include.matched) unmatched.push_back(include.given);
  return unmatched;
}
