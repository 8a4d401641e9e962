// The walk over the directory chains: what is listed, created and refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/test_util.h"

namespace {

TEST(Walk, ListsAndCreatesNestedTree) {
  Unpack u;
  const RunResult r =
      u.Run("vol", {Dir("a", {Dir("b", {File("deep", "xyz", true)}), File("empty", "")}),
                    File("top", std::string(17, 't'))});
  EXPECT_EQ(r.out, kHead +
                       "[a] \n"
                       "...[b] \n"
                       "......deep (3) (X)\n"
                       "...empty (0) \n"
                       "top (17) \n"
                       "\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{"a", "dir"},
                            {"a/b", "dir"},
                            {"a/b/deep", "file:xyz"},
                            {"a/empty", "file:"},
                            {"top", "file:" + std::string(17, 't')}}));
}

TEST(Walk, NameLengthsPlaceTheData) {
  // Names of 15 and 16 bytes take 16 and 32 bytes of space in the image.
  const std::string n15(15, 'p'), n16(16, 'q'), n255(255, 'r');
  Unpack u;
  const RunResult r = u.Run("vol", {File(n15, "fifteen"), File(n16, "sixteen"), File(n255, "z")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{n15, "file:fifteen"}, {n16, "file:sixteen"}, {n255, "file:z"}}));
}

TEST(Walk, BadChecksumEndsRunWithoutListing) {
  Entry bad = File("bad", "data");
  bad.badChecksum = true;
  Unpack u;
  const RunResult r = u.Run("vol", {File("good", "g"), bad, File("after", "a")});
  EXPECT_EQ(r.out, kHead + "good (1) \nChecksum Error: out\\bad\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Tree(), (Tree{{"good", "file:g"}}));
}

TEST(Walk, HardLinksOtherThanDotsEndRun) {
  Unpack u;
  const RunResult r = u.Run("vol", {HardLink("."), HardLink(".."), HardLink("other")});
  EXPECT_EQ(r.out, kHead + "[.] \n[..] \n[other] \nFile Type 0: out\\other\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
}

TEST(Walk, AllMakesHardLinksOnlyToFilesItUnpacked) {
  // To a file, before and after it in the walk; to a directory, a symbolic
  // link, itself, a header outside the image, one the walk never reached;
  // and one whose name is taken.
  std::vector<Entry> root = {
      HardLink("early"),   Dir("d", {HardLink("."), File("f", "data", true), HardLink("late")}),
      HardLink("to dir"),  Link("sym", "d/f"),
      HardLink("to sym"),  HardLink("self"),
      HardLink("outside"), HardLink("unreached"),
      File("taken", "t"),  HardLink("taken")};
  std::string image = BuildImage("vol", root);
  const uint32_t file = root[1].children[1].offset, unreached = static_cast<uint32_t>(image.size());
  image += LoneEntry(File("lost", "x"), 0);
  const uint32_t targets[] = {file,           0,          root[1].offset, 0, root[3].offset,
                              root[5].offset, 0xFFFFFFF0, unreached,      0, file};
  for (size_t i = 0; i < std::size(root); ++i)
    if (root[i].type == 0) SetSpecInfo(image, root[i].offset, targets[i]);
  SetSpecInfo(image, root[1].children[2].offset, file);
  const auto hex = [](uint32_t offset) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", offset);
    return std::string(text);
  };
  Unpack u{.options = {"--all"}};
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead +
                       "[early] \n[d] \n...[.] \n...f (4) (X)\n...[late] \n[to dir] \n"
                       "sym <SYMBOLIC LINK> (3) \n[to sym] \n[self] \n[outside] \n"
                       "[unreached] \ntaken (1) \n[taken] \n"
                       "\nRESOLVING LINKS...\n"
                       "-> create hard link out\\early with out\\d\\f (done)\n"
                       "-> create hard link out\\d\\late with out\\d\\f (done)\n"
                       "-> create hard link out\\to dir with " +
                       hex(root[1].offset) +
                       " (ERROR!!!)\n"
                       "-> create symbolic link out\\sym with d/f (done)\n"
                       "-> create hard link out\\to sym with " +
                       hex(root[3].offset) +
                       " (ERROR!!!)\n"
                       "-> create hard link out\\self with " +
                       hex(root[5].offset) +
                       " (ERROR!!!)\n"
                       "-> create hard link out\\outside with 0xfffffff0 (ERROR!!!)\n"
                       "-> create hard link out\\unreached with " +
                       hex(unreached) +
                       " (ERROR!!!)\n"
                       "-> create hard link out\\taken with out\\d\\f (ERROR!!!)\n"
                       "\nDONE. (1 symbolic links, 8 hard links, 6 unresolved, 0 special files "
                       "not made)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{"d", "dir"},
                            {"d/f", "file:data"},
                            {"d/late", "file:data"},
                            {"early", "file:data"},
                            {"sym", "link:d/f"},
                            {"taken", "file:t"}}));
  struct stat f, early, late;
  ASSERT_EQ(stat((u.dir / "out/d/f").c_str(), &f), 0);
  ASSERT_EQ(stat((u.dir / "out/early").c_str(), &early), 0);
  ASSERT_EQ(stat((u.dir / "out/d/late").c_str(), &late), 0);
  EXPECT_EQ(early.st_ino, f.st_ino);
  EXPECT_EQ(late.st_ino, f.st_ino);
  EXPECT_EQ(f.st_nlink, 3u);
}

