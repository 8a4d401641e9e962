#include "unpack/links.h"

#include <memory>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/trace.h"
#include "unpack/path.h"
#include "unpack/progress.h"
#include "unpack/tree.h"

std::deque<LinkRecord> type3Link;
// What a held link costs besides its name: a million of them fit in tens of MiB.
static_assert(sizeof(LinkRecord) <= 64);
uint32_t cntType3 = 0;
uint32_t cntType0 = 0;

namespace {

// The directories the links last went in, held open: links come in the
// walk's order, so most follow one in the same directory, and the files of
// hard links tend to sit together. A directory that could not be opened is
// not remembered, so the next link tries again.
constexpr size_t kHeldDirs = 4;
struct HeldDir {
  uint32_t dir = kNoDirectory;
  OutputDirHandle handle;
  uint64_t lastUse = 0;
};

// The table's own state besides the historical globals: the tree the
// unpack made, the links' names, and the directories held open.
struct LinkTable {
  TreeIndex tree;
  TextStore names;
  HeldDir held[kHeldDirs];
  uint64_t uses = 0;
};
LinkTable table;

// Directory dir, opened beneath the target one name at a time; null when it
// cannot be.
const OutputDir* OpenWalkedDir(const OutputDir* target, uint32_t dir) {
  HeldDir* oldest = &table.held[0];
  for (HeldDir& held : table.held) {
    if (held.dir == dir) {
      held.lastUse = ++table.uses;
      return held.handle.get();
    }
    if (held.lastUse < oldest->lastUse) oldest = &held;
  }
  if (!target) return nullptr;
  OutputDirHandle handle = OpenDirectoryBeneath(*target, table.tree.NamesBelowRoot(dir));
  if (!handle) return nullptr;
  *oldest = HeldDir{dir, std::move(handle), ++table.uses};
  return oldest->handle.get();
}

// The place name in directory dir, which open holds open.
OutPath InWalkedDir(uint32_t dir, const OutputDir* open, std::string_view name) {
  return ChildPath(table.tree.DirPath(dir, '\\'), open, std::string(name));
}

// A symbolic link's target, read again from the image: empty when it
// cannot be, or the system could not hold it.
bool ReadTarget(const LinkRecord& link, std::string& target) {
  if (link.targetSize > kLongestLinkTarget) return false;
  target.resize(link.targetSize);
  size_t got = 0;
  const bool read = SeekImageFile(hImage, link.targetOffset) &&
                    ReadImageFile(hImage, target.data(), target.size(), &got) &&
                    got == target.size();
  if (!read) target.clear();
  return read;
}

bool MakeSymbolic(const OutputDir* target, const LinkRecord& link) {
  std::string text;
  const bool read = ReadTarget(link, text);
  // The target text is shown up to its first zero byte, as it always was.
  const std::string shown = text.substr(0, text.find('\0'));
  const OutputDir* dir = OpenWalkedDir(target, link.dir);
  const OutPath linkPath = InWalkedDir(link.dir, dir, link.fileName);
  // The line stays open; the outcome completes it.
  Trace("-> create symbolic link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(shown).c_str());
  // No system can hold a zero byte in a link's target: the link would point
  // somewhere else than the image says.
  return read && shown.size() == text.size() && dir && MakeSymbolicLink(shown, linkPath);
}

// A hard link to a file the selection left out gets a copy of its bytes,
// which later links to the same file name in turn.
bool CopyFile(TreeIndex::File& file, const LinkRecord& link, const OutPath& linkPath) {
  EntryHeader header;
  std::string name;
  uint64_t data = file.header + 16;
  if (!ReadEntryHeader(file.header, header) || !GetFileNameAndSetOffsetData(name, data))
    return false;
  SetFilePointerFromBegin(hImage, data);
  uint64_t copied = 0;
  FileId id;
  const CopyResult result =
      CopyImageToNewFile(hImage, linkPath, header.size, header.execFlag, &copied, &id);
  if (result == CopyResult::kInterrupted) StopInterrupted();
  if (result != CopyResult::kDone) return false;
  file = TreeIndex::File{file.header, link.dir, link.fileName, id, true};
  return true;
}

// 0 made, 1 not made, 2 made as a copy.
int MakeHard(const OutputDir* target, const LinkRecord& link) {
  const OutputDir* dir = OpenWalkedDir(target, link.dir);
  const OutPath linkPath = InWalkedDir(link.dir, dir, link.fileName);
  TreeIndex::File* file = table.tree.FindFile(link.linkedHeader);
  if (!file) {
    // Not a file of this run: a directory, a link, a header never reached.
    Trace("-> create hard link %s with 0x%llx ", Printable(linkPath.shown).c_str(),
          static_cast<unsigned long long>(link.linkedHeader));
    return 1;
  }
  const OutputDir* fileDir = file->made ? OpenWalkedDir(target, file->dir) : nullptr;
  const OutPath filePath = InWalkedDir(file->dir, fileDir, file->name);
  Trace("-> create hard link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(filePath.shown).c_str());
  if (!dir) return 1;
  if (!file->made) return CopyFile(*file, link, linkPath) ? 2 : 1;
  return fileDir && MakeHardLink(filePath, file->id, linkPath) ? 0 : 1;
}

}  // namespace

void ClearLinkTable() {
  type3Link.clear();
  cntType3 = 0;
  cntType0 = 0;
  table = LinkTable{};
}

uint32_t NoteDirectory(uint32_t parent, const std::string& name) {
  return table.tree.NoteDirectory(parent, name);
}

void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name,
                      const FileId& id, bool made) {
  table.tree.NoteFile(headerOffset, dir, name, id, made);
}

void CaptureLink(const UnpackOptions& options, const WalkedEntry& entry) {
  const uint32_t size = entry.header.size;
  if (!options.all && cntType3 >= kMaxLinks) {
    HintAll();
    Fatal("Maximum Type 3 Links Reached\n");
  }
  if (!options.all && size > kMaxLinkTarget) {
    HintAll();
    Fatal("Type 3 Link Size Error\n");
  }
  // A target the image does not hold ends the run here, as its reading
  // always did, however long; one the system cannot hold fails its own
  // link alone.
  DataHolds(entry);
  LinkRecord record;
  record.dir = entry.dir;
  record.fileName = table.names.Keep(entry.name);
  record.targetOffset = entry.dataOffset;
  record.targetSize = size;
  type3Link.push_back(record);
  ++cntType3;
}

void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader) {
  LinkRecord record;
  record.dir = dir;
  record.hard = true;
  record.fileName = table.names.Keep(name);
  record.linkedHeader = linkedHeader;
  type3Link.push_back(record);
  ++cntType0;
}

void GetType3FileName(char* buffer, uint32_t size) {
  size_t got = 0;
  if (!ReadImageFile(hImage, buffer, size, &got) || got < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(got));
}

int ResolveLinkFile(uint32_t index, const OutputDir* target) {
  const LinkRecord& link = type3Link[index];
  const int made = link.hard ? MakeHard(target, link) : MakeSymbolic(target, link) ? 0 : 1;
  Trace(made == 0 ? "(done)\n" : made == 2 ? "(copied)\n" : "(ERROR!!!)\n");
  return made == 1 ? 1 : 0;
}
