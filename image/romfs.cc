#include "image/romfs.h"

#include <algorithm>
#include <cstring>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/trace.h"

RomfsImageInfo romfsImageInfo;

namespace {

constexpr size_t kVolumeRegion = 512;

}  // namespace

uint64_t CheckVolume(bool showName) {
  uint8_t header[16];
  size_t got = 0;
  if (!ReadImageFile(hImage, header, sizeof header, &got) || got < sizeof header)
    Fatal("Read image infos failed, size: %zu\n", got);
  memcpy(romfsImageInfo.ident, header, 8);
  romfsImageInfo.fullSize = DecodeWord(header + 8);
  romfsImageInfo.checksum = DecodeWord(header + 12);
  if (memcmp(romfsImageInfo.ident, "-rom1fs-", 8) != 0) Fatal("Image info - wrong ASCII ident\n");

  // Bytes the image does not have count as zero; the name ends at its
  // first zero byte or at the end of the region.
  uint8_t volume[kVolumeRegion] = {};
  if (!ReadImageFile(hImage, volume, sizeof volume, &got))
    Fatal("Read 512 bytes failed, size: %zu\n", got);
  const size_t nameLength = strnlen(reinterpret_cast<const char*>(volume), sizeof volume);
  const std::string name(reinterpret_cast<const char*>(volume), nameLength);
  if (showName) Trace("Image name=%s (%zu)\n", Printable(name).c_str(), nameLength);

  if (!TestChecksum(0, kVolumeRegion)) Fatal("Image Checksum Error\n");
  return 16 + SetToBoundary16(static_cast<uint32_t>(nameLength) + 1);
}

EntryHeader ReadEntryHeader(uint64_t headerOffset) {
  SetFilePointerFromBegin(hImage, headerOffset);
  uint8_t raw[16];
  size_t got = 0;
  if (!ReadImageFile(hImage, raw, sizeof raw, &got) || got < sizeof raw)
    Fatal("Read file header failed\n");
  const uint32_t next = DecodeWord(raw);
  return EntryHeader{
      .nextOffset = next & ~uint32_t{15},
      .execFlag = (next & 8) != 0,
      .entryType = static_cast<uint8_t>(next & 7),
      .specInfo = DecodeWord(raw + 4),
      .size = DecodeWord(raw + 8),
  };
}

void GetFileNameAndSetOffsetData(std::string& name, uint64_t& offset) {
  SetFilePointerFromBegin(hImage, offset);
  name.clear();
  // In the 16-byte pieces names take, up to the first zero byte.
  for (;;) {
    char piece[16];
    size_t got = 0;
    const bool read = ReadImageFile(hImage, piece, sizeof piece, &got);
    const size_t length = strnlen(piece, got);
    name.append(piece, std::min<size_t>(length, kMaxNameLength + 1 - name.size()));
    if (name.size() > kMaxNameLength || (length == got && (!read || got < sizeof piece)))
      Fatal("Read fileName failed\n");
    if (length < got) break;
  }
  offset += SetToBoundary16(static_cast<uint32_t>(name.size()) + 1);
}

bool TestChecksum(uint64_t start, uint64_t end) {
  SetFilePointerFromBegin(hImage, start);
  uint64_t count = end > start ? (end - start) / 4 : 0;
  uint32_t sum = 0;
  // A piece at a time; the words the image does not have are zero.
  while (count > 0) {
    uint8_t piece[512] = {};
    const size_t words = static_cast<size_t>(std::min<uint64_t>(count, sizeof piece / 4));
    size_t got = 0;
    if (!ReadImageFile(hImage, piece, words * 4, &got)) Fatal("Read data failed\n");
    for (size_t i = 0; i < words; ++i) sum += DecodeWord(piece + 4 * i);
    count -= words;
  }
  return sum == 0;
}
