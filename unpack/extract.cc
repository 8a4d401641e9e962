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

// A directory of the walk's way down: made when the walk enters it, or,
// with a selection, only once something selected is found below it (its
// trace line waits till then).
struct Level {
  // Its place, which the walk holds while it is below it: a level costs no
  // copy of its path, however deep.
  const OutPath* path = nullptr;
  Verdict verdict;         // with a selection: what it says of the level and below
  size_t relativeEnd = 0;  // with a selection: its path from the image's root's end in relative
  std::string indent, shownName;  // for its trace line, when it waits
  const char* exec = "";
  OutputDirHandle dir;
  bool made = false;
};

// The unpack of one image: the directories on the walk's way down, one a
// level (the target's first), and what it counts.
struct Unpacking {
  Unpacking(const UnpackOptions& all, Selection* selected) : options(all), selection(selected) {}

  const UnpackOptions& options;
  Selection* selection;
  std::vector<Level> levels;
  // The directory entry the walk goes into next, with a selection: its
  // path from the image's root, whether it is made at once, and its trace
  // line's parts when it is not.
  Level next;
  bool nextMade = true;
  // With a selection, the path from the image's root of the directory the
  // walk is in, one string for all levels: a deep tree costs its depth,
  // not its depth squared.
  std::string relative;
  uint32_t specialFiles = 0;

  // Makes level's directory in parent, which the walk's path of it names
  // unless the directory waited for something selected.
  void Make(Level& level, const OutputDir* parent) {
    const OutPath& path = *level.path;
    const bool made = parent == path.parent
                          ? CreateNewDir(path, level.dir)
                          : CreateNewDir(OutPath{path.shown, parent, path.name}, level.dir);
    if (!made)
      Fatal("Unable to create new directory for unpacking archive: %s\n",
            Printable(path.shown).c_str());
    level.made = true;
  }

  EnteredDir EnterDir(const OutPath& dirPath, uint32_t parent, uint8_t depth) {
    levels.resize(depth);
    next.path = &dirPath;
    if (selection && depth > 0) {
      relative.resize(levels[depth - 1].relativeEnd);
      if (!relative.empty()) relative += '/';
      relative += dirPath.name;
      next.relativeEnd = relative.size();
    }
    levels.push_back(std::move(next));
    next = Level{};
    if (depth == 0 || nextMade)
      Make(levels.back(), depth == 0 ? nullptr : levels[depth - 1].dir.get());
    return {NoteDirectory(parent, dirPath.name), levels.back().dir.get()};
  }

  // The entry a selection takes, false for one it leaves (noted, where a
  // hard link may want its bytes); made: the entry's place, in directories
  // made just now.
  OutPath made;
  bool TakeSelected(const WalkedEntry& walked) {
    const EntryHeader& header = walked.header;
    relative.resize(levels[walked.depth].relativeEnd);
    const std::string rel = relative.empty() ? walked.name : relative + "/" + walked.name;
    const Verdict verdict = Judge(*selection, rel, levels[walked.depth].verdict);
    if (header.entryType == kDirectory) next.verdict = verdict;
    if (!Takes(verdict)) {
      if (header.entryType == kDirectory) {
        next.indent = std::string(walked.depth * 3u, '.');
        next.shownName = Printable(walked.name);
        next.exec = ExecMark(header);
        nextMade = false;
      }
      if (header.entryType == kRegularFile && options.all)
        NoteUnpackedFile(walked.headerOffset, walked.dir, walked.name, FileId{}, false);
      return false;
    }
    MakeWayTo(walked.depth);
    made = OutPath{walked.path.shown, levels[walked.depth].dir.get(), walked.name};
    nextMade = true;
    return true;
  }

  // Makes the directories down to depth that wait for something selected,
  // each with its trace line.
  void MakeWayTo(uint8_t depth) {
    for (unsigned level = 1; level <= depth; ++level) {  // depth may be 255
      Level& way = levels[level];
      if (way.made) continue;
      Trace("%s[%s] %s\n", way.indent.c_str(), way.shownName.c_str(), way.exec);
      Make(way, levels[level - 1].dir.get());
    }
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

  bool Entry(const WalkedEntry& walked) {
    const EntryHeader& header = walked.header;
    const std::string& name = walked.name;
    // With a selection, every entry is read and checked; only those
    // selected are made, and the directories on their way.
    if (selection && !TakeSelected(walked)) return header.entryType == kDirectory && name != ".";
    const std::string indent(walked.depth * 3u, '.');
    const std::string shownName = Printable(name);
    const char* exec = ExecMark(header);
    const WalkedEntry entry{
        header,     walked.headerOffset, walked.dataOffset, name, selection ? made : walked.path,
        walked.dir, walked.depth,        walked.walk};
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

Unpacked UnpackTree(const std::string& target, uint64_t firstHeader, const UnpackOptions& options,
                    Selection* selection) {
  ClearLinkTable();  // what an earlier unpack in this process captured
  Unpacking unpacking(options, selection);
  WalkConsumer consumer{
      .enterDir = [&](const OutPath& dir, uint32_t parent,
                      uint8_t depth) { return unpacking.EnterDir(dir, parent, depth); },
      .entry = [&](const WalkedEntry& entry) { return unpacking.Entry(entry); },
      .damaged = {}};
  const WalkRules rules{.infoChains = options.all, .systemNames = true};
  WalkImage(RootPath(target), firstHeader, rules, consumer);
  return Unpacked{std::move(unpacking.levels[0].dir), unpacking.specialFiles};
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
