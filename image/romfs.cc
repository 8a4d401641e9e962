#include "image/romfs.h"

#include <algorithm>
#include <cstring>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/trace.h"

RomfsImageInfo romfsImageInfo;

uint64_t CheckVolume(bool showName, const std::function<void()>& notAnImage) {
  uint8_t header[16];
  size_t got = 0;
  if (!ReadImageFile(hImage, header, sizeof header, &got) || got < sizeof header)
    Fatal("Read image infos failed, size: %zu\n", got);
  memcpy(romfsImageInfo.ident, header, 8);
  romfsImageInfo.fullSize = DecodeWord(header + 8);
  romfsImageInfo.checksum = DecodeWord(header + 12);
  if (memcmp(romfsImageInfo.ident, kRomfsIdent, kIdentLength) != 0) {
    if (notAnImage) notAnImage();
    Fatal("Image info - wrong ASCII ident\n");
  }

  // Bytes the image does not have count as zero; the name ends at its
  // first zero byte or at the end of the region.
  uint8_t volume[kVolumeRegion] = {};
  if (!ReadImageFile(hImage, volume, sizeof volume, &got))
    Fatal("Read 512 bytes failed, size: %zu\n", got);
  const std::string name = VolumeName(volume, sizeof volume);
  const size_t nameLength = name.size();
  if (showName) Trace("Image name=%s (%zu)\n", Printable(name).c_str(), nameLength);

  if (!TestChecksum(0, kVolumeRegion)) Fatal("Image Checksum Error\n");
  return 16 + SetToBoundary16(static_cast<uint32_t>(nameLength) + 1);
}

std::string VolumeName(const uint8_t* afterHeader, size_t count) {
  const auto* text = reinterpret_cast<const char*>(afterHeader);
  return std::string(text, strnlen(text, std::min(count, kVolumeRegion)));
}

bool StartsImage(const uint8_t* start, size_t count) {
  if (count < 16 || memcmp(start, kRomfsIdent, kIdentLength) != 0) return false;
  uint8_t region[kVolumeRegion] = {};
  memcpy(region, start, std::min(count, kVolumeRegion));
  uint32_t sum = 0;
  for (size_t at = 0; at < kVolumeRegion; at += 4) sum += DecodeWord(region + at);
  return sum == 0;
}

bool ReadEntryHeader(uint64_t headerOffset, EntryHeader& header) {
  SetFilePointerFromBegin(hImage, headerOffset);
  uint8_t raw[16];
  size_t got = 0;
  if (!ReadImageFile(hImage, raw, sizeof raw, &got) || got < sizeof raw) return false;
  const uint32_t next = DecodeWord(raw);
  header = EntryHeader{
      .nextOffset = next & ~uint32_t{15},
      .execFlag = (next & 8) != 0,
      .entryType = static_cast<uint8_t>(next & 7),
      .specInfo = DecodeWord(raw + 4),
      .size = DecodeWord(raw + 8),
  };
  return true;
}

bool GetFileNameAndSetOffsetData(std::string& name, uint64_t& offset) {
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
      return false;
    if (length < got) break;
  }
  offset += SetToBoundary16(static_cast<uint32_t>(name.size()) + 1);
  return true;
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
