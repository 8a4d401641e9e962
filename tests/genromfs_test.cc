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
// this walker of the test's own, with --all or without.
struct Expected {
  bool all = false;
  std::string listing;  // one line per entry, depth first in chain order
  std::string fatal;    // without --all, the message of the entry that ends the run
  // With --all, the --list lines, and for each a hard link's file header (or
  // UINT32_MAX), whose path completes the line once every file is known.
  std::vector<std::pair<std::string, uint32_t>> listed;
  // Each link, in the order the walk meets it: its path as shown and on
  // disk, and its target text, or the header of the file it names.
  struct Link {
    std::string shown, rel, target;
    uint32_t file = 0;
    bool hard = false;
  };
  std::vector<Link> links;
  int symbolic = 0, hard = 0, special = 0;
  std::map<uint32_t, std::pair<std::string, std::string>> files;  // header: shown, rel
  Tree tree;
  std::map<std::string, unsigned> modes;  // of files and directories, as created
};

// A name or target as --list shows it when not on a terminal.
std::string Escaped(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F && c != '\\') {
      shown += c;
      continue;
    }
    char octal[5];
    snprintf(octal, sizeof octal, "\\%03o", byte);
    shown += octal;
  }
  return shown;
}

// The listing's line for an entry without what follows the path.
std::string ListLine(unsigned type, uint32_t next, uint32_t info, uint32_t size,
                     const std::string& path) {
  char line[64];
  const std::string number = type == 4 || type == 5
                                 ? std::to_string(info >> 16) + "," + std::to_string(info & 0xFFFF)
                                 : std::to_string(size);
  snprintf(line, sizeof line, "%c%c %10s ", "hd-lbcsp"[type], (next & 8) ? 'x' : '-',
           number.c_str());
  return line + Escaped(path);
}

// Reads the chain at at; false where the run ends.
bool ReadChain(const std::string& image, uint32_t at, int depth, const std::string& shown,
               const std::string& rel, Expected& e) {
  const std::string indent(3 * depth, '.');
  while (at != 0) {
    const uint32_t next = ReadWordAt(image, at), info = ReadWordAt(image, at + 4),
                   size = ReadWordAt(image, at + 8);
    const std::string name = image.c_str() + at + 16;
    const uint32_t data = at + 16 + Padded(name.size() + 1);
    const std::string exec = (next & 8) ? "(X)" : "";
    const std::string path = rel + name, full = shown + "\\" + name;
    const unsigned type = next & 7;
    if (e.all && !((type == 0 || type == 1) && (name == "." || name == "..")))
      e.listed.push_back({ListLine(type, next, info, size, path), type == 0 ? info : UINT32_MAX});
    switch (type) {
      case 0:
        e.listing += indent + "[" + name + "] " + exec + "\n";
        if (name == "." || name == "..") break;
        if (!e.all) {
          e.fatal = "File Type 0: " + full + "\n";
          return false;
        }
        e.links.push_back({full, path, "", info, true});
        ++e.hard;
        break;
      case 1:
        e.listing += indent + "[" + name + "] " + exec + "\n";
        if (name == ".") break;
        e.tree[path] = "dir";
        e.modes[path] = CreatedWith(0777);
        // With --all, where the info word says.
        if (!ReadChain(image, e.all ? info & ~15u : data, depth + 1, full, path + "/", e))
          return false;
        break;
      case 2:
        e.listing += indent + name + " (" + std::to_string(size) + ") " + exec + "\n";
        e.tree[path] = "file:" + image.substr(data, size);
        e.modes[path] = CreatedWith(exec.empty() ? 0666 : 0777);
        e.files[at] = {full, path};
        break;
      case 3: {
        const std::string target = image.substr(data, size);
        e.listing +=
            indent + name + " <SYMBOLIC LINK> (" + std::to_string(size) + ") " + exec + "\n";
        if (!e.all && e.symbolic == 256) {
          e.fatal = "Maximum Type 3 Links Reached\n";
          return false;
        }
        e.links.push_back({full, path, target});
        if (e.all) e.listed.back().first += " -> " + Escaped(target);
        ++e.symbolic;
        e.tree[path] = "link:" + target;
        break;
      }
      default:
        if (!e.all) {
          e.fatal = "Unknown File Type " + std::to_string(type) + " for " + full + "\n";
          return false;
        }
        e.listing += indent + name;
        if (type == 4 || type == 5)
          e.listing += (type == 4 ? " <BLOCK DEVICE> (" : " <CHARACTER DEVICE> (") +
                       std::to_string(info >> 16) + ", " + std::to_string(info & 0xFFFF) + ")";
        else
          e.listing += type == 6 ? " <SOCKET>" : " <FIFO>";
        e.listing += " " + exec + "\n";
        ++e.special;
    }
    at = next & ~15u;
  }
  return true;
}

