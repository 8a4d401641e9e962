#include "image/image.h"

#include <gtest/gtest.h>

namespace {

TEST(Image, SetToBoundary16) {
  EXPECT_EQ(SetToBoundary16(0), 0u);
  EXPECT_EQ(SetToBoundary16(1), 16u);
  EXPECT_EQ(SetToBoundary16(15), 16u);
  EXPECT_EQ(SetToBoundary16(16), 16u);
  EXPECT_EQ(SetToBoundary16(17), 32u);
  EXPECT_EQ(SetToBoundary16(261), 272u);
}

TEST(Image, WordsAreBigEndianOnAnyHost) {
  const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(DecodeWord(bytes), 0x12345678u);
  uint32_t word = 0xA1B2C3D4;
  LittleToBigEndian(word);
  LittleToBigEndian(word);
  EXPECT_EQ(word, 0xA1B2C3D4u);
}

}  // namespace
