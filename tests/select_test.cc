// What a run takes of an image: --include and --exclude for the unpack and
// the listing, and --cat for one file's bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/test_util.h"

namespace {

// etc/passwd, etc/init.d/rc; bin/busybox and its links sh, abs, up and
// loop; a hard link bb to busybox; a fifo p.
std::string SelectionImage(bool damaged = false) {
  Entry fifo = File("p", "");
  fifo.type = 7;
  Entry busybox = File("busybox", "BB", true);
  busybox.badChecksum = damaged;
  std::vector<Entry> root = {
      Dir("etc", {File("passwd", "root\n"), Dir("init.d", {File("rc", "rc")})}),
      Dir("bin", {busybox, Link("sh", "busybox"), Link("abs", "/etc/passwd"),
                  Link("up", "../etc/passwd"), Link("loop", "loop")}),
      HardLink("bb"), fifo};
  std::string image = BuildImage("vol", root);
  SetSpecInfo(image, root[2].offset, root[1].children[0].offset);
  return image;
}

TEST(Select, OnlyWhatIsSelectedAndTheWayToIt) {
  const std::string image = SelectionImage();
  // A directory brings what is below it; a hard link whose file is left
  // out gets its bytes; a pattern that meets nothing fails the run, after
  // all else is done.
  Unpack u{.options = {"--all", "--include", "etc/init.d", "--include", "bb", "--include",
                       "/bin/s*", "--include", "nope"}};
  RunResult r = u.Run(image);
  EXPECT_EQ(r.out,
            "Image name=vol (3)\nUNPACKING ROMFS IMAGE image.img to out...\n"
            "[etc] \n...[init.d] \n......rc (2) \n[bin] \n...sh <SYMBOLIC LINK> (7) \n"
            "[bb] \n\nRESOLVING LINKS...\n"
            "-> create symbolic link out\\bin\\sh with busybox (done)\n"
            "-> create hard link out\\bb with out\\bin\\busybox (copied)\n"
            "\nDONE. (1 symbolic links, 1 hard links, 0 unresolved, 0 special files not "
            "made)\n");
  EXPECT_EQ(r.err, "skelvane: nope: not in the image\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Tree(), (Tree{{"etc", "dir"},
                            {"etc/init.d", "dir"},
                            {"etc/init.d/rc", "file:rc"},
                            {"bin", "dir"},
                            {"bin/sh", "link:busybox"},
                            {"bb", "file:BB"}}));
  // Exclusion wins; the listing lists only what is selected, and says
  // which hard link stands for a copy.
  Unpack listed{
      .options = {"--list", "--include", "etc", "--include", "bb", "--exclude", "*/init.d"}};
  r = listed.Run(image, std::vector<std::string>{});
  EXPECT_EQ(r.out,
            "d-          0 etc\n--          5 etc/passwd\nh-          0 bb link to bin/busybox "
            "(copied)\n");
  r = RunSkelvane({"--list", "--json", "--include", "bb", "image.img"}, listed.dir.path());
  EXPECT_TRUE(
      r.out.starts_with("{\"path\":\"bb\",\"type\":\"hardlink\",\"exec\":false,\"size\":0,\"link\":"
                        "\"bin/busybox\",\"copied\":true,\"offset\":"))
      << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(listed.Left(), Tree{});
}

TEST(Select, TheWayDownToTheDeepestLevel) {
  // 255 levels, the deepest the walk goes: its way is made, level by level.
  Entry deep = Dir("d", {File("leaf", "x")});
  for (int depth = 1; depth < 255; ++depth) deep = Dir("d", {deep});
  std::vector<Entry> root = {deep};
  Unpack u{.options = {"--include", "*leaf"}};
  const RunResult r = u.Run(BuildImage("vol", root));
  EXPECT_EQ(r.status, 0);
  std::string leaf = "out";
  for (int depth = 0; depth < 255; ++depth) leaf += "/d";
  EXPECT_EQ(ReadFileBytes(u.dir / (leaf + "/leaf")), "x");
}

TEST(Select, CatWritesFilesFollowingLinksInsideTheImage) {
  ScratchDir dir;
  WriteFileBytes(dir / "i.img", SelectionImage());
  // A link relative to its directory, a hard link, an absolute target
  // from the image's root, one after another.
  RunResult r = RunSkelvane(
      {"--cat", "bin/sh", "--cat", "bb", "--cat", "bin/abs", "--cat", "./bin/../bin/up", "i.img"},
      dir.path());
  EXPECT_EQ(r.out, "BBBBroot\nroot\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // What is no file is said, and the next one follows, as with cat.
  r = RunSkelvane({"--cat", "etc", "--cat", "nothere", "--cat", "bin/loop", "--cat", "p", "--cat",
                   "etc/passwd", "i.img"},
                  dir.path());
  EXPECT_EQ(r.out, "root\n");
  EXPECT_EQ(r.err,
            "skelvane: etc: is a directory\nskelvane: nothere: not in the image\n"
            "skelvane: bin/loop: too many symbolic links (a loop?)\n"
            "skelvane: p: is not a regular file\n");
  EXPECT_EQ(r.status, 255);
  // Damage on the way ends the run with the unpack's message.
  WriteFileBytes(dir / "d.img", SelectionImage(true));
  r = RunSkelvane({"--cat", "bin/sh", "d.img"}, dir.path());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "skelvane: Checksum Error: busybox\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ScanTree(dir.path()).size(), 2u);
}

}  // namespace