TEST(Walk, UnsupportedTypesEndRunAfterEarlierEntries) {
  const std::string lines[] = {"dev <BLOCK DEVICE> (8, 65535) (X)\n",
                               "dev <CHARACTER DEVICE> (8, 65535) (X)\n", "dev <SOCKET> (X)\n",
                               "dev <FIFO> (X)\n"};
  for (uint8_t type = 4; type <= 7; ++type) {
    Entry device = File("dev", "");
    device.type = type;
    device.exec = true;
    device.specInfo = 0x0008FFFF;
    const std::vector<Entry> root = {File("f", "1"), Link("l", "f"), device, File("g", "2")};
    Unpack u;
    const RunResult r = u.Run("vol", root);
    EXPECT_EQ(r.out, kHead + "f (1) \nl <SYMBOLIC LINK> (1) \nUnknown File Type " +
                         std::to_string(type) + " for out\\dev\n");
    EXPECT_EQ(r.status, 255);
    // The link met before was captured but is never created.
    EXPECT_EQ(u.Tree(), (Tree{{"f", "file:1"}}));

    // With --all they are listed and never made, whoever runs it.
    Unpack all{.options = {"--all"}};
    const RunResult listed = all.Run("vol", root);
    EXPECT_EQ(listed.out, kHead + "f (1) \nl <SYMBOLIC LINK> (1) \n" + lines[type - 4] +
                              "g (1) \n\nRESOLVING LINKS...\n"
                              "-> create symbolic link out\\l with f (done)\n"
                              "\nDONE. (1 symbolic links, 0 hard links, 0 unresolved, 1 special "
                              "files not made)\n");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(all.Tree(), (Tree{{"f", "file:1"}, {"g", "file:2"}, {"l", "link:f"}}));
  }
}

TEST(Walk, ExistingTargetIsNeverReused) {
  Unpack u;
  std::filesystem::create_directory(u.dir / "out");
  const RunResult r = u.Run("vol", {File("f", "1")});
  EXPECT_EQ(r.out, kHead +
                       "\nError creating directory: File exists\n\n"
                       "Unable to create new directory for unpacking archive: out\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(u.Tree().empty());
}

TEST(Walk, DirectoryNamedDotDotOrNothingIsRefusedAndNeverListed) {
  // The system refuses to make them; the listing ends at them too, rather
  // than hide what is below or list it a level up.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"..", "File exists"}, {"", "No such file or directory"}};
  for (const auto& [name, error] : cases) {
    std::vector<Entry> root = {File("a", "1"), Dir(name, {File("x", "1")})};
    const std::string image = BuildImage("vol", root);
    Unpack u;
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead + "a (1) \n[" + name + "] \n\nError creating directory: " + error +
                         "\n" + "\nUnable to create new directory for unpacking archive: out\\" +
                         name + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}, {"out/a", "file:1"}}));
    Unpack listed{.options = {"--list"}};
    const RunResult list = listed.Run(image, std::vector<std::string>{});
    EXPECT_EQ(list.out, "--          1 a\nUnable to create new directory for unpacking archive: " +
                            name + "\n");
    EXPECT_EQ(list.status, 255);
    EXPECT_EQ(listed.Left(), Tree{});
  }
}

