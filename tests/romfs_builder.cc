#include "tests/romfs_builder.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t Padded(size_t n) {
  return static_cast<uint32_t>((n + 15) / 16 * 16);
}

void AppendPadded(std::string& image, const std::string& bytes, size_t space) {
  image += bytes;
  image.append(space - bytes.size(), '\0');
}

uint32_t SumWords(const std::string& image, uint32_t start, uint32_t end) {
  // Bytes past the end of the image count as zero. Only the words summed are
  // copied, so that an image of many entries is built in linear time.
  const size_t from = std::min<size_t>(image.size(), start);
  std::string padded = image.substr(from, std::min<size_t>(image.size(), end) - from);
  padded.resize(end - start, '\0');
  uint32_t sum = 0;
  for (uint32_t at = 0; at + 4 <= end - start; at += 4) sum += ReadWordAt(padded, at);
  return sum;
}

void LayOutChain(std::string& image, std::vector<Entry>& chain) {
  for (size_t i = 0; i < chain.size(); ++i) {
    Entry& e = chain[i];
    e.offset = static_cast<uint32_t>(image.size());
    image.append(16, '\0');
    AppendPadded(image, e.name, Padded(e.name.size() + 1));
    if (e.type == 1) {
      image.append(e.padding, '\0');
      LayOutChain(image, e.children);
      e.specInfo = e.children.empty() ? 0 : e.children[0].offset;
    } else {
      AppendPadded(image, e.data, Padded(e.data.size()));
    }
    const uint32_t size =
        e.size ? *e.size : (e.type == 1 ? 0 : static_cast<uint32_t>(e.data.size()));
    WriteWordAt(image, e.offset + 4, e.specInfo);
    WriteWordAt(image, e.offset + 8, size);
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    Entry& e = chain[i];
    const uint32_t next = i + 1 < chain.size() ? chain[i + 1].offset : 0;
    WriteWordAt(image, e.offset, next | (e.exec ? 8u : 0u) | (e.type & 7u));
    FixEntryChecksum(image, e.offset);
    if (e.badChecksum) WriteWordAt(image, e.offset + 12, ReadWordAt(image, e.offset + 12) + 1);
  }
}

}  // namespace

Entry File(const std::string& name, const std::string& data, bool exec) {
  Entry e;
  e.type = 2;
  e.name = name;
  e.data = data;
  e.exec = exec;
  return e;
}

Entry Dir(const std::string& name, std::vector<Entry> children) {
  Entry e;
  e.type = 1;
  e.name = name;
  e.children = std::move(children);
  return e;
}

Entry DirWithDots(const std::string& name, std::vector<Entry> children) {
  children.insert(children.begin(), {HardLink("."), HardLink("..")});
  return Dir(name, std::move(children));
}

Entry Link(const std::string& name, const std::string& target) {
  Entry e = File(name, target);
  e.type = 3;
  return e;
}

Entry HardLink(const std::string& name) {
  Entry e;
  e.type = 0;
  e.name = name;
  return e;
}

std::string BuildImage(const std::string& volumeName, std::vector<Entry>& root) {
  std::string image("-rom1fs-", 8);
  image.append(8, '\0');
  AppendPadded(image, volumeName, Padded(volumeName.size() + 1));
  LayOutChain(image, root);
  WriteWordAt(image, 8, static_cast<uint32_t>(image.size()));
  FixVolumeChecksum(image);
  return image;
}

uint32_t ReadWordAt(const std::string& image, uint32_t offset) {
  const auto* p = reinterpret_cast<const uint8_t*>(image.data() + offset);
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void WriteWordAt(std::string& image, uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<char>(value >> (24 - 8 * i));
}

uint32_t DataOffset(const std::string& image, uint32_t headerOffset) {
  const size_t nameLength =
      strnlen(image.data() + headerOffset + 16, image.size() - headerOffset - 16);
  return headerOffset + 16 + Padded(nameLength + 1);
}

void SetNext(std::string& image, uint32_t headerOffset, uint32_t next) {
  WriteWordAt(image, headerOffset, next | (ReadWordAt(image, headerOffset) & 15u));
  FixEntryChecksum(image, headerOffset);
  FixVolumeChecksum(image);
}

void SetSpecInfo(std::string& image, uint32_t headerOffset, uint32_t specInfo) {
  WriteWordAt(image, headerOffset + 4, specInfo);
  FixEntryChecksum(image, headerOffset);
  FixVolumeChecksum(image);
}

void FixEntryChecksum(std::string& image, uint32_t headerOffset) {
  WriteWordAt(image, headerOffset + 12, 0);
  const uint32_t sum = SumWords(image, headerOffset, DataOffset(image, headerOffset));
  WriteWordAt(image, headerOffset + 12, 0u - sum);
}

void FixVolumeChecksum(std::string& image) {
  WriteWordAt(image, 12, 0);
  WriteWordAt(image, 12, 0u - SumWords(image, 0, 512));
}
