// The romfs format as the unpacker reads it: volume header, entry headers,
// names and the checksum rule.
#pragma once

#include <cstdint>
#include <string>

struct RomfsImageInfo {
  uint8_t ident[8];  // "-rom1fs-", no terminator
  uint32_t fullSize;
  uint32_t checksum;
};
extern RomfsImageInfo romfsImageInfo;

enum : uint8_t {
  kHardLink = 0,
  kDirectory = 1,
  kRegularFile = 2,
  kSymbolicLink = 3,
  kBlockDevice = 4,
  kCharacterDevice = 5,
  kSocket = 6,
  kFifo = 7,
};

struct EntryHeader {
  uint64_t nextOffset;  // 0 ends the chain
  bool execFlag;
  uint8_t entryType;  // 0 to 7
  uint32_t specInfo;  // a hard link's file header; a device's major << 16 | minor
  uint32_t size;
};

// Longest entry name, terminator not counted.
constexpr uint32_t kMaxNameLength = 259;

// Reads and verifies the volume header of the freshly opened image, prints
// the volume name (unless a listing leaves it out) and returns the offset of
// the root's first entry header.
uint64_t CheckVolume(bool showName = true);

// Reads and decodes the entry header at headerOffset.
EntryHeader ReadEntryHeader(uint64_t headerOffset);

// Reads the name that starts at offset (header offset + 16) and moves offset
// past its padded space, to the entry's data.
void GetFileNameAndSetOffsetData(std::string& name, uint64_t& offset);

// True when the big-endian words of [start, end) sum to 0 modulo 2^32.
// Bytes past the end of the image count as zero.
bool TestChecksum(uint64_t start, uint64_t end);
