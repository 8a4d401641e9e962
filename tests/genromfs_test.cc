// Round trips through images made by Debian's genromfs, a maker nobody here
// wrote: source tree -> genromfs -> skelvane -> the same tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "tests/test_util.h"

namespace {

uint32_t Padded(size_t n) {
  return static_cast<uint32_t>((n + 15) / 16 * 16);
}

// What a run on a sound image must print and create, read from the image by
// this walker of the test's own.
struct Expected {
  std::string listing;  // one line per entry, depth first in chain order
  std::string links;    // one line per link, in the order the walk meets them
  int linkCount = 0;
  Tree tree;
  std::map<std::string, unsigned> modes;  // of files and directories, as created
};

void ReadChain(const std::string& image, uint32_t at, int depth, const std::string& shown,
               const std::string& rel, Expected& e) {
  const std::string indent(3 * depth, '.');
  do {
    const uint32_t next = ReadWordAt(image, at), size = ReadWordAt(image, at + 8);
    const std::string name = image.c_str() + at + 16;
    const uint32_t data = at + 16 + Padded(name.size() + 1);
    const std::string exec = (next & 8) ? "(X)" : "";
    const std::string path = rel + name;
    switch (next & 7) {
      case 0:
        e.listing += indent + "[" + name + "] " + exec + "\n";
        break;
      case 1:
        e.listing += indent + "[" + name + "] " + exec + "\n";
        if (name == ".") break;
        e.tree[path] = "dir";
        e.modes[path] = CreatedWith(0777);
        ReadChain(image, data, depth + 1, shown + "\\" + name, path + "/", e);
        break;
      case 2:
        e.listing += indent + name + " (" + std::to_string(size) + ") " + exec + "\n";
        e.tree[path] = "file:" + image.substr(data, size);
        e.modes[path] = CreatedWith(exec.empty() ? 0666 : 0777);
        break;
      case 3: {
        const std::string target = image.substr(data, size);
        e.listing +=
            indent + name + " <SYMBOLIC LINK> (" + std::to_string(size) + ") " + exec + "\n";
        e.links +=
            "-> create symbolic link " + shown + "\\" + name + " with " + target + " (done)\n";
        ++e.linkCount;
        e.tree[path] = "link:" + target;
        break;
      }
      default:
        ADD_FAILURE() << "genromfs wrote an entry of type " << (next & 7);
    }
    at = next & ~15u;
  } while (at != 0);
}

// The whole standard output of "skelvane image.img out", and the tree.
Expected ReadImage(const std::string& image) {
  const std::string volume = image.c_str() + 16;
  Expected e;
  ReadChain(image, 16 + Padded(volume.size() + 1), 0, "out", "", e);
  e.listing = "Image name=" + volume + " (" + std::to_string(volume.size()) +
              ")\nUNPACKING ROMFS IMAGE image.img to out...\n" + e.listing;
  if (e.linkCount > 0) e.links = "\nRESOLVING SYMBOLIC LINKS...\n" + e.links;
  return e;
}

std::string Summary(const Expected& e) {
  if (e.linkCount == 0) return "\nDONE.\n";
  return "\nDONE. (" + std::to_string(e.linkCount) + " symbolic links, 0 unresolved)\n";
}

// The first path at which two trees differ, or "" when they are the same: a
// short failure message where files are megabytes long.
std::string FirstDifference(const Tree& a, const Tree& b) {
  for (const auto& [path, what] : a)
    if (!b.contains(path) || b.at(path) != what) return path;
  for (const auto& [path, what] : b)
    if (!a.contains(path)) return path;
  return "";
}

void MakeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  WriteFileBytes(path, bytes);
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void MakeDir(const std::string& path, mode_t mode = 0755) {
  ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
}

void MakeLink(const std::string& path, const std::string& target) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

class Genromfs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v genromfs >/dev/null") != 0)
      GTEST_SKIP() << "genromfs is not installed";
  }

  // Makes an image of the source tree with genromfs and the given options,
  // unpacks it, and compares the trace with the image and the tree with the source.
  void ExpectRoundTrip(const std::string& source, const std::string& options = "") {
    Unpack u;
    const std::string command = "genromfs -V 'made by genromfs' " + options + " -d '" + source +
                                "' -f '" + (u.dir / "image.img") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Expected expected = ReadImage(ReadFileBytes(u.dir / "image.img"));
    const Tree tree = ScanTree(source);
    ASSERT_EQ(FirstDifference(expected.tree, tree), "") << "this test misread the image";

    const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path());
    EXPECT_EQ(r.out, expected.listing + expected.links + Summary(expected));
    EXPECT_EQ(r.status, 0);
    Tree unpacked = {{"out", "dir"}};
    for (const auto& [path, what] : tree) unpacked["out/" + path] = what;
    EXPECT_EQ(FirstDifference(u.Left(), unpacked), "");
    for (const auto& [path, mode] : expected.modes)
      EXPECT_EQ(PermissionsOf(u.dir / ("out/" + path)), mode) << path;
  }

  ScratchDir src;
};

