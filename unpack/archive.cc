#include "unpack/archive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/tell.h"
#include "platform/trace.h"
#include "unpack/path.h"
#include "unpack/survey.h"
#include "unpack/tar.h"
#include "unpack/tree.h"
#include "unpack/walk.h"

namespace {

// As --all reads the image, with paths from the root, the same on every system.
// A name that no system takes for an entry of its own, which a reader would
// refuse or take for the directory itself.
bool NoEntryName(const std::string& name) {
  return name.empty() || name == "." || name == "..";
}

// Reads size bytes at offset at of the image into buffer, whole.
bool ReadAt(uint64_t at, char* buffer, size_t size, size_t* got) {
  *got = 0;
  return SeekImageFile(hImage, at) && ReadImageFile(hImage, buffer, size, got) && *got == size;
}

// The archive of one image, as the walk goes.
struct Archiving {
  uint64_t root;
  Selection* selection;
  TarArchive tar;
  const std::string& writeError;  // why the archive could not be written
  // Directory numbers, for the paths of first members.
  TreeIndex dirs = {};
  // For each file written, by its header: where its first member is, for
  // the names that follow to link to.
  struct First {
    uint32_t dir;
    std::string_view name;
  };
  std::unordered_map<uint64_t, First> firsts = {};
  TextStore names = {};
  // The regular files of the tree, once a hard link needed to know them.
  std::optional<TreeIndex> files = {};
  // The directories from the root down to the entry's, each with whether
  // its member is written: one not selected is written just before the
  // first member below it.
  struct Way {
    const std::string* path;  // the walk holds it while below the directory
    bool written;
    Verdict verdict;  // with a selection
  };
  std::vector<Way> way = {};
  uint32_t sockets = 0, unlinked = 0, unnamed = 0, zeroTargets = 0;

  // Ends the run at a failure of the archive or of the image.
  void Failed(const WalkedEntry& entry, uint32_t size, uint64_t read) {
    if (tar.failed) Fatal("Could not write the archive. Error: %s\n", writeError.c_str());
    if (InterruptionNoted()) StopInterrupted();
    Damaged(entry.walk, "Read file buffer failed (%u, %u)\n", size, static_cast<uint32_t>(read));
  }

  std::string FirstPath(const First& first) const {
    return ChildPath(dirs.DirPath(first.dir, '/'), nullptr, std::string(first.name), '/').shown;
  }

  bool FileOfTree(uint64_t header) {
    if (!files) files = Survey(root);
    return files->FindFile(header) != nullptr;
  }

  // A file's bytes as a member named as entry, the file's first.
  void File(const WalkedEntry& entry, uint64_t header, const EntryHeader& file, uint64_t data) {
    if (!SeekImageFile(hImage, data)) Failed(entry, file.size, 0);
    uint64_t read = 0;
    const bool written =
        TarFile(tar, entry.path.shown, file.size, file.execFlag, [&](char* buffer, size_t size) {
          if (InterruptionNoted()) return false;
          size_t got = 0;
          const bool whole = ReadImageFile(hImage, buffer, size, &got) && got == size;
          read += got;
          return whole;
        });
    if (!written) Failed(entry, file.size, read);
    firsts.emplace(header, First{entry.dir, names.Keep(entry.name)});
  }

  // A hard link: to the file's first member, or, where there is none yet,
  // the file's bytes as its first. False when it names no file of the tree.
  bool HardLink(const WalkedEntry& entry) {
    const uint64_t header = entry.header.specInfo;
    if (const auto first = firsts.find(header); first != firsts.end()) {
      if (!TarHardLink(tar, entry.path.shown, FirstPath(first->second))) Failed(entry, 0, 0);
      return true;
    }
    if (!FileOfTree(header)) return false;
    // The survey read and checked it, and its data.
    EntryHeader file;
    std::string name;
    uint64_t data = header + 16;
    if (!ReadEntryHeader(header, file) || !GetFileNameAndSetOffsetData(name, data))
      Damaged(entry.walk, "Read file header failed\n");
    File(entry, header, file, data);
    return true;
  }

  // True when the target holds a zero byte, which no system takes in a link.
  bool TargetHoldsZero(const WalkedEntry& entry) {
    char piece[4096];
    for (uint32_t at = 0; at < entry.header.size;) {
      const uint32_t count = std::min<uint32_t>(entry.header.size - at, sizeof piece);
      size_t got;
      if (!ReadAt(entry.dataOffset + at, piece, count, &got)) Failed(entry, count, got);
      if (memchr(piece, 0, count)) return true;
      at += count;
    }
    return false;
  }

  void Symlink(const WalkedEntry& entry) {
    if (TargetHoldsZero(entry)) {
      ++zeroTargets;
      return;
    }
    size_t got = 0;
    const bool written = TarSymlink(tar, entry.path.shown, entry.header.size,
                                    [&](uint64_t at, char* buffer, size_t size) {
                                      return ReadAt(entry.dataOffset + at, buffer, size, &got);
                                    });
    if (!written) Failed(entry, entry.header.size, got);
  }

