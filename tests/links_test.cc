// Symbolic links: captured during the walk, created after it.
#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(Links, CreatedAfterTheTreeWithTargetsUnchanged) {
  Unpack u;
  const RunResult r =
      u.Run("vol", {Link("abs", "/etc/passwd"), Dir("d", {Link("up", "../f")}), File("f", "data")});
  EXPECT_EQ(r.out, kHead +
                       "abs <SYMBOLIC LINK> (11) \n"
                       "[d] \n"
                       "...up <SYMBOLIC LINK> (4) \n"
                       "f (4) \n"
                       "\nRESOLVING SYMBOLIC LINKS...\n"
                       "-> create symbolic link out\\abs with /etc/passwd (done)\n"
                       "-> create symbolic link out\\d\\up with ../f (done)\n"
                       "\nDONE. (2 symbolic links, 0 unresolved)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      u.Tree(),
      (Tree{{"abs", "link:/etc/passwd"}, {"d", "dir"}, {"d/up", "link:../f"}, {"f", "file:data"}}));
}

TEST(Links, FailedLinksAreCountedAndTheRunSucceeds) {
  // The name is taken by a file; an empty target is refused by the system;
  // no system can hold a target with a zero byte, so none is cut short at it.
  Unpack u;
  const RunResult r = u.Run("vol", {File("taken", "t"), Link("taken", "x"), Link("ok", "taken"),
                                    Link("empty", ""), Link("zero", std::string("ab\0cd", 5))});
  EXPECT_EQ(r.out, kHead +
                       "taken (1) \n"
                       "taken <SYMBOLIC LINK> (1) \n"
                       "ok <SYMBOLIC LINK> (5) \n"
                       "empty <SYMBOLIC LINK> (0) \n"
                       "zero <SYMBOLIC LINK> (5) \n"
                       "\nRESOLVING SYMBOLIC LINKS...\n"
                       "-> create symbolic link out\\taken with x (ERROR!!!)\n"
                       "-> create symbolic link out\\ok with taken (done)\n"
                       "-> create symbolic link out\\empty with  (ERROR!!!)\n"
                       "-> create symbolic link out\\zero with ab (ERROR!!!)\n"
                       "\nDONE. (4 symbolic links, 3 unresolved)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{"taken", "file:t"}, {"ok", "link:taken"}}));
}

std::vector<Entry> ManyLinks(int count) {
  std::vector<Entry> root;
  for (int i = 0; i < count; ++i) root.push_back(Link("l" + std::to_string(i), "t"));
  return root;
}

TEST(Links, AtMost256PerImage) {
  {
    Unpack u;
    const RunResult r = u.Run("vol", ManyLinks(256));
    EXPECT_TRUE(
        r.out.ends_with("-> create symbolic link out\\l255 with t (done)\n"
                        "\nDONE. (256 symbolic links, 0 unresolved)\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.Tree().size(), 256u);
  }
  {
    Unpack u;
    const RunResult r = u.Run("vol", ManyLinks(257));
    EXPECT_TRUE(
        r.out.ends_with("l255 <SYMBOLIC LINK> (1) \nl256 <SYMBOLIC LINK> (1) \n"
                        "Maximum Type 3 Links Reached\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(u.Tree().empty());
  }
  {
    // With --all, as many as the image holds.
    Unpack u{.options = {"--all"}};
    const RunResult r = u.Run("vol", ManyLinks(1000));
    EXPECT_TRUE(
        r.out.ends_with("-> create symbolic link out\\l999 with t (done)\n"
                        "\nDONE. (1000 symbolic links, 0 hard links, 0 unresolved, 0 special "
                        "files not made)\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.Tree().size(), 1000u);
  }
}

TEST(Links, TargetOfAtMost260Bytes) {
  const std::string t260 = "/" + std::string(259, 't');
  {
    Unpack u;
    const RunResult r = u.Run("vol", {Link("l", t260)});
    EXPECT_EQ(r.out, kHead +
                         "l <SYMBOLIC LINK> (260) \n\nRESOLVING SYMBOLIC LINKS...\n"
                         "-> create symbolic link out\\l with " +
                         t260 + " (done)\n\nDONE. (1 symbolic links, 0 unresolved)\n");
    EXPECT_EQ(u.Tree(), (Tree{{"l", "link:" + t260}}));
  }
  {
    Unpack u;
    const RunResult r = u.Run("vol", {Link("l", t260 + "x")});
    EXPECT_EQ(r.out, kHead + "l <SYMBOLIC LINK> (261) \nType 3 Link Size Error\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(u.Tree().empty());
  }
  {
    // With --all, as long as the system holds; a longer one fails alone.
    // One whose bytes the image does not hold ends the run, however long,
    // as the listing ends there too.
    const std::string t4095 = "/" + std::string(4094, 't');
    Entry cut = Link("cut", "");
    cut.size = 4096;
    Unpack damaged{.options = {"--all"}};
    const RunResult ended = damaged.Run("vol", {Link("l", t4095), cut});
    EXPECT_EQ(ended.out, kHead +
                             "l <SYMBOLIC LINK> (4095) \ncut <SYMBOLIC LINK> (4096) \n"
                             "Read file buffer failed (4096, 0)\n");
    EXPECT_EQ(ended.status, 255);
    Unpack u{.options = {"--all"}};
    const RunResult r = u.Run("vol", {Link("l", t4095), Link("m", t4095 + "m")});
    EXPECT_EQ(r.out, kHead +
                         "l <SYMBOLIC LINK> (4095) \nm <SYMBOLIC LINK> (4096) \n"
                         "\nRESOLVING LINKS...\n"
                         "-> create symbolic link out\\l with " +
                         t4095 +
                         " (done)\n-> create symbolic link out\\m with  (ERROR!!!)\n"
                         "\nDONE. (2 symbolic links, 0 hard links, 1 unresolved, 0 special "
                         "files not made)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.Tree(), (Tree{{"l", "link:" + t4095}}));
  }
}

TEST(Links, TargetPastTheEndOfTheImage) {
  std::vector<Entry> root = {Link("l", "0123456789")};
  std::string image = BuildImage("vol", root);
  image.resize(image.size() - 16 + 3);
  FixVolumeChecksum(image);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "l <SYMBOLIC LINK> (10) \nRead file buffer failed (10, 3)\n");
  EXPECT_EQ(r.status, 255);
}

}  // namespace
