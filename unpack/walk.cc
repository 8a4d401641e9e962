#include "unpack/walk.h"

#include <unordered_set>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"

OutputDirHandle hTarget;
uint32_t cntSpecialFiles = 0;

namespace {

// Every header is read at most once in a run, so a chain that loops or
// chains that share entries end the run instead of walking forever.
std::unordered_set<uint64_t> readHeaders;

// The names of the directories from the target down to the one being
// filled: the links are reached through them.
std::vector<std::string> dirNames;

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
  if (!options.all)
    Fatal("Unknown File Type %d for %s\n", header.entryType, Printable(fullPath.shown).c_str());
  if (header.entryType == kBlockDevice || header.entryType == kCharacterDevice)
    Trace("%s <%s> (%u, %u) %s\n", listed.c_str(), kind, header.specInfo >> 16,
          header.specInfo & 0xFFFF, ExecMark(header));
  else
    Trace("%s <%s> %s\n", listed.c_str(), kind, ExecMark(header));
  ++cntSpecialFiles;
}

}  // namespace

void ForgetReadHeaders() {
  readHeaders.clear();
  dirNames.clear();
  hTarget.reset();
  cntSpecialFiles = 0;
}

void GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth,
                     const UnpackOptions& options) {
  const std::string indent(depth * 3u, '.');
  OutputDirHandle dir;
  if (!CreateNewDir(dirPath, dir))
    Fatal("Unable to create new directory for unpacking archive: %s\n",
          Printable(dirPath.shown).c_str());
  const OutputDir* self = dir.get();
  if (depth == 0) hTarget = std::move(dir);
  const uint32_t dirIndex = NoteDirectory(dirPath.shown, dirNames);

  std::string name;
  for (;;) {
    if (!readHeaders.insert(headerOffset).second)
      Fatal("Directory chain loops: %s\n", Printable(dirPath.shown).c_str());
    const EntryHeader header = ReadEntryHeader(headerOffset);
    uint64_t dataOffset = headerOffset + 16;
    GetFileNameAndSetOffsetData(name, dataOffset);
    const OutPath fullPath = ChildPath(dirPath.shown, self, name);
    // Messages name the full path; only the listing needs the name every time.
    const std::string shownName = Printable(name);
    if (!TestChecksum(headerOffset, dataOffset))
      Fatal("Checksum Error: %s\n", Printable(fullPath.shown).c_str());
    if (!NameIsSafe(name)) Fatal("Unsafe file name: %s\n", Printable(fullPath.shown).c_str());

    const char* exec = ExecMark(header);
    switch (header.entryType) {
      case kHardLink:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        if (name == "." || name == "..") break;
        if (!options.all) Fatal("File Type 0: %s\n", Printable(fullPath.shown).c_str());
        CaptureHardLink(dirIndex, name, header.specInfo);
        break;
      case kDirectory:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        if (name == ".") break;
        if (depth == kMaxDepth)
          Fatal("Directory nesting too deep: %s\n", Printable(fullPath.shown).c_str());
        dirNames.push_back(name);
        GetFilesFromDir(fullPath, dataOffset, static_cast<uint8_t>(depth + 1), options);
        dirNames.pop_back();
        break;
      case kRegularFile:
        Trace("%s%s (%u) %s\n", indent.c_str(), shownName.c_str(), header.size, exec);
        SetFilePointerFromBegin(hImage, dataOffset);
        CreateNewFile(fullPath, header.size, header.execFlag);
        // Only hard links need to find a file again.
        if (options.all) NoteUnpackedFile(headerOffset, dirIndex, name);
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
    if (header.nextOffset == 0) return;
    headerOffset = header.nextOffset;
  }
}

bool CreateNewDir(const OutPath& path, OutputDirHandle& dir) {
  // A directory that cannot be opened once made is as good as not made.
  if (MakeDirectory(path) && (dir = OpenDirectory(path))) return true;
  Trace("\nError creating directory: %s\n", GetLastErrorString());
  return false;
}

void CreateNewFile(const OutPath& path, uint32_t size, bool executable) {
  // Missing data is found before the output file exists.
  const uint64_t available = ImageBytesAvailable(hImage, size);
  if (available < size)
    Fatal("Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(available));
  uint64_t copied = 0;
  switch (CopyImageToNewFile(hImage, path, size, executable, &copied)) {
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
