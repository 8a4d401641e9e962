// --cat PATH: finding the entry a path names inside the image, following
// symbolic links there as a system would, never outside the image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// An entry as the resolution needs it.
struct CatNode {
  uint64_t id = 0;  // for the image, its header offset (the root's: its chain's start)
  enum class Kind { kDirectory, kFile, kSymlink, kOther } kind = Kind::kDirectory;
  std::string target = {};  // a symbolic link's, exact bytes
};

// Finds the entry named name in the directory dir; false when there is none.
using CatLookup = std::function<bool(const CatNode& dir, std::string_view name, CatNode& child)>;

enum class CatResult {
  kFound,          // found: the entry, never a symbolic link
  kNotFound,       // a name on the way is not in its directory
  kNotADirectory,  // a name on the way is a file or another entry, not a directory
  kTooManyLinks,   // more than kMaxCatLinks symbolic links followed
};

// As Linux: more links than that in one resolution is a loop.
constexpr int kMaxCatLinks = 40;

// Resolves path from root. A symbolic link on the way, or at its end, is
// followed: a relative target from the link's own directory, an absolute one
// from the root. ".." goes up, and stays at the root above it; "." and empty
// names are passed over.
CatResult ResolveCatPath(std::string_view path, const CatNode& root, const CatLookup& lookup,
                         CatNode& found);

// --cat: writes the bytes of each file paths name, one after another, to
// standard output, in the image whose root chain starts at firstHeader.
// False when one could not be (its message said why on standard error).
bool CatFiles(uint64_t firstHeader, const std::vector<std::string>& paths);
