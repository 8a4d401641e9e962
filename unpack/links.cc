#include "unpack/links.h"

#include <cstdio>
#include <new>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/platform.h"

std::array<std::unique_ptr<LinkRecord>, kMaxLinks> type3Link;
uint32_t cntType3 = 0;

void ClearLinkTable() {
  for (auto& link : type3Link) link.reset();
  cntType3 = 0;
}

void CaptureLink(const OutPath& dirPath, const std::string& name, uint64_t dataOffset,
                 uint32_t size) {
  if (cntType3 >= kMaxLinks) Fatal("Maximum Type 3 Links Reached\n");
  if (size > kMaxLinkTarget) Fatal("Type 3 Link Size Error\n");
  std::unique_ptr<LinkRecord> record(new (std::nothrow) LinkRecord);
  if (!record) Fatal("Memory Alloc Error\n");
  record->dirName = dirPath;
  record->fileName = name;
  SetFilePointerFromBegin(hImage, dataOffset);
  GetType3FileName(record->type3FileName, size);
  type3Link[cntType3++] = std::move(record);
}

void GetType3FileName(std::string& buffer, uint32_t size) {
  buffer.resize(size);
  size_t got = 0;
  if (!ReadImageFile(hImage, buffer.data(), size, &got) || got < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(got));
}

int ResolveLinkFile(uint32_t index) {
  const LinkRecord& link = *type3Link[index];
  const OutPath linkPath = ChildPath(link.dirName, link.fileName);
  // The line stays open; the outcome completes it.
  printf("-> create symbolic link %s with %s ", linkPath.shown.c_str(), link.type3FileName.c_str());
  if (MakeSymbolicLink(link.type3FileName, linkPath.real)) {
    printf("(done)\n");
    return 0;
  }
  printf("(ERROR!!!)\n");
  return 1;
}
