// Hostile images: whatever an image holds, the run ends soon (the runner's
// time limit), with its message, and nothing appears outside the target.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/test_util.h"

namespace {

TEST(Hostile, NextOffsetOutsideTheEntries) {
  // 0 ends a chain, so 16, the volume name, is as far into the volume header
  // as a chain can point: read as a header, its name is the empty text at 32
  // and its checksum fails.
  const struct {
    uint32_t next;
    std::string last;
  } cases[] = {
      {16, "Checksum Error: out\\\n"},
      {128, "Read file header failed\n"},  // the end of the image
      {0xFFFFFFF0, "Read file header failed\n"},
  };
  for (const auto& c : cases) {
    std::vector<Entry> root = {File("a", "1"), File("b", "2")};
    std::string image = BuildImage("vol", root);
    ASSERT_EQ(image.size(), 128u);
    SetNext(image, root[1].offset, c.next);
    Unpack u;
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead + "a (1) \nb (1) \n" + c.last) << c.next;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}, {"out/a", "file:1"}, {"out/b", "file:2"}}));
  }
}

TEST(Hostile, LoopsThroughEntriesThatCreateNothing) {
  // Unchecked, these would print forever: "." and ".." create nothing that
  // could fail.
  for (int back : {0, 1}) {
    std::vector<Entry> root = {Dir(".", {}), HardLink("..")};
    std::string image = BuildImage("vol", root);
    SetNext(image, root[1].offset, root[back].offset);
    Unpack u;
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, kHead + "[.] \n[..] \nDirectory chain loops: out\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
  }
}

TEST(Hostile, ChainRunningOnIntoItsParentsChain) {
  // d's chain goes on with the root's f, which is unpacked into d; the root
  // chain then reaches f again.
  std::vector<Entry> root = {Dir("d", {File("c", "1")}), File("f", "2")};
  std::string image = BuildImage("vol", root);
  SetNext(image, root[0].children[0].offset, root[1].offset);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "[d] \n...c (1) \n...f (1) \nDirectory chain loops: out\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Left(),
            (Tree{{"out", "dir"}, {"out/d", "dir"}, {"out/d/c", "file:1"}, {"out/d/f", "file:2"}}));
}

TEST(Hostile, TwoDirectoriesWithTheSameChain) {
  // d2's header lies inside d1's name, and both padded names end at 80, where
  // the one chain they share starts.
  std::string image = std::string("-rom1fs-", 8) + std::string(8, '\0') + "vol";
  image.resize(80, '\0');
  WriteWordAt(image, 32, 48 | 1);
  WriteWordAt(image, 48, 0x7F7F7F70 | 8 | 1);  // past the end: never reached
  WriteWordAt(image, 56, 0x42424242);
  image.replace(64, 2, "d2");
  std::vector<Entry> chain = {File("c", "x")};
  image += BuildImage("", chain).substr(32);  // the entry laid out at 32 moves to 80
  // d1's name is d2's header and name, so d2's header may hold no zero byte and no "/".
  uint32_t info = 0x41414141;
  do {
    WriteWordAt(image, 52, info++);
    FixEntryChecksum(image, 48);
  } while (image.substr(48, 16).find_first_of(std::string("\0/", 2)) != std::string::npos);
  FixEntryChecksum(image, 32);
  ASSERT_EQ(DataOffset(image, 32), 80u);
  ASSERT_EQ(DataOffset(image, 48), 80u);
  FixVolumeChecksum(image);
  const std::string d1 = image.substr(48, 18);

  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead + "[" + d1 + "] \n...c (1) \n[d2] (X)\nDirectory chain loops: out\\d2\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Left(), (Tree{{"out", "dir"},
                            {"out/" + d1, "dir"},
                            {"out/" + d1 + "/c", "file:x"},
                            {"out/d2", "dir"}}));
}

TEST(Hostile, ImageOf100Bytes) {
  // The volume name runs to the end of the image, so the root chain would
  // start at 112, past it.
  std::string image = std::string("-rom1fs-", 8) + std::string(8, '\0') + std::string(84, 'v');
  FixVolumeChecksum(image);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, "Image name=" + std::string(84, 'v') +
                       " (84)\nUNPACKING ROMFS IMAGE image.img to out...\n"
                       "Read file header failed\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
}

