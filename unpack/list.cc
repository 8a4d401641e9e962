#include "unpack/list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/trace.h"
#include "unpack/json.h"
#include "unpack/links.h"
#include "unpack/path.h"
#include "unpack/survey.h"
#include "unpack/tree.h"
#include "unpack/walk.h"

namespace {

// A symbolic link's target, read from the image in pieces: it may be as
// long as the image.
template <typename Take>
void ReadTarget(const WalkedEntry& entry, Take take) {
  SetFilePointerFromBegin(hImage, entry.dataOffset);
  char piece[4096];
  for (uint32_t left = entry.header.size; left > 0;) {
    const uint32_t count = std::min<uint32_t>(left, sizeof piece);
    GetType3FileName(piece, count);
    left -= count;
    take(std::string_view(piece, count), left == 0);
  }
}

// The listing of one image: the files it noted as it went, until a survey
// noted them all.
struct Listing {
  uint64_t root;
  uint64_t origin;  // where the image starts in the input file
  Selection* selection;
  bool json;
  TreeIndex index;
  bool surveyed = false;
  // With a selection: each level's verdict, and the next directory's.
  std::vector<Verdict> verdicts = {};
  Verdict nextVerdict = {};

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
  void TextLine(const WalkedEntry& entry) {
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
      line += " -> ";
      ReadTarget(entry, [&](std::string_view piece, bool) {
        line += Escaped(piece, terminal);
        TraceText(line);
        line.clear();
      });
    } else if (type == kHardLink) {
      std::string file;
      if (FilePath(header.specInfo, file)) {
        line += " link to " + Escaped(file, terminal);
        // A selection that leaves the file out makes this name a copy of it.
        if (Copied(file)) line += " (copied)";
      } else {
        snprintf(head, sizeof head, " link to 0x%x", header.specInfo);
        line += head;
      }
    }
    line += '\n';
    TraceText(line);
  }

  // A hard link to file stands for a copy of it where a selection leaves
  // the file out.
  bool Copied(const std::string& file) { return selection && !Selected(*selection, file); }

  // The same entry as a JSON object, its offsets in the input file.
  void JsonLine(const WalkedEntry& entry) {
    const EntryHeader& header = entry.header;
    std::string file;
    const bool named = header.entryType == kHardLink && FilePath(header.specInfo, file);
    const JsonEntry json{.path = entry.path.shown,
                         .type = header.entryType,
                         .exec = header.execFlag != 0,
                         .size = header.size,
                         .link = named ? std::optional<std::string_view>(file) : std::nullopt,
                         .copied = named && Copied(file),
                         .major = static_cast<uint16_t>(header.specInfo >> 16),
                         .minor = static_cast<uint16_t>(header.specInfo & 0xFFFF),
                         .offset = origin + entry.headerOffset,
                         .dataOffset = origin + entry.dataOffset};
    if (header.entryType != kSymbolicLink) {
      TraceText(JsonEntryLine(json));
      return;
    }
    // The target as it is read: a UTF-8 sequence a piece cuts short waits
    // for the next; its bytes again, in hex, if any were replaced.
    std::string line = JsonEntryHead(json);
    uint64_t replaced = 0;
    char waiting[4];
    size_t waits = 0;
    ReadTarget(entry, [&](std::string_view piece, bool last) {
      std::string text(waiting, waits);
      text.append(piece);
      const size_t taken = AppendJsonText(line, text, last, replaced);
      waits = text.size() - taken;
      text.copy(waiting, waits, taken);
      TraceText(line);
      line.clear();
    });
    line.push_back('"');
    if (replaced != 0) {
      line.append(",\"target_hex\":\"");
      ReadTarget(entry, [&](std::string_view piece, bool) {
        AppendHex(line, piece);
        TraceText(line);
        line.clear();
      });
      line.push_back('"');
    }
    TraceText(line + JsonEntryTail(json));
  }

  void List(const WalkedEntry& entry) {
    if (json)
      JsonLine(entry);
    else
      TextLine(entry);
  }

  bool Entry(const WalkedEntry& entry) {
    if (IsDots(entry)) return false;
    // Every entry is read and checked; only those selected are listed.
    bool taken = true;
    if (selection) {
      const Verdict verdict = Judge(*selection, entry.path.shown, verdicts[entry.depth]);
      if (entry.header.entryType == kDirectory) nextVerdict = verdict;
      taken = Takes(verdict);
    }
    if (taken) List(entry);
    if (!surveyed && entry.header.entryType == kRegularFile)
      index.NoteFile(entry.headerOffset, entry.dir, entry.name);
    return entry.header.entryType == kDirectory;
  }
};

}  // namespace

void ListImage(uint64_t firstHeader, uint64_t origin, Selection* selection, ListForm form) {
  Listing listing{firstHeader, origin, selection, form == ListForm::kJson, {}};
  WalkConsumer consumer{
      .enterDir =
          [&](const OutPath& dir, uint32_t parent, uint8_t depth) {
            listing.verdicts.resize(depth);
            listing.verdicts.push_back(std::exchange(listing.nextVerdict, Verdict{}));
            // Once surveyed, the survey's numbers name the files.
            return EnteredDir{listing.surveyed ? kNoDirectory
                                               : listing.index.NoteDirectory(parent, dir.name)};
          },
      .entry = [&](const WalkedEntry& entry) { return listing.Entry(entry); },
      .damaged = {}};
  WalkImage(RootPath(""), firstHeader, kProductRules, consumer);
}
