// The format reader: volume check, entry headers, names and checksums.
#include "image/romfs.h"

#include <gtest/gtest.h>

#include "image/image.h"
#include "tests/test_util.h"

namespace {

// Opens bytes as the image the reader works on.
class Reader : public ::testing::Test {
 protected:
  void Open(const std::string& bytes) {
    WriteFileBytes(dir_ / "r.img", bytes);
    hImage = OpenImageFile((dir_ / "r.img").c_str());
    ASSERT_TRUE(hImage);
  }
  void TearDown() override {
    CloseImageFile(hImage);
    hImage = nullptr;
  }
  ScratchDir dir_;
};

TEST_F(Reader, EntryHeaderDecodesTypeExecAndNext) {
  std::string image(32, '\0');
  WriteWordAt(image, 16, 0x12345678 | 8 | 3);
  WriteWordAt(image, 24, 0xFFFFFFF0);
  Open(image);
  EntryHeader h;
  ASSERT_TRUE(ReadEntryHeader(16, h));
  EXPECT_EQ(h.nextOffset, 0x12345670u);
  EXPECT_TRUE(h.execFlag);
  EXPECT_EQ(h.entryType, 3);
  EXPECT_EQ(h.size, 0xFFFFFFF0u);
}

TEST_F(Reader, NameSpaceIsPaddedTo16) {
  std::string image(16, '\0');
  image += std::string(259, 'n') + '\0' + std::string(12, '\0');
  image += "a" + std::string(15, '\0');
  image += std::string(16, 'b') + std::string(16, '\0');
  Open(image);
  std::string name;
  uint64_t offset = 16;
  ASSERT_TRUE(GetFileNameAndSetOffsetData(name, offset));
  EXPECT_EQ(name, std::string(259, 'n'));
  EXPECT_EQ(offset, 16u + 272);
  ASSERT_TRUE(GetFileNameAndSetOffsetData(name, offset));
  EXPECT_EQ(name, "a");
  EXPECT_EQ(offset, 16u + 272 + 16);
  ASSERT_TRUE(GetFileNameAndSetOffsetData(name, offset));
  EXPECT_EQ(name, std::string(16, 'b'));
  EXPECT_EQ(offset, 16u + 272 + 16 + 32);
}

TEST_F(Reader, NameTooLongOrUnterminatedIsRefused) {
  Open(std::string(16, '\0') + std::string(260, 'n') + '\0' + std::string(4, 'u'));
  std::string name;
  uint64_t offset = 16;
  EXPECT_FALSE(GetFileNameAndSetOffsetData(name, offset));
  offset = 16 + 261;
  EXPECT_FALSE(GetFileNameAndSetOffsetData(name, offset));
}

TEST_F(Reader, ChecksumCountsMissingBytesAsZero) {
  std::string image(20, '\0');
  WriteWordAt(image, 0, 0x80000000);
  WriteWordAt(image, 4, 0x7FFFFFFF);
  WriteWordAt(image, 8, 1);  // the sum wraps to 0 here
  WriteWordAt(image, 16, 5);
  Open(image);
  EXPECT_TRUE(TestChecksum(0, 12));
  EXPECT_TRUE(TestChecksum(0, 15));  // the partial word is dropped
  EXPECT_FALSE(TestChecksum(0, 20));
  EXPECT_FALSE(TestChecksum(16, 512));
  EXPECT_TRUE(TestChecksum(12, 16));
  EXPECT_TRUE(TestChecksum(100, 512));
}

const std::string kOk = "UNPACKING ROMFS IMAGE image.img to out...\nf (1) \n\nDONE.\n";

TEST(Volume, NameDecidesWhereTheRootChainStarts) {
  for (const std::string& name :
       {std::string(), std::string(15, 'v'), std::string(16, 'v'), std::string(511, 'v')}) {
    Unpack u;
    const RunResult r = u.Run(name, {File("f", "x")});
    EXPECT_EQ(r.out, "Image name=" + name + " (" + std::to_string(name.size()) + ")\n" + kOk);
    EXPECT_EQ(u.Tree(), (Tree{{"f", "file:x"}}));
  }
}

TEST(Volume, NameWithoutTerminatorEndsAt512Bytes) {
  // The region read is 512 bytes; a name filling it ends there, and the
  // root chain starts after the 528 bytes its terminator would need.
  std::vector<Entry> root = {File("f", "x")};
  std::string image = BuildImage(std::string(512, 'v'), root);
  Unpack u;
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, "Image name=" + std::string(512, 'v') + " (512)\n" + kOk);
}

TEST(Volume, BrokenHeadersEndTheRun) {
  std::vector<Entry> root = {File("f", "x")};
  const std::string good = BuildImage("vol", root);
  std::string wrongMagic = good;
  wrongMagic[4] = '2';
  std::string badSum = good;
  WriteWordAt(badSum, 12, ReadWordAt(badSum, 12) + 1);
  const struct {
    std::string image, out;
  } cases[] = {
      {"", "Read image infos failed, size: 0\n"},
      {good.substr(0, 15), "Read image infos failed, size: 15\n"},
      {wrongMagic, "Image info - wrong ASCII ident\n"},
      {badSum, "Image name=vol (3)\nImage Checksum Error\n"},
  };
  for (const auto& c : cases) {
    Unpack u;
    const RunResult r = u.Run(c.image);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(u.Left().empty());
  }
}

TEST(Volume, ImagesCutShort) {
  std::vector<Entry> root = {File("longname", "x")};
  const std::string good = BuildImage("vol", root);  // the entry is at 32, its name at 48
  std::string header16 = good.substr(0, 16);
  WriteWordAt(header16, 12, 0);
  FixVolumeChecksum(header16);
  const struct {
    std::string image, out;
  } cases[] = {
      {header16,
       "Image name= (0)\nUNPACKING ROMFS IMAGE image.img to out...\nRead file header failed\n"},
      {good.substr(0, 40), kHead + "Read file header failed\n"},
      {good.substr(0, 52), kHead + "Read fileName failed\n"},
  };
  for (const auto& c : cases) {
    Unpack u;
    std::string image = c.image;
    FixVolumeChecksum(image);
    const RunResult r = u.Run(image);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Left(), (Tree{{"out", "dir"}}));
  }
}

}  // namespace