TEST(Walk, ExistingFileIsNeverOverwritten) {
  Unpack u;
  const RunResult r = u.Run("vol", {File("f", "first"), File("f", "second")});
  EXPECT_EQ(r.out, kHead + "f (5) \nf (6) \n\nError creating file: File exists\n\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Tree(), (Tree{{"f", "file:first"}}));
}

TEST(Walk, DataPastTheEndIsFoundBeforeTheFileIsCreated) {
  std::vector<Entry> root = {File("f", std::string(100, 'd'))};
  std::string image = BuildImage("vol", root);
  image.resize(image.size() - 112 + 37);  // the first 37 data bytes remain
  FixVolumeChecksum(image);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "f (100) \nRead file buffer failed (100, 37)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
}

TEST(Walk, HugeSizeIsListedUnsigned) {
  // A file's data runs past the image; a link's target is too long.
  const struct {
    uint8_t type;
    std::string lines;
  } cases[] = {
      {2, "big (4294967280) \nRead file buffer failed (4294967280, 16)\n"},
      {3, "big <SYMBOLIC LINK> (4294967280) \nType 3 Link Size Error\n"},
  };
  for (const auto& c : cases) {
    Entry big = File("big", "abc");
    big.type = c.type;
    big.size = 0xFFFFFFF0u;
    Unpack u;
    const RunResult r = u.Run("vol", {big});
    EXPECT_EQ(r.out, kHead + c.lines);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
  }
}

TEST(Walk, NamesWithSlashNeverLeaveTheTarget) {
  for (const std::string name : {"../x", "a/../../x", "/etc/x", "sub/x"}) {
    for (uint8_t type : {1, 2, 3}) {
      Entry e = File(name, "payload");
      e.type = type;
      if (type == 1) e.children = {File("inner", "i")};
      Unpack u;
      const RunResult r = u.Run("vol", {Dir("sub", {File("in", "i")}), e});
      EXPECT_EQ(r.out, kHead + "[sub] \n...in (1) \nUnsafe file name: out\\" + name + "\n") << name;
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}, {"out/sub", "dir"}, {"out/sub/in", "file:i"}}))
          << name;
      // Joined as a path, an absolute name would replace the target directory.
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("/etc/x")));
    }
  }
}

TEST(Walk, ChainLoopingToItselfOrBackEndsRun) {
  for (int back : {0, 1}) {
    std::vector<Entry> root = {File("a", "1"), File("b", "2")};
    std::string image = BuildImage("vol", root);
    SetNext(image, root[1].offset, root[back].offset);
    Unpack u;
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead + "a (1) \nb (1) \nDirectory chain loops: out\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Tree(), (Tree{{"a", "file:1"}, {"b", "file:2"}}));
  }
}

TEST(Walk, DirectoriesSharingAChainEndRun) {
  std::vector<Entry> root = {Dir("d1", {File("f", "x")}), Dir("d2", {File("g", "y")})};
  std::string image = BuildImage("vol", root);
  // d2's chain is cut short and its next header becomes d1's file: shared.
  const uint32_t d1File = root[0].children[0].offset;
  const uint32_t d2File = root[1].children[0].offset;
  SetNext(image, d2File, d1File);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "[d1] \n...f (1) \n[d2] \n...g (1) \nDirectory chain loops: out\\d2\n");
  EXPECT_EQ(r.status, 255);
}

TEST(Walk, SubdirectoryStartingAtAReadHeaderEndsRun) {
  // The root chain runs through d's first entry before it reaches d, so d's
  // own chain starts at a header already read: refused once d exists.
  std::vector<Entry> root = {File("f0", "0"), Dir("d", {File("c", "x")})};
  std::string image = BuildImage("vol", root);
  SetNext(image, root[0].offset, root[1].children[0].offset);
  SetNext(image, root[1].children[0].offset, root[1].offset);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "f0 (1) \nc (1) \n[d] \nDirectory chain loops: out\\d\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Tree(), (Tree{{"f0", "file:0"}, {"c", "file:x"}, {"d", "dir"}}));
}

