#include "unpack/links.h"

#include <new>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "unpack/path.h"
#include "unpack/walk.h"

std::array<std::unique_ptr<LinkRecord>, kMaxLinks> type3Link;
uint32_t cntType3 = 0;

void ClearLinkTable() {
  for (auto& link : type3Link) link.reset();
  cntType3 = 0;
}

void CaptureLink(const std::string& dirPath, const std::vector<std::string>& dirNames,
                 const std::string& name, uint64_t dataOffset, uint32_t size) {
  if (cntType3 >= kMaxLinks) Fatal("Maximum Type 3 Links Reached\n");
  if (size > kMaxLinkTarget) Fatal("Type 3 Link Size Error\n");
  std::unique_ptr<LinkRecord> record(new (std::nothrow) LinkRecord);
  if (!record) Fatal("Memory Alloc Error\n");
  record->dirName = dirPath;
  record->dirNames = dirNames;
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
  // The target text is shown up to its first zero byte, as it always was.
  const std::string target = link.type3FileName.c_str();
  OutPath linkPath = ChildPath(link.dirName, nullptr, link.fileName);
  // The line stays open; the outcome completes it.
  Trace("-> create symbolic link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(target).c_str());
  // No system can hold a zero byte in a link's target: the link would point
  // somewhere else than the image says.
  bool made = target.size() == link.type3FileName.size();
  if (made) {
    const OutputDirHandle dir = OpenDirectoryBeneath(*hTarget, link.dirNames);
    linkPath.parent = dir.get();
    made = dir && MakeSymbolicLink(target, linkPath);
  }
  Trace(made ? "(done)\n" : "(ERROR!!!)\n");
  return made ? 0 : 1;
}
