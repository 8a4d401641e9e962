#include "unpack/walk.h"

#include <cstdio>
#include <memory>
#include <new>
#include <unordered_set>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "unpack/links.h"

namespace {

// Every header is read at most once in a run, so a chain that loops or
// chains that share entries end the run instead of walking forever.
std::unordered_set<uint64_t> readHeaders;

// Depth is an 8-bit count; deeper nesting is refused, which also bounds the recursion.
constexpr uint8_t kMaxDepth = 255;

template <typename Copy>
void WriteNewFile(const OutPath& path, Copy copy) {
  const int fd = CreateNewOutputFile(path.real);
  if (fd < 0) Fatal("\nError creating file: %s\n", GetLastErrorString());
  if (!copy(fd) || !CloseOutputFile(fd))
    Fatal("\nCould not write to file. Error: %s\n", GetLastErrorString());
}

}  // namespace

void ForgetReadHeaders() {
  readHeaders.clear();
}

void GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth) {
  const std::string indent(depth * 3u, '.');
  if (!CreateNewDir(dirPath))
    Fatal("Unable to create new directory for unpacking archive: %s\n", dirPath.shown.c_str());

  std::string name;
  for (;;) {
    if (!readHeaders.insert(headerOffset).second)
      Fatal("Directory chain loops: %s\n", dirPath.shown.c_str());
    const EntryHeader header = ReadEntryHeader(headerOffset);
    uint64_t dataOffset = headerOffset + 16;
    GetFileNameAndSetOffsetData(name, dataOffset);
    const OutPath fullPath = ChildPath(dirPath, name);
    if (!TestChecksum(headerOffset, dataOffset))
      Fatal("Checksum Error: %s\n", fullPath.shown.c_str());
    // A separator in a name would reach outside the directory being filled.
    if (name.find('/') != std::string::npos)
      Fatal("Unsafe file name: %s\n", fullPath.shown.c_str());

    const char* exec = header.execFlag ? "(X)" : "";
    switch (header.entryType) {
      case kHardLink:
        printf("%s[%s] %s\n", indent.c_str(), name.c_str(), exec);
        if (name != "." && name != "..") Fatal("File Type 0: %s\n", fullPath.shown.c_str());
        break;
      case kDirectory:
        printf("%s[%s] %s\n", indent.c_str(), name.c_str(), exec);
        if (name == ".") break;
        if (depth == kMaxDepth) Fatal("Directory nesting too deep: %s\n", fullPath.shown.c_str());
        GetFilesFromDir(fullPath, dataOffset, static_cast<uint8_t>(depth + 1));
        break;
      case kRegularFile:
        printf("%s%s (%u) %s\n", indent.c_str(), name.c_str(), header.size, exec);
        SetFilePointerFromBegin(hImage, dataOffset);
        CreateNewFile(fullPath, header.size);
        break;
      case kSymbolicLink:
        printf("%s%s <SYMBOLIC LINK> (%u) %s\n", indent.c_str(), name.c_str(), header.size, exec);
        CaptureLink(dirPath, name, dataOffset, header.size);
        break;
      default:
        Fatal("Unknown File Type %d for %s\n", header.entryType, fullPath.shown.c_str());
    }
    if (header.nextOffset == 0) return;
    headerOffset = header.nextOffset;
  }
}

bool CreateNewDir(const OutPath& path) {
  if (MakeDirectory(path.real)) return true;
  printf("\nError creating directory: %s\n", GetLastErrorString());
  return false;
}

void CreateNewFile(const OutPath& path, uint32_t size) {
  // Missing data is found before the output file exists.
  if (hImage.mapped) {
    const uint64_t available = MappedBytesAvailable(hImage, size);
    if (available < size)
      Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(available));
    WriteNewFile(path, [size](int fd) { return CopyMappedToFile(hImage, fd, size); });
    return;
  }
  // An image that cannot be mapped is read whole into memory first.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
  if (!buffer) Fatal("Malloc error: %u\n", size);
  size_t got = 0;
  if (!ReadImageFile(hImage, buffer.get(), size, &got) || got < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(got));
  WriteNewFile(path, [&](int fd) { return WriteAll(fd, buffer.get(), size); });
}