TEST(Hostile, LinkNamedLikeADirectoryCannotRedirectIt) {
  // Links are made after the tree, so the real directory d is there first.
  Unpack u;
  const std::string elsewhere = u.dir / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  const RunResult r =
      u.Run("vol", {Link("d", elsewhere), Dir("d", {File("f", "in d"), Link("l", "t")})});
  EXPECT_EQ(r.out, kHead + "d <SYMBOLIC LINK> (" + std::to_string(elsewhere.size()) +
                       ") \n"
                       "[d] \n"
                       "...f (4) \n"
                       "...l <SYMBOLIC LINK> (1) \n"
                       "\nRESOLVING SYMBOLIC LINKS...\n"
                       "-> create symbolic link out\\d with " +
                       elsewhere +
                       " (ERROR!!!)\n"
                       "-> create symbolic link out\\d\\l with t (done)\n"
                       "\nDONE. (2 symbolic links, 1 unresolved)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Left(), (Tree{{"elsewhere", "dir"},
                            {"out", "dir"},
                            {"out/d", "dir"},
                            {"out/d/f", "file:in d"},
                            {"out/d/l", "link:t"}}));
}

TEST(Hostile, AnyShapeInBoundedMemory) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit";
#endif
  // 254 nested directories of 255-byte names above 500 leaf directories:
  // the memory a directory costs must not grow with its depth, with or
  // without --all.
  std::vector<Entry> leaves;
  for (int i = 0; i < 500; ++i) leaves.push_back(Dir("l" + std::to_string(i), {HardLink(".")}));
  Entry deep = Dir(std::string(255, 'd'), leaves);
  for (int depth = 1; depth < 254; ++depth) deep = Dir(std::string(255, 'd'), {deep});
  const std::string deepImage = [&] {
    std::vector<Entry> root = {deep};
    return BuildImage("vol", root);
  }();
  // 262,144 links 32 bytes apart whose 4,095-byte targets run on over the
  // entries after them: 1 GiB of targets from an 8 MiB image, which must
  // not be held.
  constexpr int kLinks = 262144;
  std::vector<Entry> links;
  for (int i = 0; i < kLinks; ++i) {
    links.push_back(Link("s", ""));
    links.back().size = 4095;
  }
  links.push_back(File("end", std::string(4096, 'e')));
  const std::string linksImage = BuildImage("vol", links);
  constexpr uint64_t kLimit = 64 << 20;
  for (const bool all : {false, true}) {
    Unpack u{.options = all ? std::vector<std::string>{"--all"} : std::vector<std::string>{},
             .run = {.memoryLimit = kLimit}};
    const RunResult r = u.Run(deepImage);
    EXPECT_TRUE(r.out.ends_with("...[.] \n\nDONE." +
                                std::string(all ? " (0 symbolic links, 0 hard links, 0 unresolved, "
                                                  "0 special files not made)\n"
                                                : "\n")))
        << r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 200));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
  // The listing holds no more per level than the unpack does.
  Unpack listed{.options = {"--list"}, .run = {.memoryLimit = kLimit}};
  const RunResult list = listed.Run(deepImage, std::vector<std::string>{});
  EXPECT_TRUE(list.out.ends_with(std::string(255, 'd') + "/l499\n"));
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.err, "");
  // Each target holds zero bytes, so no link is made.
  Unpack u{.options = {"--all"}, .run = {.memoryLimit = kLimit}};
  const RunResult r = u.Run(linksImage);
  std::string trace, made;
  for (int i = 0; i < kLinks; ++i) trace += "s <SYMBOLIC LINK> (4095) \n";
  for (int i = 0; i < kLinks; ++i) made += "-> create symbolic link out\\s with  (ERROR!!!)\n";
  EXPECT_TRUE(r.out == kHead + trace + "end (4096) \n\nRESOLVING LINKS...\n" + made +
                           "\nDONE. (262144 symbolic links, 0 hard links, 262144 unresolved, 0 "
                           "special files not made)\n")
      << r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 200));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "skelvane: 262144 links not made (the trace says why)\n");
  EXPECT_EQ(u.Tree(), (Tree{{"end", "file:" + std::string(4096, 'e')}}));
}

