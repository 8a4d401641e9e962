// Builds romfs images in memory for the tests: sound ones, and broken ones
// (any type, any name, wrong sizes, bad checksums, chains patched to loop).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Entry {
  uint8_t type = 2;
  bool exec = false;
  std::string name;
  std::string data;             // file contents or link target
  std::vector<Entry> children;  // a directory's chain, laid out after its name and padding
  // Zero bytes between a directory's name and its first child, as an image
  // aligned by genromfs -a or -A has them.
  uint32_t padding = 0;
  std::optional<uint32_t> size;  // overrides the size word
  uint32_t specInfo = 0;         // a directory's is its first child's offset (0 when it has none)
  bool badChecksum = false;
  uint32_t offset = 0;  // header offset, filled in by BuildImage
};

Entry File(const std::string& name, const std::string& data, bool exec = false);
Entry Dir(const std::string& name, std::vector<Entry> children);
// A directory with the "." and ".." hard links a real image has.
Entry DirWithDots(const std::string& name, std::vector<Entry> children);
Entry Link(const std::string& name, const std::string& target);
Entry HardLink(const std::string& name);

// Lays out the volume header and the root chain; fills in every offset.
std::string BuildImage(const std::string& volumeName, std::vector<Entry>& root);

uint32_t ReadWordAt(const std::string& image, uint32_t offset);
void WriteWordAt(std::string& image, uint32_t offset, uint32_t value);

// Points the header at headerOffset to next, keeping its type and exec bits,
// and repairs the checksums.
void SetNext(std::string& image, uint32_t headerOffset, uint32_t next);
// Sets the info word of the header at headerOffset and repairs the checksums.
void SetSpecInfo(std::string& image, uint32_t headerOffset, uint32_t specInfo);
// Makes the entry at headerOffset sum to 0 over its header and padded name.
void FixEntryChecksum(std::string& image, uint32_t headerOffset);
// Makes the first 512 bytes sum to 0.
void FixVolumeChecksum(std::string& image);

// The offset of the data of the entry at headerOffset.
uint32_t DataOffset(const std::string& image, uint32_t headerOffset);
