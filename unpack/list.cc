#include "unpack/list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"
#include "unpack/tree.h"
#include "unpack/walk.h"

namespace {

// How the listing and its survey read the image: as --all does, with paths
// from the image's root, the same on every system.
constexpr WalkRules kListing{.infoChains = true, .separator = '/', .escapePaths = true};

bool IsDots(const WalkedEntry& entry) {
  const uint8_t type = entry.header.entryType;
  return (type == kHardLink || type == kDirectory) && (entry.name == "." || entry.name == "..");
}

// Every file the listing will reach, noted by a walk of its own that
// prints nothing and stops where damage will stop the listing.
TreeIndex Survey(uint64_t root) {
  TreeIndex index;
  WalkConsumer consumer{
      .enterDir = [&](const OutPath& dir, uint32_t parent,
                      uint8_t) { return EnteredDir{index.NoteDirectory(parent, dir.name)}; },
      .entry =
          [&](const WalkedEntry& entry) {
            if (entry.header.entryType == kRegularFile)
              index.NoteFile(entry.headerOffset, entry.dir, entry.name);
            return entry.header.entryType == kDirectory && !IsDots(entry);
          },
      .damaged = {}};
  WalkRules rules = kListing;
  rules.silent = true;
  WalkImage(RootPath(""), root, rules, consumer);
  return index;
}

// The listing of one image: the files it noted as it went, until a survey
// noted them all.
struct Listing {
  uint64_t root;
  Selection* selection;
  TreeIndex index;
  bool surveyed = false;

  // The path of the file whose header is at header, from the image's root.
  bool FilePath(uint64_t header, std::string& path) {
    const TreeIndex::File* file = index.FilesInOrder() ? index.FindFile(header) : nullptr;
    if (!file && !surveyed) {
      index = Survey(root);
      surveyed = true;
      file = index.FindFile(header);
    }
    if (file)
      path = ChildPath(index.DirPath(file->dir, '/'), nullptr, std::string(file->name), '/').shown;
    return file != nullptr;
  }

  // The line for an entry: its type, exec flag, size or device numbers,
  // and path, then a link's target or file.
  void List(const WalkedEntry& entry) {
    const EntryHeader& header = entry.header;
    const uint8_t type = header.entryType;
    const bool terminal = TraceToTerminal();
    char head[32];
    if (type == kBlockDevice || type == kCharacterDevice)
      snprintf(head, sizeof head, "%u,%u", header.specInfo >> 16, header.specInfo & 0xFFFF);
    else
      snprintf(head, sizeof head, "%u", header.size);
    std::string line(2, "hd-lbcsp"[type]);
    line[1] = header.execFlag ? 'x' : '-';
    line.append(11 - std::min<size_t>(strlen(head), 10), ' ').append(head).append(1, ' ');
    line += Escaped(entry.path.shown, terminal);
    if (type == kSymbolicLink) {
      // In pieces: a target may be as long as the image.
      line += " -> ";
      SetFilePointerFromBegin(hImage, entry.dataOffset);
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
      if (FilePath(header.specInfo, file)) {
        line += " link to " + Escaped(file, terminal);
      } else {
        snprintf(head, sizeof head, " link to 0x%x", header.specInfo);
        line += head;
      }
    }
    line += '\n';
    TraceText(line);
  }

  bool Entry(const WalkedEntry& entry) {
    if (IsDots(entry)) return false;
    // Every entry is read and checked; only those selected are listed.
    if (!selection || Selected(*selection, entry.path.shown)) List(entry);
    if (!surveyed && entry.header.entryType == kRegularFile)
      index.NoteFile(entry.headerOffset, entry.dir, entry.name);
    return entry.header.entryType == kDirectory;
  }
};

}  // namespace

void ListImage(uint64_t firstHeader, Selection* selection) {
  Listing listing{firstHeader, selection, {}};
  WalkConsumer consumer{
      .enterDir =
          [&](const OutPath& dir, uint32_t parent, uint8_t) {
            // Once surveyed, the survey's numbers name the files.
            return EnteredDir{listing.surveyed ? kNoDirectory
                                               : listing.index.NoteDirectory(parent, dir.name)};
          },
      .entry = [&](const WalkedEntry& entry) { return listing.Entry(entry); },
      .damaged = {}};
  WalkImage(RootPath(""), firstHeader, kListing, consumer);
}