TEST(Hostile, FourGigabyteImage) {
  // Alone, and beyond a large offset in a larger file.
  for (const auto& [lastSize, at] : {std::pair{0u, 0ull}, {5u, 0ull}, {5u, 0xC0000003ull}}) {
    Unpack u;
    WriteFourGigabyteImage(u.dir / "image.img", lastSize, at);
    const RunResult r = RunSkelvane(
        at ? std::vector<std::string>{"--offset", std::to_string(at), "image.img", "out"}
           : std::vector<std::string>{"image.img", "out"},
        u.dir.path());
    const std::string listing = kFourGigabyteListing + std::to_string(lastSize) + ") \n";
    Tree left = kFourGigabyteTree;
    if (lastSize == 0) {
      EXPECT_EQ(r.out, listing + "\nDONE.\n");
      EXPECT_EQ(r.status, 0);
    } else {
      left.erase("out/end");
      // Wrapped at 2^32, the data would be read from the volume header.
      EXPECT_EQ(r.out, listing + "Read file buffer failed (5, 0)\n");
      EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(u.Left(), left);
  }
}

TEST(Hostile, ThreeGigabyteFile) {
  // The data is sparse but for a few marked bytes; the copy is real, about
  // 3 GB of disk for a moment.
  const uint32_t size = 3000000000u;
  Entry big = File("big", "ab");  // the first bytes lie inside the volume checksum
  big.size = size;
  std::vector<Entry> root = {big};
  const std::string image = BuildImage("vol", root);
  const uint32_t data = DataOffset(image, root[0].offset);
  std::map<uint32_t, char> samples = {{0x7FFFFFFF, 'c'}, {0x80000000, 'd'}, {size - 1, 'e'}};
  Unpack u;
  WriteFileBytes(u.dir / "image.img", image);
  for (const auto& [at, byte] : samples) WriteBytesAt(u.dir / "image.img", data + at, {byte});
  samples.insert({{0, 'a'}, {1, 'b'}, {2, 0}, {0x7FFFFFFE, 0}, {0x80000001, 0}, {size - 2, 0}});

  const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path(), {.timeLimit = 300});
  EXPECT_EQ(r.out, kHead + "big (3000000000) \n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  const std::string out = u.dir / "out/big";
  ASSERT_EQ(std::filesystem::file_size(out), size);
  std::ifstream in(out, std::ios::binary);
  for (const auto& [at, byte] : samples) {
    in.seekg(at);
    EXPECT_EQ(in.get(), static_cast<unsigned char>(byte)) << at;
  }
  in.close();
  std::filesystem::remove(out);
  EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
}

}  // namespace