TEST(Walk, AllStartsADirectoryAtItsInfoWord) {
  // a's first child lies past zero padding, as genromfs -a and -A leave it,
  // and its info word has the low bits set; e's info word is 0.
  Entry a = Dir("a", {File("f", "x"), Dir("b", {File("g", "y")})});
  a.padding = 48;
  std::vector<Entry> root = {a, Dir("e", {}), File("top", "t")};
  std::string image = BuildImage("vol", root);
  SetSpecInfo(image, root[0].offset, root[0].children[0].offset | 15u);
  {
    Unpack u{.options = {"--all"}};
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead +
                         "[a] \n...f (1) \n...[b] \n......g (1) \n[e] \ntop (1) \n\nDONE. (0 "
                         "symbolic links, 0 hard links, 0 unresolved, 0 special files not made)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.Tree(), (Tree{{"a", "dir"},
                              {"a/f", "file:x"},
                              {"a/b", "dir"},
                              {"a/b/g", "file:y"},
                              {"e", "dir"},
                              {"top", "file:t"}}));
  }
  {
    // Without --all the chain starts after the name, in the padding.
    Unpack u;
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead + "[a] \n...[] \nFile Type 0: out\\a\\\n");
    EXPECT_EQ(r.status, 255);
  }
  // An info word is checked as any chain's next word: one that leads back
  // into the walk, and one past the end of the image.
  const std::pair<uint32_t, std::string> wrong[] = {
      {root[0].offset, "Directory chain loops: out\\e\n"},
      {static_cast<uint32_t>(image.size()), "Read file header failed\n"}};
  for (const auto& [info, message] : wrong) {
    std::string bad = image;
    SetSpecInfo(bad, root[1].offset, info);
    Unpack u{.options = {"--all"}};
    const RunResult r = u.Run(bad);
    EXPECT_EQ(r.out, kHead + "[a] \n...f (1) \n...[b] \n......g (1) \n[e] \n" + message);
    EXPECT_EQ(r.status, 255);
  }
}

TEST(Walk, ListShowsEveryEntryAndCreatesNothing) {
  // Every type, names with every byte class, a hard link before its file and
  // after it, one to a directory, dots left out, a directory past padding.
  const std::string odd =
      "c0\x01\x1f sp\x7f\\ c1\x80\x9f\xc2\x9b"
      "\xc3\xa9\xe2\x82\xac\xff";
  const std::string c0 = "c0\\001\\037 sp\\177\\134 c1";
  const std::string c1 = "\x80\x9f\xc2\x9b\xc3\xa9\xe2\x82\xac\xff";
  // On a terminal, only valid UTF-8 for U+00A0 and above passes.
  const std::string c1Terminal = "\\200\\237\\302\\233\xc3\xa9\xe2\x82\xac\\377";
  Entry device = File("dev", "");
  device.type = 5;
  device.specInfo = 0x00050001;
  Entry fifo = File("fifo", "");
  fifo.type = 7;
  Entry d = DirWithDots("d", {File(odd, "data", true), HardLink("after"), Link("l", "to\n" + odd)});
  d.padding = 16;
  d.exec = true;
  std::vector<Entry> root = {HardLink("."), HardLink("before"), d, device,
                             fifo,          HardLink("to dir")};
  std::string image = BuildImage("vol", root);
  const uint32_t file = root[2].children[2].offset;
  SetSpecInfo(image, root[1].offset, file);
  SetSpecInfo(image, root[2].children[3].offset, file);
  SetSpecInfo(image, root[5].offset, root[2].offset);
  for (const auto out : {RunOptions::Out::kPipe, RunOptions::Out::kTerminal}) {
    const std::string shown = c0 + (out == RunOptions::Out::kTerminal ? c1Terminal : c1);
    Unpack u{.options = {"--list"}, .run = {.out = out}};
    const RunResult r = u.Run(image, std::vector<std::string>{});
    char dirLink[16];
    snprintf(dirLink, sizeof dirLink, "0x%x", root[2].offset);
    EXPECT_EQ(r.out, "h-          0 before link to d/" + shown +
                         "\n"
                         "dx          0 d\n"
                         "-x          4 d/" +
                         shown +
                         "\n"
                         "h-          0 d/after link to d/" +
                         shown +
                         "\n"
                         "l-         " +
                         std::to_string(3 + odd.size()) + " d/l -> to\\012" + shown +
                         "\n"
                         "c-        5,1 dev\n"
                         "p-          0 fifo\n"
                         "h-          0 to dir link to " +
                         dirLink + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(u.Left(), Tree{});
  }
  {
    // A target is a mistake.
    Unpack u{.options = {"--list"}};
    const RunResult r = u.Run(image, {"out"});
    EXPECT_TRUE(r.out.starts_with("skelvane (v1.1, orvenk, 2003/09)\n\nUSAGE:")) << r.out;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), Tree{});
  }
  {
    // Damage ends the listing with the unpack's message, its path escaped
    // as the lines are, so that no name forges a line; the hard link before
    // it names a file past it by its header.
    std::string bad = image;
    WriteWordAt(bad, root[2].children[2].offset + 12, 1);
    FixVolumeChecksum(bad);
    Unpack u{.options = {"--list"}};
    const RunResult r = u.Run(bad, std::vector<std::string>{});
    char hex[16];
    snprintf(hex, sizeof hex, "0x%x", file);
    EXPECT_EQ(r.out, "h-          0 before link to " + std::string(hex) +
                         "\ndx          0 d\nChecksum Error: d/" + c0 + c1 + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), Tree{});
  }
}

