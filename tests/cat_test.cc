// Resolving --cat's path inside the image, over a tree made up here.
#include "unpack/cat.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// A tree by path: "dir", "file", or "->" and a link's target.
using FakeTree = std::map<std::string, std::string>;

// Resolves path in tree: the path from the root of what it found, or why not.
std::string Resolve(const FakeTree& tree, const std::string& path) {
  // A node's id is its index in the map's order; the root's is the map's size.
  std::vector<std::string> paths;
  for (const auto& [p, kind] : tree) paths.push_back(p);
  const auto lookup = [&](const CatNode& dir, std::string_view name, CatNode& child) {
    const std::string dirPath = dir.id == paths.size() ? "" : paths[dir.id] + "/";
    const auto it = tree.find(dirPath + std::string(name));
    if (it == tree.end()) return false;
    child.id = std::distance(tree.begin(), it);
    child.kind = it->second == "dir"    ? CatNode::Kind::kDirectory
                 : it->second == "file" ? CatNode::Kind::kFile
                                        : CatNode::Kind::kSymlink;
    if (child.kind == CatNode::Kind::kSymlink) child.target = it->second.substr(2);
    return true;
  };
  CatNode found;
  switch (ResolveCatPath(path, CatNode{.id = paths.size()}, lookup, found)) {
    case CatResult::kFound:
      return found.id == paths.size() ? "(root)" : paths[found.id];
    case CatResult::kNotFound:
      return "not found";
    case CatResult::kNotADirectory:
      return "not a directory";
    case CatResult::kTooManyLinks:
      return "too many links";
  }
  return "?";
}

TEST(Cat, Resolution) {
  FakeTree tree = {
      {"a", "dir"},
      {"a/b", "dir"},
      {"a/b/f", "file"},
      {"a/up", "->../a/b"},        // relative, from the link's own directory
      {"a/abs", "->/a/b/f"},       // absolute, from the root
      {"a/high", "->../../../a"},  // above the root stays there
      {"a/dot", "->./b//./f"},
      {"f", "file"},
      {"loop1", "->loop2"},
      {"loop2", "->loop1"},
      {"self", "->self/x"},
      {"empty", "->"},
      {"dangling", "->nowhere"},
  };
  const std::pair<std::string, std::string> cases[] = {
      {"a/b/f", "a/b/f"},
      {"/a//./b/../b/f", "a/b/f"},
      {"", "(root)"},
      {"../../f", "f"},
      {"a/up/f", "a/b/f"},  // a link in the middle
      {"a/abs", "a/b/f"},   // a link at the end
      {"a/high/b/f", "a/b/f"},
      {"a/dot", "a/b/f"},
      {"a/b/f/x", "not a directory"},
      {"f/..", "not a directory"},
      {"a/abs/x", "not a directory"},
      {"a/x", "not found"},
      {"dangling", "not found"},
      {"empty", "not found"},
      {"loop1", "too many links"},
      {"self", "too many links"},
  };
  for (const auto& [path, result] : cases) EXPECT_EQ(Resolve(tree, path), result) << path;

  // Links in a chain: 40 followed, not 41.
  for (int i = 0; i < 40; ++i) tree["c" + std::to_string(i)] = "->c" + std::to_string(i + 1);
  tree["c40"] = "->f";
  EXPECT_EQ(Resolve(tree, "c1"), "f");
  EXPECT_EQ(Resolve(tree, "c0"), "too many links");
}

}  // namespace