TEST(Hostile, DirectorySwappedDuringTheRun) {
  // Another process renames out/d while the run fills it and puts a link to
  // another folder, or a FIFO, in its place: the rest of d still goes into
  // d, under its new name, and no link in d, nor a hard link to a file in d,
  // is made through the swapped path or left waiting on the FIFO.
  std::string listing = kHead + "[d] \n";
  std::vector<Entry> d = ManyFiles(listing, "...");
  d.push_back(Link("l", "t"));
  d.push_back(HardLink("h"));
  listing += "...l <SYMBOLIC LINK> (1) \n...[h] \nafter (1) \n[h2] \n";
  for (const bool fifo : {false, true}) {
    Unpack u;
    const std::string elsewhere = u.dir / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    WriteFileBytes(u.dir / "image.img", [&] {
      std::vector<Entry> root = {Dir("d", d), File("after", "a"), HardLink("h2")};
      std::string image = BuildImage("vol", root);
      SetSpecInfo(image, root[0].children.back().offset, root[1].offset);
      SetSpecInfo(image, root[2].offset, root[0].children[0].offset);
      return image;
    }());
    const RunResult r =
        RunSkelvane({"--all", "image.img", "out"}, u.dir.path(), {.whenStalled = [&] {
                      std::filesystem::rename(u.dir / "out/d", u.dir / "out/moved");
                      if (fifo)
                        ASSERT_EQ(mkfifo((u.dir / "out/d").c_str(), 0600), 0);
                      else
                        std::filesystem::create_directory_symlink(elsewhere, u.dir / "out/d");
                    }});
    EXPECT_EQ(r.out, listing +
                         "\nRESOLVING LINKS...\n"
                         "-> create symbolic link out\\d\\l with t (ERROR!!!)\n"
                         "-> create hard link out\\d\\h with out\\after (ERROR!!!)\n"
                         "-> create hard link out\\h2 with out\\d\\" +
                         d[0].name +
                         " (ERROR!!!)\n"
                         "\nDONE. (1 symbolic links, 2 hard links, 3 unresolved, 0 special files "
                         "not made)\n");
    EXPECT_EQ(r.status, 0);
    Tree left = u.Left();
    EXPECT_EQ(left.erase("elsewhere"), 1u);
    EXPECT_EQ(left["out/d"], fifo ? "other" : "link:" + elsewhere);
    left.erase("out/d");
    EXPECT_EQ(left.erase("out/after"), 1u);
    EXPECT_EQ(left.erase("out/moved"), 1u);
    EXPECT_EQ(left.erase("out"), 1u);
    EXPECT_EQ(left.size(), 700u);
    for (const auto& [path, what] : left) {
      EXPECT_TRUE(path.starts_with("out/moved/")) << path;
      EXPECT_EQ(what, "file:x") << path;
    }
  }
}

TEST(Hostile, HardLinkOnlyToTheFileTheRunMade) {
  // Another process puts something else under the name of the file a hard
  // link names, after the walk made it: a hard link to a file outside the
  // tree, a FIFO, a link to another file. None of them is linked.
  std::string listing = kHead + "f (4) \n";
  std::vector<Entry> root = {File("f", "mine")};
  for (Entry& e : ManyFiles(listing, "")) root.push_back(e);
  root.push_back(HardLink("h"));
  listing += "[h] \n";
  std::string image = BuildImage("vol", root);
  SetSpecInfo(image, root.back().offset, root[0].offset);
  for (const std::string swap : {"hard link", "fifo", "symbolic link"}) {
    Unpack u;
    const std::string outside = u.dir / "outside", f = u.dir / "out/f";
    WriteFileBytes(outside, "not mine");
    WriteFileBytes(u.dir / "image.img", image);
    const RunResult r =
        RunSkelvane({"--all", "image.img", "out"}, u.dir.path(), {.whenStalled = [&] {
                      std::filesystem::remove(f);
                      if (swap == "hard link") std::filesystem::create_hard_link(outside, f);
                      if (swap == "fifo") {
                        ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
                      }
                      if (swap == "symbolic link") std::filesystem::create_symlink(outside, f);
                    }});
    EXPECT_EQ(r.out, listing +
                         "\nRESOLVING LINKS...\n"
                         "-> create hard link out\\h with out\\f (ERROR!!!)\n"
                         "\nDONE. (0 symbolic links, 1 hard links, 1 unresolved, 0 special files "
                         "not made)\n")
        << swap;
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(u.dir / "out/h"))) << swap;
  }
}

TEST(Hostile, ImageCutShortDuringTheRun) {
  // The image loses its end while the run is held up: the file whose data is
  // gone ends the run with the short read's message, never with a signal.
  std::string listing = kHead;
  std::vector<Entry> root = ManyFiles(listing, "");
  const std::string big(4 << 20, 'b');
  root.push_back(File("big", big));
  Unpack u;
  const std::string image = BuildImage("vol", root);
  WriteFileBytes(u.dir / "image.img", image);
  const uint32_t cut = DataOffset(image, root.back().offset) + (1 << 20);
  const RunResult r =
      RunSkelvane({"image.img", "out"}, u.dir.path(),
                  {.whenStalled = [&] { std::filesystem::resize_file(u.dir / "image.img", cut); }});
  EXPECT_EQ(r.out, listing + "big (4194304) \nRead file buffer failed (4194304, 1048576)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(u.Tree().at("big"), "file:" + big.substr(0, 1 << 20));
}
