#include "unpack/links.h"

#include <new>
#include <unordered_map>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "unpack/path.h"
#include "unpack/walk.h"

std::vector<std::unique_ptr<LinkRecord>> type3Link;
uint32_t cntType3 = 0;
uint32_t cntType0 = 0;

namespace {

// A directory of the tree: the links in it are made after the walk, reached
// again from the target one name at a time.
struct WalkedDir {
  std::string shown;
  std::vector<std::string> names;
};
std::vector<WalkedDir> walkedDirs;

struct UnpackedFile {
  uint32_t dir;
  std::string name;
};
std::unordered_map<uint64_t, UnpackedFile> unpackedFiles;

void Keep(std::unique_ptr<LinkRecord> record) {
  try {
    type3Link.push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    Fatal("Memory Alloc Error\n");
  }
}

std::unique_ptr<LinkRecord> NewRecord(uint32_t dir, const std::string& name) {
  std::unique_ptr<LinkRecord> record(new (std::nothrow) LinkRecord);
  if (!record) Fatal("Memory Alloc Error\n");
  record->dir = dir;
  record->fileName = name;
  return record;
}

// The directory the last link went in, held open: links come in the walk's
// order, so most follow one in the same directory.
uint32_t heldDir = UINT32_MAX;
OutputDirHandle held;

// Directory dir, opened beneath the target one name at a time; null when it
// cannot be.
const OutputDir* OpenWalkedDir(uint32_t dir) {
  if (dir != heldDir) {
    held = OpenDirectoryBeneath(*hTarget, walkedDirs[dir].names);
    heldDir = dir;
  }
  return held.get();
}

// The place name in directory dir, which open holds open.
OutPath InWalkedDir(uint32_t dir, const OutputDir* open, const std::string& name) {
  return ChildPath(walkedDirs[dir].shown, open, name);
}

bool MakeSymbolic(const LinkRecord& link) {
  // The target text is shown up to its first zero byte, as it always was.
  const std::string target = link.type3FileName.c_str();
  const OutputDir* dir = OpenWalkedDir(link.dir);
  const OutPath linkPath = InWalkedDir(link.dir, dir, link.fileName);
  // The line stays open; the outcome completes it.
  Trace("-> create symbolic link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(target).c_str());
  // No system can hold a zero byte in a link's target: the link would point
  // somewhere else than the image says.
  return !link.targetTooLong && target.size() == link.type3FileName.size() && dir &&
         MakeSymbolicLink(target, linkPath);
}

bool MakeHard(const LinkRecord& link) {
  const OutputDir* dir = OpenWalkedDir(link.dir);
  const OutPath linkPath = InWalkedDir(link.dir, dir, link.fileName);
  const auto file = unpackedFiles.find(link.linkedHeader);
  if (file == unpackedFiles.end()) {
    // Not a file of this run: a directory, a link, a header never reached.
    Trace("-> create hard link %s with 0x%llx ", Printable(linkPath.shown).c_str(),
          static_cast<unsigned long long>(link.linkedHeader));
    return false;
  }
  // The file's own directory, where it is another, is opened for this link alone.
  OutputDirHandle other;
  const OutputDir* fileDir = dir;
  if (file->second.dir != link.dir) {
    other = OpenDirectoryBeneath(*hTarget, walkedDirs[file->second.dir].names);
    fileDir = other.get();
  }
  const OutPath filePath = InWalkedDir(file->second.dir, fileDir, file->second.name);
  Trace("-> create hard link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(filePath.shown).c_str());
  return dir && fileDir && MakeHardLink(filePath, linkPath);
}

}  // namespace

void ClearLinkTable() {
  type3Link.clear();
  walkedDirs.clear();
  unpackedFiles.clear();
  held.reset();
  heldDir = UINT32_MAX;
  cntType3 = 0;
  cntType0 = 0;
}

uint32_t NoteDirectory(const std::string& shown, const std::vector<std::string>& names) {
  walkedDirs.push_back(WalkedDir{shown, names});
  return static_cast<uint32_t>(walkedDirs.size() - 1);
}

void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name) {
  unpackedFiles.emplace(headerOffset, UnpackedFile{dir, name});
}

void CaptureLink(const UnpackOptions& options, uint32_t dir, const std::string& name,
                 uint64_t dataOffset, uint32_t size) {
  if (!options.all && cntType3 >= kMaxLinks) Fatal("Maximum Type 3 Links Reached\n");
  if (!options.all && size > kMaxLinkTarget) Fatal("Type 3 Link Size Error\n");
  std::unique_ptr<LinkRecord> record = NewRecord(dir, name);
  // A target the system cannot hold fails its own link alone, unread.
  record->targetTooLong = size > kLongestLinkTarget;
  if (!record->targetTooLong) {
    SetFilePointerFromBegin(hImage, dataOffset);
    GetType3FileName(record->type3FileName, size);
  }
  Keep(std::move(record));
  ++cntType3;
}

void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader) {
  std::unique_ptr<LinkRecord> record = NewRecord(dir, name);
  record->hard = true;
  record->linkedHeader = linkedHeader;
  Keep(std::move(record));
  ++cntType0;
}

void GetType3FileName(std::string& buffer, uint32_t size) {
  buffer.resize(size);
  size_t got = 0;
  if (!ReadImageFile(hImage, buffer.data(), size, &got) || got < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(got));
}

int ResolveLinkFile(uint32_t index) {
  const LinkRecord& link = *type3Link[index];
  const bool made = link.hard ? MakeHard(link) : MakeSymbolic(link);
  Trace(made ? "(done)\n" : "(ERROR!!!)\n");
  return made ? 0 : 1;
}
