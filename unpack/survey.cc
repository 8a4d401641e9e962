#include "unpack/survey.h"

#include "unpack/path.h"
#include "unpack/walk.h"

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
  WalkRules rules = kProductRules;
  rules.silent = true;
  WalkImage(RootPath(""), root, rules, consumer);
  return index;
}
