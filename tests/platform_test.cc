// The platform layer's reads, seeks and copies, mapped and unmapped.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/test_util.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

std::string ReadAll(ImageFile& image, size_t count, size_t* got) {
  std::string s(count, '\0');
  EXPECT_TRUE(ReadImageFile(image, s.data(), count, got));
  s.resize(*got);
  return s;
}

TEST(Platform, MappedReadsStopAtTheEnd) {
  ScratchDir dir;
  const std::string bytes = Pattern(1000);
  WriteFileBytes(dir / "i", bytes);
  ImageFile image;
  ASSERT_TRUE(OpenImageFile((dir / "i").c_str(), image));
  EXPECT_TRUE(image.mapped);
  size_t got;
  ASSERT_TRUE(SeekImageFile(image, 990));
  EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(990));
  EXPECT_EQ(ReadAll(image, 16, &got), "");
  ASSERT_TRUE(SeekImageFile(image, 1ull << 33));  // far past the end reads nothing
  EXPECT_EQ(ReadAll(image, 4, &got), "");
  ASSERT_TRUE(SeekImageFile(image, 10));
  EXPECT_EQ(MappedBytesAvailable(image, 5000), 990u);
  CloseImageFile(image);
}

TEST(Platform, PipeReadsLoopOverPiecesAndRefuseSeeks) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string bytes = Pattern(200000);
  std::thread writer([&] {
    // Small pieces with pauses: the reader must gather them.
    for (size_t at = 0; at < bytes.size(); at += 7000) {
      const size_t n = std::min<size_t>(7000, bytes.size() - at);
      (void)!write(fds[1], bytes.data() + at, n);
      if (at < 30000) usleep(1000);
    }
    close(fds[1]);
  });
  ImageFile image;
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  ASSERT_TRUE(OpenImageFile(path.c_str(), image));
  EXPECT_FALSE(image.mapped);
  size_t got;
  EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(0, 16));
  EXPECT_EQ(ReadAll(image, 512, &got), bytes.substr(16, 512));
  EXPECT_EQ(ReadAll(image, 150000, &got), bytes.substr(528, 150000));
  EXPECT_EQ(ReadAll(image, 100000, &got), bytes.substr(150528));
  EXPECT_FALSE(SeekImageFile(image, 0));
  EXPECT_EQ(std::string(GetLastErrorString()), "Illegal seek\n");
  writer.join();
  CloseImageFile(image);
  close(fds[0]);
}

TEST(Platform, CopiesCountBytesFromThePosition) {
  ScratchDir dir;
  const std::string bytes = Pattern(3 << 20);
  WriteFileBytes(dir / "i", bytes);
  ImageFile image;
  ASSERT_TRUE(OpenImageFile((dir / "i").c_str(), image));
  ASSERT_TRUE(SeekImageFile(image, 12345));
  const int fd = CreateNewOutputFile(dir / "o");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(CopyMappedToFile(image, fd, 2 << 20));
  EXPECT_TRUE(CloseOutputFile(fd));
  EXPECT_EQ(image.pos, 12345u + (2 << 20));
  EXPECT_EQ(ScanTree(dir.path()).at("o"), "file:" + bytes.substr(12345, 2 << 20));
  CloseImageFile(image);
}

TEST(Platform, CreationNeverReplacesOrFollows) {
  ScratchDir dir;
  ASSERT_EQ(symlink("elsewhere", (dir / "link").c_str()), 0);
  EXPECT_LT(CreateNewOutputFile(dir / "link"), 0);
  EXPECT_FALSE(MakeDirectory(dir / "link"));
  EXPECT_FALSE(MakeSymbolicLink("x", dir / "link"));
  EXPECT_EQ(std::string(GetLastErrorString()), "File exists\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

}  // namespace