  // The member of an entry selected, after the directories on its way.
  void Member(const WalkedEntry& entry) {
    for (Way& dir : way)
      if (!dir.written) {
        if (!TarDirectory(tar, *dir.path)) Failed(entry, 0, 0);
        dir.written = true;
      }
    const EntryHeader& header = entry.header;
    const std::string& path = entry.path.shown;
    bool written = true;
    switch (header.entryType) {
      case kDirectory:
        written = TarDirectory(tar, path);
        break;
      case kRegularFile:
        if (const auto first = firsts.find(entry.headerOffset); first != firsts.end())
          written = TarHardLink(tar, path, FirstPath(first->second));
        else
          File(entry, entry.headerOffset, header, entry.dataOffset);
        break;
      case kHardLink:
        if (!HardLink(entry)) ++unlinked;
        break;
      case kSymbolicLink:
        Symlink(entry);
        break;
      case kBlockDevice:
      case kCharacterDevice:
        written = TarDevice(tar, path, header.entryType == kBlockDevice,
                            static_cast<uint16_t>(header.specInfo >> 16),
                            static_cast<uint16_t>(header.specInfo & 0xFFFF));
        break;
      case kSocket:
        ++sockets;
        break;
      default:
        written = TarFifo(tar, path);
    }
    if (!written) Failed(entry, 0, 0);
  }

  bool Entry(const WalkedEntry& entry) {
    if (InterruptionNoted()) StopInterrupted();
    if (IsDots(entry)) return false;
    way.resize(entry.depth);
    const bool directory = entry.header.entryType == kDirectory;
    // Every entry is read and checked; only those selected are members.
    const Verdict verdict = selection ? Judge(*selection, entry.path.shown,
                                              way.empty() ? Verdict{} : way.back().verdict)
                                      : Verdict{};
    const bool taken = !selection || Takes(verdict);
    if (taken) {
      if (NoEntryName(entry.name))
        ++unnamed;
      else
        Member(entry);
    }
    if (directory) way.push_back({&entry.path.shown, taken, verdict});
    return directory;
  }
};

// Says what was left out, once the archive is whole.
void TellLeftOut(uint32_t count, const char* one, const char* many, const char* why) {
  if (count != 0) Tell("%u %s left out: %s", count, count == 1 ? one : many, why);
}

}  // namespace

bool ArchiveImage(const std::string& file, uint64_t firstHeader, Selection* selection) {
  const bool toOutput = file == kStandardInputName;
  bool exists = false;
  OutputFileHandle out = toOutput ? StandardOutputFile() : CreateNewOutputFile(file, &exists);
  if (!out && exists) Fatal("%s exists: remove it, or name another archive\n", file.c_str());
  if (!out) Fatal("cannot create %s: %s", file.c_str(), GetLastErrorString());

  std::string writeError;
  Archiving archiving{.root = firstHeader,
                      .selection = selection,
                      .tar = TarOpen([&](const char* data, size_t size) {
                        if (WriteOutputFile(out.get(), data, size)) return true;
                        if (toOutput && ReaderHasGone(errno)) EndByClosedPipe();
                        writeError = GetLastErrorString();
                        return false;
                      }),
                      .writeError = writeError};
  // Whatever ends the run from here leaves the archive cut short.
  BeforeEnding([&archiving] { TarAbort(archiving.tar); });
  struct Forget {
    ~Forget() { BeforeEnding({}); }
  } forget;

  WalkConsumer consumer{.enterDir =
                            [&](const OutPath& dir, uint32_t parent, uint8_t) {
                              return EnteredDir{archiving.dirs.NoteDirectory(parent, dir.name)};
                            },
                        .entry = [&](const WalkedEntry& entry) { return archiving.Entry(entry); },
                        .damaged = {}};
  // Memory that cannot be had ends the run as in main, but here, while the
  // archive can still be cut short.
  try {
    WalkImage(RootPath(""), firstHeader, kProductRules, consumer);
  } catch (const std::bad_alloc&) {
    Fatal("Memory Alloc Error\n");
  }
  if (InterruptionNoted()) StopInterrupted();
  if (!TarFinish(archiving.tar) || !CloseOutputFile(std::move(out)))
    Fatal("Could not write the archive. Error: %s\n",
          writeError.empty() ? GetLastErrorString() : writeError.c_str());
  BeforeEnding({});

  TellLeftOut(archiving.sockets, "socket", "sockets", "tar has no type for them");
  TellLeftOut(archiving.unlinked, "hard link", "hard links", "they name no file");
  TellLeftOut(archiving.unnamed, "entry", "entries", "no system takes their names");
  TellLeftOut(archiving.zeroTargets, "symbolic link", "symbolic links",
              "their targets hold a zero byte");
  return true;
}
