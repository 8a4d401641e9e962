#include "unpack/links.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "image/image.h"
#include "platform/fatal.h"
#include "platform/trace.h"
#include "unpack/path.h"
#include "unpack/progress.h"
#include "unpack/walk.h"

std::deque<LinkRecord> type3Link;
// What a held link costs besides its texts: a million of them fit in tens of MiB.
static_assert(sizeof(LinkRecord) <= 64);
uint32_t cntType3 = 0;
uint32_t cntType0 = 0;

namespace {

// Names and targets, end to end in blocks that never move, so that records
// hold views of them and no allocation of their own.
struct TextStore {
  static constexpr size_t kBlock = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t used = 0, room = 0;

  char* Reserve(size_t size) {
    if (blocks.empty() || size > room - used) {
      room = std::max(size, kBlock);
      blocks.push_back(std::make_unique_for_overwrite<char[]>(room));
      used = 0;
    }
    char* at = blocks.back().get() + used;
    used += size;
    return at;
  }
  std::string_view Keep(const std::string& text) {
    char* at = Reserve(text.size());
    memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }
  void Clear() {
    blocks.clear();
    used = room = 0;
  }
};
TextStore texts;

// A directory of the tree, by its parent and its name: its path is
// composed only when a link needs it.
struct WalkedDir {
  uint32_t parent;
  std::string_view name;
};
std::deque<WalkedDir> walkedDirs;

// A file hard links may name. Sorted by header when first looked up; a
// walk over a genromfs image notes them in that order already.
struct UnpackedFile {
  uint64_t header;
  uint32_t dir;
  std::string_view name;
  FileId id;
};
std::deque<UnpackedFile> unpackedFiles;
bool filesSorted = true;

// Directory dir's path as the trace shows it, from the target's, or with
// slashes as the listing does.
std::string ShownPath(uint32_t dir, char separator = '\\') {
  std::vector<uint32_t> way;
  for (; dir != kNoDirectory; dir = walkedDirs[dir].parent) way.push_back(dir);
  std::string shown;
  for (auto at = way.rbegin(); at != way.rend(); ++at) {
    if (!shown.empty()) shown += separator;
    shown += walkedDirs[*at].name;
  }
  return shown;
}

// The names from the target down to directory dir.
std::vector<std::string> NamesBeneathTarget(uint32_t dir) {
  std::vector<std::string> names;
  for (; walkedDirs[dir].parent != kNoDirectory; dir = walkedDirs[dir].parent)
    names.emplace_back(walkedDirs[dir].name);
  std::reverse(names.begin(), names.end());
  return names;
}

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
HeldDir heldDirs[kHeldDirs];
uint64_t uses = 0;

// Directory dir, opened beneath the target one name at a time; null when it
// cannot be.
const OutputDir* OpenWalkedDir(uint32_t dir) {
  HeldDir* oldest = &heldDirs[0];
  for (HeldDir& held : heldDirs) {
    if (held.dir == dir) {
      held.lastUse = ++uses;
      return held.handle.get();
    }
    if (held.lastUse < oldest->lastUse) oldest = &held;
  }
  OutputDirHandle handle = OpenDirectoryBeneath(*hTarget, NamesBeneathTarget(dir));
  if (!handle) return nullptr;
  *oldest = HeldDir{dir, std::move(handle), ++uses};
  return oldest->handle.get();
}

// The place name in directory dir, which open holds open.
OutPath InWalkedDir(uint32_t dir, const OutputDir* open, std::string_view name) {
  return ChildPath(ShownPath(dir), open, std::string(name));
}

bool MakeSymbolic(const LinkRecord& link) {
  // The target text is shown up to its first zero byte, as it always was.
  const std::string target(link.type3FileName.substr(0, link.type3FileName.find('\0')));
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

const UnpackedFile* FindUnpackedFile(uint64_t header) {
  if (!filesSorted)
    std::sort(unpackedFiles.begin(), unpackedFiles.end(),
              [](const UnpackedFile& a, const UnpackedFile& b) { return a.header < b.header; });
  filesSorted = true;
  const auto file =
      std::lower_bound(unpackedFiles.begin(), unpackedFiles.end(), header,
                       [](const UnpackedFile& f, uint64_t at) { return f.header < at; });
  return file != unpackedFiles.end() && file->header == header ? &*file : nullptr;
}

bool MakeHard(const LinkRecord& link) {
  const OutputDir* dir = OpenWalkedDir(link.dir);
  const OutPath linkPath = InWalkedDir(link.dir, dir, link.fileName);
  const UnpackedFile* file = FindUnpackedFile(link.linkedHeader);
  if (!file) {
    // Not a file of this run: a directory, a link, a header never reached.
    Trace("-> create hard link %s with 0x%llx ", Printable(linkPath.shown).c_str(),
          static_cast<unsigned long long>(link.linkedHeader));
    return false;
  }
  const OutputDir* fileDir = OpenWalkedDir(file->dir);
  const OutPath filePath = InWalkedDir(file->dir, fileDir, file->name);
  Trace("-> create hard link %s with %s ", Printable(linkPath.shown).c_str(),
        Printable(filePath.shown).c_str());
  return dir && fileDir && MakeHardLink(filePath, file->id, linkPath);
}

}  // namespace

void ClearLinkTable() {
  type3Link.clear();
  walkedDirs.clear();
  unpackedFiles.clear();
  filesSorted = true;
  texts.Clear();
  for (HeldDir& held : heldDirs) held = HeldDir{};
  uses = 0;
  cntType3 = 0;
  cntType0 = 0;
}

bool FilesNotedInOrder() {
  return filesSorted;
}

bool ListedFilePath(uint64_t header, std::string& path) {
  const UnpackedFile* file = FindUnpackedFile(header);
  if (file)
    path = ChildPath(ShownPath(file->dir, '/'), nullptr, std::string(file->name), '/').shown;
  return file != nullptr;
}

uint32_t NoteDirectory(uint32_t parent, const std::string& name) {
  walkedDirs.push_back(WalkedDir{parent, texts.Keep(name)});
  return static_cast<uint32_t>(walkedDirs.size() - 1);
}

void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name,
                      const FileId& id) {
  if (!unpackedFiles.empty() && headerOffset < unpackedFiles.back().header) filesSorted = false;
  unpackedFiles.push_back(UnpackedFile{headerOffset, dir, texts.Keep(name), id});
}