TEST_F(Genromfs, HandMadeTree) {
  std::mt19937 rng(7);
  const std::string n255(255, 'n');
  MakeFile(src / "x", "1", 0644);
  MakeFile(src / "empty", "", 0644);
  MakeFile(src / "run me", "#!/bin/sh\n", 0755);
  MakeFile(src / "owner runs", RandomBytes(rng, 15), 0700);
  MakeFile(src / "others run", RandomBytes(rng, 16), 0645);
  MakeFile(src / " lead and trail ", RandomBytes(rng, 17), 0644);
  MakeFile(src / "back\\slash", RandomBytes(rng, 4096), 0644);
  MakeFile(src / "\\", RandomBytes(rng, 65537), 0644);
  MakeFile(src / "caf\xc3\xa9 \xff\xfe\x80\x01", RandomBytes(rng, 3 * 1024 * 1024 + 5), 0755);
  MakeFile(src / n255, RandomBytes(rng, 100), 0644);
  MakeFile(src / std::string(16, 'p'), "sixteen", 0644);
  MakeDir(src / "a");
  MakeDir(src / "a/emptydir");
  MakeDir(src / "a/b", 0700);
  MakeDir(src / "a/b/c");
  MakeFile(src / "a/b/c/deep", RandomBytes(rng, 1000), 0755);
  MakeFile(src / "a/b/empty", "", 0755);
  MakeDir(src / ("a/" + n255));
  MakeFile(src / ("a/" + n255 + "/" + n255), "under a long name", 0644);
  MakeLink(src / "a/b/up", "../../x");
  MakeLink(src / "a/b/to dir", "c");
  MakeLink(src / "abs", "/etc/passwd");
  MakeLink(src / "a/long relative", std::string(257, 'r') + "/..");
  MakeLink(src / "long absolute", "/" + std::string(259, 'a'));
  MakeLink(src / "dangling \\ \xe2\x82\xac", "nowhere \xe2\x82\xac");
  ExpectRoundTrip(src.path());
  // Aligned file data leaves gaps between the entries of a chain.
  ExpectRoundTrip(src.path(), "-a 4096");
}

std::string RandomName(std::mt19937& rng) {
  const size_t length = rng() % 10 == 0 ? 200 + rng() % 56 : 1 + rng() % 24;
  std::string name;
  while (name.size() < length) {
    const char c = static_cast<char>(1 + rng() % 255);
    if (c != '/') name += c;
  }
  return name == "." || name == ".." ? name + "x" : name;
}

// Several hundred entries a few levels deep, at most 200 of them links.
void MakeRandomTree(const std::string& root, std::mt19937& rng) {
  std::vector<std::pair<std::string, int>> dirs = {{root, 0}};
  const mode_t fileModes[] = {0644, 0755, 0700, 0640, 0654, 0645, 0744};
  int links = 0;
  for (int i = 0; i < 400; ++i) {
    const auto [dir, depth] = dirs[rng() % dirs.size()];
    const std::string path = dir + "/" + RandomName(rng);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) continue;  // the name is taken
    const unsigned kind = rng() % 10;
    if (kind < 2 && depth < 4) {
      MakeDir(path, rng() % 2 ? 0755 : 0700);
      dirs.push_back({path, depth + 1});
    } else if (kind < 4 && links < 200) {
      std::string target = RandomBytes(rng, rng() % 4 == 0 ? 260 : 1 + rng() % 40);
      for (char& c : target)
        if (c == '\0') c = '0';
      MakeLink(path, target);
      ++links;
    } else {
      const size_t size = rng() % 20 == 0 ? rng() % 300000 : rng() % 2000;
      MakeFile(path, RandomBytes(rng, size), fileModes[rng() % std::size(fileModes)]);
    }
  }
}

TEST_F(Genromfs, RandomTrees) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string root = src / std::to_string(seed);
    MakeDir(root);
    MakeRandomTree(root, rng);
    ExpectRoundTrip(root);
  }
}

}  // namespace
