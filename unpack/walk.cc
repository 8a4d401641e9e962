#include "unpack/walk.h"

#include <cstdarg>
#include <memory>
#include <vector>

#include "image/image.h"
#include "platform/fatal.h"
#include "unpack/path.h"
#include "unpack/progress.h"
#include "unpack/tree.h"

namespace {

// Every header is read at most once in a walk, so a chain that loops or
// chains that share entries end it instead of walking forever. Headers lie
// at multiples of 16: one bit each, in pages made as the walk reaches them,
// so that the record grows with the part of the image walked.
class ReadOnce {
 public:
  // False when the header at offset was read before; marks it read.
  bool First(uint64_t offset) {
    const uint64_t slot = offset / 16, page = slot / kSlotsPerPage, bit = slot % kSlotsPerPage;
    if (page >= pages_.size()) pages_.resize(page + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<uint64_t[]>(kSlotsPerPage / 64);
    uint64_t& word = pages_[page][bit / 64];
    const uint64_t mask = uint64_t{1} << (bit % 64);
    if (word & mask) return false;
    word |= mask;
    return true;
  }

 private:
  static constexpr uint64_t kSlotsPerPage = 4096;  // a page of 512 bytes covers 64 KiB
  std::vector<std::unique_ptr<uint64_t[]>> pages_;
};

// How often the walk asks whether the trace is due to be written out.
constexpr unsigned kEntriesPerFlushCheck = 256;

// Depth is an 8-bit count; deeper nesting is refused, which also bounds the recursion.
constexpr uint8_t kMaxDepth = 255;

}  // namespace

struct Walk {
  const WalkRules& rules;
  WalkConsumer& consumer;
  ReadOnce read;
  bool stopped = false;
  unsigned sinceFlush = 0;

  // A path as the walk's messages show it.
  std::string Shown(const std::string& path) const {
    return rules.escapePaths ? Escaped(path, TraceToTerminal()) : Printable(path);
  }
};

void Damaged(Walk& walk, const char* format, ...) {
  if (walk.rules.silent) {
    walk.stopped = true;
    return;
  }
  va_list args;
  va_start(args, format);
  char message[1024];
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (walk.consumer.damaged) walk.consumer.damaged(message);
  Fatal("%s", message);
}

bool DataHolds(const WalkedEntry& entry) {
  const uint32_t size = entry.header.size;
  SetFilePointerFromBegin(hImage, entry.dataOffset);
  const uint64_t available = ImageBytesAvailable(hImage, size);
  if (available < size)
    Damaged(entry.walk, "Read file buffer failed (%u, %u)\n", size,
            static_cast<uint32_t>(available));
  return !entry.walk.stopped;
}

bool IsDots(const WalkedEntry& entry) {
  const uint8_t type = entry.header.entryType;
  return (type == kHardLink || type == kDirectory) && (entry.name == "." || entry.name == "..");
}

bool CannotBeMade(uint8_t entryType, const std::string& name) {
  if (entryType == kDirectory) return name.empty() || name == "..";
  if (entryType == kRegularFile) return name.empty() || name == "." || name == "..";
  return false;
}

bool WalkImage(const OutPath& root, uint64_t rootChain, const WalkRules& rules,
               WalkConsumer& consumer) {
  Walk walk{rules, consumer, {}};
  return GetFilesFromDir(root, rootChain, 0, kNoDirectory, walk);
}

bool GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth, uint32_t parent,
                     Walk& walk) {
  const WalkRules& rules = walk.rules;
  const EnteredDir self = walk.consumer.enterDir(dirPath, parent, depth);

  std::string name;
  // 0 ends a chain, and so, with info word chains, makes a directory whose
  // info word is 0 an empty one.
  while (headerOffset != 0) {
    if (!walk.read.First(headerOffset)) {
      Damaged(walk, "Directory chain loops: %s\n", walk.Shown(dirPath.shown).c_str());
      return false;
    }
    EntryHeader header;
    if (!ReadEntryHeader(headerOffset, header)) {
      Damaged(walk, "Read file header failed\n");
      return false;
    }
    uint64_t dataOffset = headerOffset + 16;
    if (!GetFileNameAndSetOffsetData(name, dataOffset)) {
      Damaged(walk, "Read fileName failed\n");
      return false;
    }
    const OutPath fullPath = ChildPath(dirPath.shown, self.open, name, rules.separator);
    if (!rules.silent) ShowProgress(headerOffset, fullPath.shown);
    // Stretches that print nothing (a survey, a chain of dots) still hear
    // an interruption, and still write out what came before them.
    StopIfInterrupted();
    if (++walk.sinceFlush == kEntriesPerFlushCheck) {
      walk.sinceFlush = 0;
      FlushTraceWhenDue();
    }
    if (!TestChecksum(headerOffset, dataOffset)) {
      Damaged(walk, "Checksum Error: %s\n", walk.Shown(fullPath.shown).c_str());
      return false;
    }
    if (rules.systemNames ? !NameIsSafe(name) : name.find('/') != std::string::npos) {
      Damaged(walk, "Unsafe file name: %s\n", walk.Shown(fullPath.shown).c_str());
      return false;
    }
    const WalkedEntry entry{header,   headerOffset, dataOffset, name,
                            fullPath, self.number,  depth,      walk};
    // Every reading but the unpack, which has its trace line printed first,
    // finds here what the unpack would fail at: data the image does not
    // hold, then a name no system could create.
    if (!rules.systemNames) {
      const uint8_t type = header.entryType;
      if ((type == kRegularFile || type == kSymbolicLink) && !DataHolds(entry)) return false;
      if (CannotBeMade(type, name)) {
        if (type == kDirectory)
          Damaged(walk, "Unable to create new directory for unpacking archive: %s\n",
                  walk.Shown(fullPath.shown).c_str());
        else
          Damaged(walk, "Error creating file: %s\n", walk.Shown(fullPath.shown).c_str());
        return false;
      }
    }
    const bool enter = walk.consumer.entry(entry);
    if (walk.stopped) return false;
    if (enter) {
      if (depth == kMaxDepth) {
        Damaged(walk, "Directory nesting too deep: %s\n", walk.Shown(fullPath.shown).c_str());
        return false;
      }
      // With info word chains, a directory's chain starts where its info
      // word says, which aligned images place past zero bytes after the name.
      const uint64_t chain = rules.infoChains ? header.specInfo & ~uint32_t{15} : dataOffset;
      if (!GetFilesFromDir(fullPath, chain, static_cast<uint8_t>(depth + 1), self.number, walk))
        return false;
    }
    headerOffset = header.nextOffset;
  }
  return true;
}