Entry Nested(int levels, Entry leaf) {
  Entry e = std::move(leaf);
  for (int i = 0; i < levels; ++i) e = Dir("d", {std::move(e)});
  return e;
}

TEST(Walk, NestingUpTo255LevelsAndNoDeeper) {
  {
    Unpack u;
    const RunResult r = u.Run("vol", {Nested(255, File("f", "bottom"))});
    EXPECT_EQ(r.status, 0);
    std::string path = "d";
    for (int i = 1; i < 255; ++i) path += "/d";
    EXPECT_EQ(u.Tree().at(path + "/f"), "file:bottom");
    EXPECT_TRUE(r.out.ends_with(std::string(765, '.') + "f (6) \n\nDONE.\n"));
  }
  {
    Unpack u;
    const RunResult r = u.Run("vol", {Nested(300, File("f", "bottom"))});
    std::string shown = "out";
    for (int i = 0; i < 256; ++i) shown += "\\d";
    EXPECT_TRUE(r.out.ends_with(std::string(765, '.') +
                                "[d] \nDirectory nesting too deep: " + shown + "\n"))
        << r.out.substr(r.out.size() - 200);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left().size(), 256u);  // out and 255 levels below it, nothing deeper
  }
}

TEST(Walk, PathsLongerThan260Bytes) {
  const std::string n(200, 'n');
  {
    Unpack u;
    const RunResult r = u.Run("vol", {Dir(n, {Dir(n, {File(n, "far")})})});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(u.Tree().at(n + "/" + n + "/" + n), "file:far");
  }
  {
    // Past the system's limit on whole paths: creation relative to open
    // directories never hands the system more than one name.
    Entry deep = File("f", "x");
    for (int i = 0; i < 25; ++i) deep = Dir(n, {std::move(deep)});
    Unpack u;
    const RunResult r = u.Run("vol", {deep});
    EXPECT_TRUE(r.out.ends_with(std::string(75, '.') + "f (1) \n\nDONE.\n"));
    EXPECT_EQ(r.status, 0);
    int fd = open((u.dir / "out").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 25; ++i) {
      const int sub = openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = sub;
    }
    char bytes[2] = {};
    const int f = openat(fd, "f", O_RDONLY);
    EXPECT_EQ(read(f, bytes, 2), 1);
    EXPECT_EQ(bytes[0], 'x');
    close(f);
    close(fd);
  }
}

TEST(Walk, EntryBeyondTwoGigabytes) {
  // A sparse image: the root's second entry lies past 2^31.
  std::vector<Entry> root = {File("low", "l")};
  std::string image = BuildImage("vol", root);
  const uint32_t far = 0x80000010u;
  SetNext(image, root[0].offset, far);
  Unpack u;
  WriteFileBytes(u.dir / "image.img", image);
  WriteBytesAt(u.dir / "image.img", far, LoneEntry(File("high", "far away"), 0));
  const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path());
  EXPECT_EQ(r.out, kHead + "low (1) \nhigh (8) \n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{"low", "file:l"}, {"high", "file:far away"}}));
}

}  // namespace
