#include "unpack/extract.h"

#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"
#include "unpack/progress.h"
#include "unpack/walk.h"

namespace {

const char* ExecMark(const EntryHeader& header) {
  return header.execFlag ? "(X)" : "";
}

// The unpack of one image: the directories it holds open, one a level, and
// what it counts.
struct Unpacking {
  const UnpackOptions& options;
  std::vector<OutputDirHandle> open;  // the target's first, then one a level down
  uint32_t specialFiles = 0;

  EnteredDir EnterDir(const OutPath& dirPath, uint32_t parent, uint8_t depth) {
    OutputDirHandle dir;
    if (!CreateNewDir(dirPath, dir))
      Fatal("Unable to create new directory for unpacking archive: %s\n",
            Printable(dirPath.shown).c_str());
    open.resize(depth);
    open.push_back(std::move(dir));
    return {NoteDirectory(parent, dirPath.name), open.back().get()};
  }

  // A device, a socket or a fifo, with --all, is listed and never made: a
  // device node from an untrusted image, made by root, would open the
  // host's devices. A device shows its numbers.
  void ListSpecialFile(const WalkedEntry& entry, const std::string& listed, const char* kind) {
    const EntryHeader& header = entry.header;
    if (!options.all) {
      HintAll();
      Fatal("Unknown File Type %d for %s\n", header.entryType, Printable(entry.path.shown).c_str());
    }
    if (header.entryType == kBlockDevice || header.entryType == kCharacterDevice)
      Trace("%s <%s> (%u, %u) %s\n", listed.c_str(), kind, header.specInfo >> 16,
            header.specInfo & 0xFFFF, ExecMark(header));
    else
      Trace("%s <%s> %s\n", listed.c_str(), kind, ExecMark(header));
    ++specialFiles;
  }

  bool Entry(const WalkedEntry& entry) {
    const EntryHeader& header = entry.header;
    const std::string& name = entry.name;
    const std::string indent(entry.depth * 3u, '.');
    const std::string shownName = Printable(name);
    const char* exec = ExecMark(header);
    switch (header.entryType) {
      case kHardLink:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        if (name == "." || name == "..") return false;
        if (!options.all) {
          HintAll();
          Fatal("File Type 0: %s\n", Printable(entry.path.shown).c_str());
        }
        CaptureHardLink(entry.dir, name, header.specInfo);
        return false;
      case kDirectory:
        Trace("%s[%s] %s\n", indent.c_str(), shownName.c_str(), exec);
        return name != ".";
      case kRegularFile:
        Trace("%s%s (%u) %s\n", indent.c_str(), shownName.c_str(), header.size, exec);
        // Missing data is found before the output file exists.
        DataHolds(entry);
        SetFilePointerFromBegin(hImage, entry.dataOffset);
        // Only hard links need to find a file again, and to know it is the same.
        if (options.all) {
          FileId id;
          CreateNewFile(entry.path, header.size, header.execFlag, &id);
          NoteUnpackedFile(entry.headerOffset, entry.dir, name, id);
        } else {
          CreateNewFile(entry.path, header.size, header.execFlag);
        }
        return false;
      case kSymbolicLink:
        Trace("%s%s <SYMBOLIC LINK> (%u) %s\n", indent.c_str(), shownName.c_str(), header.size,
              exec);
        CaptureLink(options, entry);
        return false;
      case kBlockDevice:
        ListSpecialFile(entry, indent + shownName, "BLOCK DEVICE");
        return false;
      case kCharacterDevice:
        ListSpecialFile(entry, indent + shownName, "CHARACTER DEVICE");
        return false;
      case kSocket:
        ListSpecialFile(entry, indent + shownName, "SOCKET");
        return false;
      default:
        ListSpecialFile(entry, indent + shownName, "FIFO");
        return false;
    }
  }
};

}  // namespace

Unpacked UnpackTree(const std::string& target, uint64_t firstHeader, const UnpackOptions& options) {
  ClearLinkTable();  // what an earlier unpack in this process captured
  Unpacking unpacking{options, {}};
  WalkConsumer consumer{
      .enterDir = [&](const OutPath& dir, uint32_t parent,
                      uint8_t depth) { return unpacking.EnterDir(dir, parent, depth); },
      .entry = [&](const WalkedEntry& entry) { return unpacking.Entry(entry); },
      .damaged = {}};
  const WalkRules rules{.infoChains = options.all, .systemNames = true};
  WalkImage(RootPath(target), firstHeader, rules, consumer);
  unpacking.open.resize(1);
  return Unpacked{std::move(unpacking.open[0]), unpacking.specialFiles};
}

bool CreateNewDir(const OutPath& path, OutputDirHandle& dir) {
  // A directory that cannot be opened once made is as good as not made.
  if (MakeDirectory(path) && (dir = OpenDirectory(path))) return true;
  Trace("\nError creating directory: %s\n", GetLastErrorString());
  return false;
}

void CreateNewFile(const OutPath& path, uint32_t size, bool executable, FileId* id) {
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
