// The one reading of an image's tree: the depth-first walk over its
// directory chains, with every check the format asks for, in one order.
// What is done with each entry (unpacking it, listing it, noting it) is the
// consumer's; the walk only reads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/romfs.h"
#include "platform/platform.h"
#include "platform/trace.h"

// How a walk reads the image.
struct WalkRules {
  // A directory's chain starts where its info word says (--all), not right
  // after its name.
  bool infoChains = false;
  // Names are checked against what this system can create (the unpack);
  // otherwise only a slash is refused, so that a listing or an archive is
  // the same on every system.
  bool systemNames = false;
  // Paths are composed with this between names: a backslash as the trace
  // shows them, a slash from the image's root for the products.
  char separator = '\\';
  // A silent walk stops where damage would end the run, and prints nothing.
  bool silent = false;
  // Messages show paths escaped as the listing escapes names, not as the
  // trace prints them.
  bool escapePaths = false;
};

// How every reading but the unpack reads the image: as --all does, with
// paths from the image's root, the same on every system.
constexpr WalkRules kProductRules{.infoChains = true, .separator = '/', .escapePaths = true};

struct Walk;

// An entry the walk has read and checked, handed to the consumer.
struct WalkedEntry {
  const EntryHeader& header;
  uint64_t headerOffset, dataOffset;
  const std::string& name;
  const OutPath& path;  // composed with the rules' separator
  uint32_t dir;         // the directory it is in, as enterDir numbered it
  uint8_t depth;
  Walk& walk;
};

// A directory the consumer has entered: its number, and where the entries
// below it are created (null where nothing is).
struct EnteredDir {
  uint32_t number = 0;
  const OutputDir* open = nullptr;
};

// What is done with each entry.
struct WalkConsumer {
  // A directory reached, the root at depth 0 included, in parent.
  std::function<EnteredDir(const OutPath& dir, uint32_t parent, uint8_t depth)> enterDir;
  // An entry, after its checks; true walks into it (a directory).
  std::function<bool(const WalkedEntry&)> entry;
  // Where the message of damage goes; it must end the run. Unset, the run
  // ends as every fatal error does.
  std::function<void(const std::string& message)> damaged;
};

// Walks the tree whose root chain starts at rootChain, the root shown as
// root. False when a silent walk stopped at damage.
bool WalkImage(const OutPath& root, uint64_t rootChain, const WalkRules& rules,
               WalkConsumer& consumer);

// Walks dirPath, whose chain starts at headerOffset, depth levels down in
// directory parent. False when a silent walk stopped.
bool GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth, uint32_t parent,
                     Walk& walk);

// Damage the walk meets, or a consumer meets in an entry it reads: ends the
// run with the message, or stops a silent walk (the consumer then returns,
// and the walk goes no further).
void Damaged(Walk& walk, const char* format, ...) PRINTF_FORMAT(2, 3);

// The entry's size bytes of data lie inside the image; otherwise damage,
// with the message of a file cut short. False when the walk stopped.
bool DataHolds(const WalkedEntry& entry);

// "." and ".." as hard links or directories: the directory itself and its
// parent, which every reading passes over.
bool IsDots(const WalkedEntry& entry);

// A directory or regular file that no system could create under this name:
// the unpack fails at it, and every other reading ends there too.
bool CannotBeMade(uint8_t entryType, const std::string& name);