// The whole standard output of "skelvane [--all] image.img out", and the tree.
Expected ReadImage(const std::string& image, bool all) {
  const std::string volume = image.c_str() + 16;
  Expected e;
  e.all = all;
  const bool whole = ReadChain(image, 16 + Padded(volume.size() + 1), 0, "out", "", e);
  e.listing = "Image name=" + volume + " (" + std::to_string(volume.size()) +
              ")\nUNPACKING ROMFS IMAGE image.img to out...\n" + e.listing;
  if (!whole) return e;
  if (!e.links.empty())
    e.listing += all ? "\nRESOLVING LINKS...\n" : "\nRESOLVING SYMBOLIC LINKS...\n";
  for (const Expected::Link& link : e.links) {
    if (link.hard && e.files.contains(link.file)) {
      const auto& [fileShown, fileRel] = e.files.at(link.file);
      e.listing += "-> create hard link " + link.shown + " with " + fileShown + " (done)\n";
      e.tree[link.rel] = e.tree.at(fileRel);
    } else {
      e.listing += "-> create symbolic link " + link.shown + " with " + link.target + " (done)\n";
    }
  }
  e.listing += "\nDONE.";
  if (all)
    e.listing += " (" + std::to_string(e.symbolic) + " symbolic links, " + std::to_string(e.hard) +
                 " hard links, 0 unresolved, " + std::to_string(e.special) +
                 " special files not made)";
  else if (e.symbolic > 0)
    e.listing += " (" + std::to_string(e.symbolic) + " symbolic links, 0 unresolved)";
  e.listing += "\n";
  return e;
}