void CaptureLink(const UnpackOptions& options, uint32_t dir, const std::string& name,
                 uint64_t dataOffset, uint32_t size) {
  if (!options.all && cntType3 >= kMaxLinks) {
    HintAll();
    Fatal("Maximum Type 3 Links Reached\n");
  }
  if (!options.all && size > kMaxLinkTarget) {
    HintAll();
    Fatal("Type 3 Link Size Error\n");
  }
  LinkRecord record;
  record.dir = dir;
  record.fileName = texts.Keep(name);
  // A target the system cannot hold fails its own link alone, unread.
  record.targetTooLong = size > kLongestLinkTarget;
  if (!record.targetTooLong) {
    SetFilePointerFromBegin(hImage, dataOffset);
    char* target = texts.Reserve(size);
    GetType3FileName(target, size);
    record.type3FileName = {target, size};
  }
  type3Link.push_back(record);
  ++cntType3;
}

void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader) {
  LinkRecord record;
  record.dir = dir;
  record.hard = true;
  record.fileName = texts.Keep(name);
  record.linkedHeader = linkedHeader;
  type3Link.push_back(record);
  ++cntType0;
}

void GetType3FileName(char* buffer, uint32_t size) {
  size_t got = 0;
  if (!ReadImageFile(hImage, buffer, size, &got) || got < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(got));
}

int ResolveLinkFile(uint32_t index) {
  const LinkRecord& link = type3Link[index];
  const bool made = link.hard ? MakeHard(link) : MakeSymbolic(link);
  Trace(made ? "(done)\n" : "(ERROR!!!)\n");
  return made ? 0 : 1;
}
