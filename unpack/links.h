// Links: captured during the unpack's walk, created after it, beneath the
// target directory. The table also knows the tree the unpack made, so that
// a hard link finds its file.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "unpack/options.h"
#include "unpack/walk.h"

constexpr uint32_t kMaxLinks = 256;
constexpr uint32_t kMaxLinkTarget = 260;

// A link held for after the walk: a few words and its name, whatever the
// image holds. A symbolic link's target is read again when the link is
// made, so that no text of the image's choosing is held.
struct LinkRecord {
  uint32_t dir = 0;  // the directory the link goes in, as NoteDirectory numbered it
  bool hard = false;
  std::string_view fileName;
  // A symbolic link's target: where its bytes lie in the image.
  uint64_t targetOffset = 0;
  uint32_t targetSize = 0;
  // A hard link's: the header of the file it names.
  uint64_t linkedHeader = 0;
};

// Every link captured, symbolic and hard, in capture order.
extern std::deque<LinkRecord> type3Link;
extern uint32_t cntType3;  // symbolic links captured
extern uint32_t cntType0;  // hard links captured

// Empties the table; each unpack starts so.
void ClearLinkTable();

// Records a directory the unpack created, named name in directory parent
// (kNoDirectory and the path as given for the target). Returns its number.
uint32_t NoteDirectory(uint32_t parent, const std::string& name);

// Records a regular file the unpack made in directory dir, which hard links
// may name by its header offset, and which is the file id names; or one it
// walked and did not make (not selected), whose bytes a hard link copies.
void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name,
                      const FileId& id, bool made = true);

// Records the symbolic link entry, whose target is its data.
void CaptureLink(const UnpackOptions& options, const WalkedEntry& entry);

// Records the hard link named name in directory dir to the file whose header
// is at linkedHeader.
void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader);

// Reads size bytes of target text at the image's current position into buffer.
void GetType3FileName(char* buffer, uint32_t size);

// Creates link index beneath target; 0 when it was created, 1 when not.
int ResolveLinkFile(uint32_t index, const OutputDir* target);
