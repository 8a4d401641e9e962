// Links: captured during the walk, created after it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "unpack/options.h"

constexpr uint32_t kMaxLinks = 256;
constexpr uint32_t kMaxLinkTarget = 260;

// The number NoteDirectory gives no directory: the target's parent.
constexpr uint32_t kNoDirectory = UINT32_MAX;

// A link held for after the walk. Its texts are kept in the table's own
// store, so that a record costs a few words whatever the image holds.
struct LinkRecord {
  uint32_t dir = 0;  // the directory the link goes in, as NoteDirectory numbered it
  bool hard = false;
  // A symbolic link's target longer than the system holds: not read.
  bool targetTooLong = false;
  std::string_view fileName;
  // A symbolic link's target text, as stored.
  std::string_view type3FileName;
  // A hard link's: the header of the file it names.
  uint64_t linkedHeader = 0;
};

// Every link captured, symbolic and hard, in capture order.
extern std::deque<LinkRecord> type3Link;
extern uint32_t cntType3;  // symbolic links captured
extern uint32_t cntType0;  // hard links captured

// Empties the tables, so that a harness can unpack several images in one process.
void ClearLinkTable();

// Records a directory the walk created, named name in directory parent
// (kNoDirectory and the path as given for the target). Returns its number.
uint32_t NoteDirectory(uint32_t parent, const std::string& name);

// Records a regular file the walk unpacked in directory dir, which hard
// links may name by its header offset, and which is the file id names.
void NoteUnpackedFile(uint64_t headerOffset, uint32_t dir, const std::string& name,
                      const FileId& id);

// The path from the image's root, names joined by slashes, of the regular
// file whose header is at header, as --list noted it; false when it noted
// none there.
bool ListedFilePath(uint64_t header, std::string& path);

// True when the files were noted in the order of their headers, so that a
// lookup costs no sort.
bool FilesNotedInOrder();

// Records the symbolic link named name in directory dir, whose target is the
// size bytes at dataOffset.
void CaptureLink(const UnpackOptions& options, uint32_t dir, const std::string& name,
                 uint64_t dataOffset, uint32_t size);

// Records the hard link named name in directory dir to the file whose header
// is at linkedHeader.
void CaptureHardLink(uint32_t dir, const std::string& name, uint64_t linkedHeader);

// Reads size bytes of target text at the image's current position into buffer.
void GetType3FileName(char* buffer, uint32_t size);

// Creates link index; 0 when it was created, 1 when not.
int ResolveLinkFile(uint32_t index);
