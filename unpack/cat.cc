// Path resolution inside the image, for --cat.
#include "unpack/cat.h"

#include <vector>

CatResult ResolveCatPath(std::string_view path, const CatNode& root, const CatLookup& lookup,
                         CatNode& found) {
  // The directories from the root to where the resolution stands; ".." pops.
  std::vector<CatNode> at{root};
  // What is left to resolve: the path, with a link's target put before the
  // rest of it when the walk meets a link.
  std::string left(path);
  size_t next = 0;
  int links = 0;
  while (next <= left.size()) {
    size_t end = left.find('/', next);
    if (end == std::string::npos) end = left.size();
    const std::string_view name = std::string_view(left).substr(next, end - next);
    next = end + 1;
    if (name.empty()) continue;
    // A file has no "." or ".." either.
    if (at.back().kind != CatNode::Kind::kDirectory) return CatResult::kNotADirectory;
    if (name == ".") continue;
    if (name == "..") {
      if (at.size() > 1) at.pop_back();
      continue;
    }
    CatNode child;
    if (!lookup(at.back(), name, child)) return CatResult::kNotFound;
    if (child.kind != CatNode::Kind::kSymlink) {
      at.push_back(std::move(child));
      continue;
    }
    if (++links > kMaxCatLinks) return CatResult::kTooManyLinks;
    // As a system: an empty target names nothing.
    if (child.target.empty()) return CatResult::kNotFound;
    if (child.target.starts_with('/')) at.resize(1);
    // The target then what followed the link.
    const bool last = next > left.size();
    std::string rest = last ? std::string() : left.substr(next);
    left = std::move(child.target);
    if (!last) left.append(1, '/').append(rest);
    next = 0;
  }
  found = std::move(at.back());
  return CatResult::kFound;
}

bool CatFiles(uint64_t, const std::vector<std::string>&) {
  return false;
}
