// The romfs format as the unpacker reads it: volume header, entry headers,
// names and the checksum rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// The bytes every image starts with.
constexpr char kRomfsIdent[] = "-rom1fs-";
constexpr size_t kIdentLength = 8;

// The region the volume checksum covers, from the image's start; the volume
// name lies in the same many bytes after the 16-byte volume header.
constexpr size_t kVolumeRegion = 512;
constexpr size_t kVolumeReach = 16 + kVolumeRegion;

// Longest entry name, terminator not counted.
constexpr uint32_t kMaxNameLength = 259;

// Reads and verifies the volume header of the freshly opened image, prints
// the volume name (unless a listing leaves it out) and returns the offset of
// the root's first entry header. notAnImage, where given, runs just before
// the run ends on a wrong ident.
uint64_t CheckVolume(bool showName = true, const std::function<void()>& notAnImage = {});

// The volume name in the count bytes after the volume header: up to its
// first zero byte or the end of the volume region.
std::string VolumeName(const uint8_t* afterHeader, size_t count);

// True when start, with count of its first kVolumeReach bytes in the file
// (the rest counting as zero), begins an image whose volume an unpack
// accepts: a whole volume header, the ident, and the volume checksum.
bool StartsImage(const uint8_t* start, size_t count);

// Reads and decodes the entry header at headerOffset. False when the image
// does not hold it whole (the run ends with "Read file header failed").
bool ReadEntryHeader(uint64_t headerOffset, EntryHeader& header);

// Reads the name that starts at offset (header offset + 16) and moves offset
// past its padded space, to the entry's data. False for a name too long or
// cut off by the end of the image ("Read fileName failed").
bool GetFileNameAndSetOffsetData(std::string& name, uint64_t& offset);

// True when the big-endian words of [start, end) sum to 0 modulo 2^32.
// Bytes past the end of the image count as zero.
bool TestChecksum(uint64_t start, uint64_t end);
