#include "image/image.h"

#include <bit>
#include <cstring>

#include "platform/fatal.h"

ImageFile* hImage = nullptr;

void SetFilePointerFromBegin(ImageFile* handle, uint64_t offset) {
  if (!SeekImageFile(handle, offset))
    Fatal("SetFilePointer failed, Error: %s", GetLastErrorString());
}

void LittleToBigEndian(uint32_t& word) {
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
}

uint32_t DecodeWord(const uint8_t* p) {
  uint32_t word;
  memcpy(&word, p, sizeof word);
  LittleToBigEndian(word);
  return word;
}
