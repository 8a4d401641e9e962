// The selection of --include and --exclude: shell patterns matched against
// an entry's whole path from the image's root. Matched here, not by the
// system, so that every system selects the same entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// True when pattern matches all of text. '*' matches any run of characters,
// '/' among them; '?' one character; "[...]" one of a set, with ranges
// ("a-z") and '!' or '^' first for any character not in it, ']' first for
// itself; '\' takes the next character as it is. A character is a UTF-8
// sequence, or a byte that starts none. Takes at most about the product of
// the two lengths, whatever the stars.
bool PatternMatches(std::string_view pattern, std::string_view text);

struct SelectionPattern {
  std::string given;     // as on the command line, for the messages
  std::string pattern;   // without a leading "/" or "./" nor a trailing "/"
  bool matched = false;  // an include pattern that some path met
};

struct Selection {
  std::vector<SelectionPattern> include, exclude;
};

void AddInclude(Selection& selection, std::string_view pattern);
void AddExclude(Selection& selection, std::string_view pattern);

// path: an entry's path from the image's root, names joined by slashes,
// without a leading slash. A pattern matches a path when it matches the
// path itself or the path of a directory the entry is in, so that a
// directory brings everything below it.
//
// Excluded: an exclude pattern matches it.
bool Excluded(const Selection& selection, std::string_view path);
// Selected: an include pattern matches it, or none was given, and no exclude
// pattern does. Notes which include patterns match it.
bool Selected(Selection& selection, std::string_view path);

// What a selection says of an entry, and of what is below it when it is a
// directory. Decided from the entry's own path and its directory's verdict,
// in the walk's order, each entry costs one match a pattern, however deep.
struct Verdict {
  bool included = false, excluded = false;
};
// The verdict on the entry at path in the directory whose verdict is dir
// (Verdict{} for the root's); notes which include patterns match it.
Verdict Judge(Selection& selection, std::string_view path, Verdict dir);
inline bool Takes(Verdict verdict) {
  return verdict.included && !verdict.excluded;
}

// The include patterns, as given, that no path has matched so far.
std::vector<std::string> UnmatchedIncludes(const Selection& selection);
