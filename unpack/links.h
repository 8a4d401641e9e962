// Links: captured during the walk, created after it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unpack/options.h"

constexpr uint32_t kMaxLinks = 256;
constexpr uint32_t kMaxLinkTarget = 260;

struct LinkRecord {
  uint32_t dir = 0;  // the directory the link goes in, as NoteDirectory numbered it
  std::string fileName;
  bool hard = false;
  // A symbolic link's target text, as stored; not read when it is longer than
  // the system holds.
  std::string type3FileName;
  bool targetTooLong = false;
  // A hard link's: the header of the file it names.
  uint64_t linkedHeader = 0;
};

// Every link captured, symbolic and hard, in capture order.
extern std::vector<std::unique_ptr<LinkRecord>> type3Link;
extern uint32_t cntType3;  // symbolic links captured
extern uint32_t cntType0;  // hard links captured

// Empties the tables, so that a harness can unpack several images in one process.
void ClearLinkTable();

// Records a directory the walk created: its path as the trace shows it, and
// the way there from the target. Returns its number.
uint32_t NoteDirectory(const std::string& shown, const std::vector<std::string>& names);

// Records a regular file the walk unpacked in directory dir, which hard
// links may name by its header offset.
void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name);

// Records the symbolic link named name in directory dir, whose target is the
// size bytes at dataOffset.
void CaptureLink(const UnpackOptions& options, uint32_t dir, const std::string& name,
                 uint64_t dataOffset, uint32_t size);

// Records the hard link named name in directory dir to the file whose header
// is at linkedHeader.
void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader);

// Reads size bytes of target text at the image's current position.
void GetType3FileName(std::string& buffer, uint32_t size);

// Creates link index; 0 when it was created, 1 when not.
int ResolveLinkFile(uint32_t index);
