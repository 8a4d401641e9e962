#include "unpack/walk.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"
#include "unpack/progress.h"

OutputDirHandle hTarget;
uint32_t cntSpecialFiles = 0;

namespace {

// Every header is read at most once in a run, so a chain that loops or
// chains that share entries end the run instead of walking forever. Headers
// lie at multiples of 16: one bit each, in pages made as the walk reaches
// them, so that the record grows with the part of the image walked.
constexpr uint64_t kSlotsPerPage = 4096;  // a page of 512 bytes covers 64 KiB of the image
std::vector<std::unique_ptr<uint64_t[]>> readPages;

// False when the header at offset was read before; marks it read.
bool FirstRead(uint64_t offset) {
  const uint64_t slot = offset / 16, page = slot / kSlotsPerPage, bit = slot % kSlotsPerPage;
  if (page >= readPages.size()) readPages.resize(page + 1);
  if (!readPages[page]) readPages[page] = std::make_unique<uint64_t[]>(kSlotsPerPage / 64);
  uint64_t& word = readPages[page][bit / 64];
  const uint64_t mask = uint64_t{1} << (bit % 64);
  if (word & mask) return false;
  word |= mask;
  return true;
}

// The directory being filled, as NoteDirectory numbered it: the parent of
// the next directory the walk creates.
uint32_t currentDir = kNoDirectory;

// The listing's root chain, and whether its survey has run: from then on
// the tables hold every file, and the listing notes nothing more.
uint64_t listedRoot = 0;
bool surveyed = false;

// Notes every file the listing will reach, in a walk of its own that prints
// nothing and stops where damage will stop the listing, then goes back to
// the listing's walk where it was.
void Survey(UnpackOptions options) {
  std::vector<std::unique_ptr<uint64_t[]>> listingPages;
  listingPages.swap(readPages);
  const uint32_t listingDir = currentDir;
  ClearLinkTable();
  currentDir = kNoDirectory;
  options.survey = true;
  HoldBackTrace(true);
  try {
    GetFilesFromDir(RootPath(""), listedRoot, 0, options);
  } catch (const TraceHeldBack&) {
  }
  HoldBackTrace(false);
  surveyed = true;
  readPages.swap(listingPages);
  currentDir = listingDir;
}

// Depth is an 8-bit count; deeper nesting is refused, which also bounds the recursion.
constexpr uint8_t kMaxDepth = 255;

const char* ExecMark(const EntryHeader& header) {
  return header.execFlag ? "(X)" : "";
}

// Lists a device, a socket or a fifo, with --all; it is never made: a device
// node from an untrusted image, made by root, would open the host's devices.
// A device shows its numbers.
void ListSpecialFile(const UnpackOptions& options, const EntryHeader& header,
                     const OutPath& fullPath, const std::string& listed, const char* kind) {
  if (!options.all) {
    HintAll();
    Fatal("Unknown File Type %d for %s\n", header.entryType, Printable(fullPath.shown).c_str());
  }
  if (header.entryType == kBlockDevice || header.entryType == kCharacterDevice)
    Trace("%s <%s> (%u, %u) %s\n", listed.c_str(), kind, header.specInfo >> 16,
          header.specInfo & 0xFFFF, ExecMark(header));
  else
    Trace("%s <%s> %s\n", listed.c_str(), kind, ExecMark(header));
  ++cntSpecialFiles;
}

// The listing's line for an entry: its type, exec flag, size or device
// numbers, and path, then a link's target. A survey reads what the line
// needs too, so that it ends at the damage that ends the listing.
void ListEntry(const UnpackOptions& options, const EntryHeader& header, const std::string& path,
               uint64_t dataOffset) {
  const bool survey = options.survey;
  const uint8_t type = header.entryType;
  if (type == kRegularFile || type == kSymbolicLink) {
    SetFilePointerFromBegin(hImage, dataOffset);
    CheckImageHolds(header.size);
  }
  if (survey) return;
  const bool terminal = TraceToTerminal();
  char head[32];
  if (type == kBlockDevice || type == kCharacterDevice)
    snprintf(head, sizeof head, "%u,%u", header.specInfo >> 16, header.specInfo & 0xFFFF);
  else
    snprintf(head, sizeof head, "%u", header.size);
  std::string line(2, "hd-lbcsp"[type]);
  line[1] = header.execFlag ? 'x' : '-';
  line.append(11 - std::min<size_t>(strlen(head), 10), ' ').append(head).append(1, ' ');
  line += Escaped(path, terminal);
  if (type == kSymbolicLink) {
    // In pieces: a target may be as long as the image.
    line += " -> ";
    char piece[4096];
    for (uint32_t left = header.size; left > 0;) {
      const uint32_t count = std::min<uint32_t>(left, sizeof piece);
      GetType3FileName(piece, count);
      line += Escaped({piece, count}, terminal);
      TraceText(line);
      line.clear();
      left -= count;
    }
  } else if (type == kHardLink) {
    std::string file;
    bool named = FilesNotedInOrder() && ListedFilePath(header.specInfo, file);
    if (!named && !surveyed) {
      Survey(options);
      named = ListedFilePath(header.specInfo, file);
    }
    if (named) {
      line += " link to " + Escaped(file, terminal);
    } else {
      snprintf(head, sizeof head, " link to 0x%x", header.specInfo);
      line += head;
    }
  }
  line += '\n';
  TraceText(line);
}

}  // namespace

void ListImage(uint64_t firstHeader, const UnpackOptions& options) {
  listedRoot = firstHeader;
  surveyed = false;
  GetFilesFromDir(RootPath(""), firstHeader, 0, options);
}

void ForgetReadHeaders() {
  readPages.clear();
  currentDir = kNoDirectory;
  hTarget.reset();
  cntSpecialFiles = 0;
}

void GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth,
                     const UnpackOptions& options) {
  const std::string indent(options.list ? 0 : depth * 3u, '.');
  OutputDirHandle dir;
  if (!options.list && !CreateNewDir(dirPath, dir))
    Fatal("Unable to create new directory for unpacking archive: %s\n",
          Printable(dirPath.shown).c_str());
  const OutputDir* self = dir.get();
  if (depth == 0) hTarget = std::move(dir);
  // The listing names files by the directories it numbered until a survey
  // numbered them all.
  const bool notes = !options.list || options.survey || !surveyed;
  const uint32_t dirIndex = notes ? NoteDirectory(currentDir, dirPath.name) : kNoDirectory;
  const char separator = options.list ? '/' : '\\';

  std::string name;
  // 0 ends a chain, and so, with --all, makes a directory whose info word
  // is 0 an empty one.
  while (headerOffset != 0) {
    if (!FirstRead(headerOffset))
      Fatal("Directory chain loops: %s\n", Printable(dirPath.shown).c_str());
    const EntryHeader header = ReadEntryHeader(headerOffset);
    uint64_t dataOffset = headerOffset + 16;
    GetFileNameAndSetOffsetData(name, dataOffset);
    const OutPath fullPath = ChildPath(dirPath.shown, self, name, separator);
    if (!options.survey) ShowProgress(headerOffset, fullPath.shown);
    // Messages name the full path; only the listing needs the name every time.
    const std::string shownName = Printable(name);
    if (!TestChecksum(headerOffset, dataOffset))
      Fatal("Checksum Error: %s\n", Printable(fullPath.shown).c_str());
    // A listing is the same on every system: only a slash would make it ambiguous.
    if (options.list ? name.find('/') != std::string::npos : !NameIsSafe(name))
      Fatal("Unsafe file name: %s\n", Printable(fullPath.shown).c_str());

    // With --all, a directory's chain starts where its info word says, which
    // aligned images place past zero bytes after the name.
    const auto enter = [&] {
      if (depth == kMaxDepth)
        Fatal("Directory nesting too deep: %s\n", Printable(fullPath.shown).c_str());
      currentDir = dirIndex;
      GetFilesFromDir(fullPath, options.all ? header.specInfo & ~uint32_t{15} : dataOffset,
                      static_cast<uint8_t>(depth + 1), options);
    };
    const char* exec = ExecMark(header);
    if (options.list) {
      const bool dots = (header.entryType == kHardLink || header.entryType == kDirectory) &&
                        (name == "." || name == "..");
      if (!dots) ListEntry(options, header, fullPath.shown, dataOffset);
      if ((options.survey || !surveyed) && header.entryType == kRegularFile)
        NoteUnpackedFile(headerOffset, dirIndex, name, FileId{});
      if (!dots && header.entryType == kDirectory) enter();
      headerOffset = header.nextOffset;
      continue;
    }
    switch (header.entryType) {
      case kHardLink:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        if (name == "." || name == "..") break;
        if (!options.all) {
          HintAll();
          Fatal("File Type 0: %s\n", Printable(fullPath.shown).c_str());
        }
        CaptureHardLink(dirIndex, name, header.specInfo);
        break;
      case kDirectory:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        if (name == ".") break;
        enter();
        break;
      case kRegularFile:
        Trace("%s%s (%u) %s\n", indent.c_str(), shownName.c_str(), header.size, exec);
        SetFilePointerFromBegin(hImage, dataOffset);
        // Only hard links need to find a file again, and to know it is the same.
        if (options.all) {
          FileId id;
          CreateNewFile(fullPath, header.size, header.execFlag, &id);
          NoteUnpackedFile(headerOffset, dirIndex, name, id);
        } else {
          CreateNewFile(fullPath, header.size, header.execFlag);
        }
        break;
      case kSymbolicLink:
        Trace("%s%s <SYMBOLIC LINK> (%u) %s\n", indent.c_str(), shownName.c_str(), header.size,
              exec);
        CaptureLink(options, dirIndex, name, dataOffset, header.size);
        break;
      case kBlockDevice:
        ListSpecialFile(options, header, fullPath, indent + shownName, "BLOCK DEVICE");
        break;
      case kCharacterDevice:
        ListSpecialFile(options, header, fullPath, indent + shownName, "CHARACTER DEVICE");
        break;
      case kSocket:
        ListSpecialFile(options, header, fullPath, indent + shownName, "SOCKET");
        break;
      case kFifo:
        ListSpecialFile(options, header, fullPath, indent + shownName, "FIFO");
        break;
    }
    headerOffset = header.nextOffset;
  }
}

bool CreateNewDir(const OutPath& path, OutputDirHandle& dir) {
  // A directory that cannot be opened once made is as good as not made.
  if (MakeDirectory(path) && (dir = OpenDirectory(path))) return true;
  Trace("\nError creating directory: %s\n", GetLastErrorString());
  return false;
}

void CheckImageHolds(uint32_t size) {
  const uint64_t available = ImageBytesAvailable(hImage, size);
  if (available < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(available));
}

void CreateNewFile(const OutPath& path, uint32_t size, bool executable, FileId* id) {
  // Missing data is found before the output file exists.
  CheckImageHolds(size);
  uint64_t copied = 0;
  switch (CopyImageToNewFile(hImage, path, size, executable, &copied, id)) {
    case CopyResult::kDone:
      return;
    case CopyResult::kCreateFailed:
      Fatal("\nError creating file: %s\n", GetLastErrorString());
    case CopyResult::kImageShort:
      Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(copied));
    case CopyResult::kWriteFailed:
      Fatal("\nCould not write to file. Error: %s\n", GetLastErrorString());
    case CopyResult::kInterrupted:
      StopInterrupted();
  }
}