// The whole standard output of "skelvane --list image.img".
std::string ListImage(const Expected& e) {
  std::string list;
  for (const auto& [line, file] : e.listed) {
    list += line;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%x", file);
    if (file != UINT32_MAX)
      list += " link to " + (e.files.contains(file) ? Escaped(e.files.at(file).second) : hex);
    list += "\n";
  }
  return list;
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

ino_t Inode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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
  // unpacks it, and compares the trace with the image and the tree with the
  // source; with --all, the source's special files are listed, not made.
  // Given the bytes of a firmware file before it, the image is put inside
  // such a file, with padding after it, and found with --offset auto.
  void ExpectRoundTrip(const std::string& source, const std::string& options = "", bool all = false,
                       const std::string& firmwareHead = "") {
    Unpack u;
    const std::string command = "genromfs -V 'made by genromfs' " + options + " -d '" + source +
                                "' -f '" + (u.dir / "image.img") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string image = ReadFileBytes(u.dir / "image.img");
    Expected expected = ReadImage(image, all);
    ASSERT_EQ(expected.fatal, "") << "not a round trip";
    std::vector<std::string> args = {"image.img", "out"};
    if (all) args.insert(args.begin(), "--all");
    if (!firmwareHead.empty()) {
      WriteFileBytes(u.dir / "image.img", firmwareHead + image + std::string(4096, '\xff'));
      args.insert(args.begin(), {"--offset", "auto"});
      expected.listing =
          "Image found at offset " + std::to_string(firmwareHead.size()) + "\n" + expected.listing;
    }
    Tree tree = ScanTree(source);
    // genromfs makes a device of an empty file named "@name,type,major,minor".
    std::erase_if(tree, [all](const auto& entry) {
      const std::string name = entry.first.substr(entry.first.rfind('/') + 1);
      return all && ((name.starts_with('@') && name.find(',') != std::string::npos &&
                      entry.second == "file:") ||
                     entry.second == "other");
    });
    ASSERT_EQ(FirstDifference(expected.tree, tree), "") << "this test misread the image";

    const RunResult r = RunSkelvane(args, u.dir.path());
    EXPECT_EQ(r.out, expected.listing);
    EXPECT_EQ(r.status, 0);
    Tree unpacked = {{"out", "dir"}};
    for (const auto& [path, what] : tree) unpacked["out/" + path] = what;
    EXPECT_EQ(FirstDifference(u.Left(), unpacked), "");
    for (const auto& [path, mode] : expected.modes)
      EXPECT_EQ(PermissionsOf(u.dir / ("out/" + path)), mode) << path;
    if (all) {
      const bool found = !firmwareHead.empty();
      const RunResult listed =
          RunSkelvane(found ? std::vector<std::string>{"--list", "--offset", "auto", "image.img"}
                            : std::vector<std::string>{"--list", "image.img"},
                      u.dir.path());
      // The listing is the product: where the image was found goes to the person.
      EXPECT_EQ(listed.out, ListImage(expected));
      EXPECT_EQ(listed.err, found ? "skelvane: Image found at offset " +
                                        std::to_string(firmwareHead.size()) + "\n"
                                  : std::string());
      EXPECT_EQ(listed.status, 0);
    }
    for (const Expected::Link& link : expected.links) {
      if (!link.hard) continue;
      EXPECT_EQ(Inode(u.dir / ("out/" + link.rel)),
                Inode(u.dir / ("out/" + expected.files.at(link.file).second)))
          << link.rel;
    }
  }

  // Without --all, the run ends at the first entry it does not unpack.
  void ExpectEndWithoutAll(const std::string& source) {
    Unpack u;
    const std::string command = "genromfs -d '" + source + "' -f '" + (u.dir / "image.img") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Expected expected = ReadImage(ReadFileBytes(u.dir / "image.img"), false);
    ASSERT_NE(expected.fatal, "");
    const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path());
    EXPECT_EQ(r.out, expected.listing + expected.fatal);
    EXPECT_EQ(r.status, 255);
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

TEST_F(Genromfs, RootFileSystemWithAll) {
  // busybox with 300 applets, a file with three names in two directories,
  // devices and a fifo in /dev.
  for (const char* dir : {"bin", "etc", "dev", "etc/init.d"}) MakeDir(src / dir);
  MakeFile(src / "bin/busybox",
           "\x7f"
           "ELF busybox",
           0755);
  for (int i = 0; i < 300; ++i) MakeLink(src / ("bin/applet" + std::to_string(i)), "busybox");
  MakeFile(src / "etc/passwd", "root:x:0:0::/root:/bin/sh\n", 0644);
  ASSERT_EQ(link((src / "etc/passwd").c_str(), (src / "etc/passwd-").c_str()), 0);
  ASSERT_EQ(link((src / "etc/passwd").c_str(), (src / "etc/init.d/passwd").c_str()), 0);
  for (const char* device : {"@console,c,5,1", "@tty0,c,4,0", "@mtdblock0,b,31,0"})
    MakeFile(src / (std::string("dev/") + device), "", 0644);
  ASSERT_EQ(mkfifo((src / "dev/initctl").c_str(), 0600), 0);
  ExpectRoundTrip(src.path(), "", true);
  // Aligned entries leave zero bytes between a directory and its first child.
  ExpectRoundTrip(src.path(), "-a 512", true);
  ExpectRoundTrip(src.path(), "-A 1024,'*'", true);
  ExpectEndWithoutAll(src.path());
  // Without hard links and devices, the 257th link ends it.
  ASSERT_EQ(std::system(("rm -r '" + src / "etc' '" + src / "dev'").c_str()), 0);
  ExpectEndWithoutAll(src.path());
}

TEST_F(Genromfs, FirmwareFileWithOffsetAuto) {
  // A header, a kernel, and the root file system, whose busybox, like the
  // kernel, holds "-rom1fs-": --all --offset auto unpacks it whole.
  std::mt19937 rng(23);
  const std::string kernel =
      RandomBytes(rng, 300001) + "-rom1fs-" + RandomBytes(rng, 600) + "-rom1fs-";
  const std::string busybox =
      "\x7f"
      "ELF" +
      RandomBytes(rng, 5000) + "-rom1fs-" + RandomBytes(rng, 5000);
  for (const char* dir : {"bin", "etc", "dev", "sbin"}) MakeDir(src / dir);
  MakeFile(src / "bin/busybox", busybox, 0755);
  for (const char* applet : {"bin/sh", "bin/ls", "sbin/init"})
    MakeLink(src / applet, "/bin/busybox");
  MakeFile(src / "etc/passwd", "root:x:0:0::/root:/bin/sh\n", 0644);
  ASSERT_EQ(link((src / "etc/passwd").c_str(), (src / "etc/passwd-").c_str()), 0);
  MakeFile(src / "dev/@console,c,5,1", "", 0644);
  ExpectRoundTrip(src.path(), "", true, "HDR0" + std::string(60, '\0') + kernel);
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
    ExpectRoundTrip(root, "", true);
  }
}

}  // namespace
