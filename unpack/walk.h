// The depth-first walk over the image's directory chains that recreates
// directories and regular files and hands links to the link table, or, for
// --list, prints a line per entry instead.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "unpack/options.h"

// The target directory, held open from its creation to the end of the run:
// the links are reached from it.
extern OutputDirHandle hTarget;

// Special files (devices, sockets, fifos) listed and not made, with --all.
extern uint32_t cntSpecialFiles;

// Creates dirPath and everything its chain, starting at headerOffset, holds.
void GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth,
                     const UnpackOptions& options);

// Lists the image whose root chain starts at firstHeader (see --list).
void ListImage(uint64_t firstHeader, const UnpackOptions& options);

// Forgets which headers the run has read and what it counted, closes the target, so that a
// harness can unpack several images in one process.
void ForgetReadHeaders();

// Creates one directory and opens it into dir; on failure prints why and
// returns false.
bool CreateNewDir(const OutPath& path, OutputDirHandle& dir);

// Ends the run with the message of a file cut short when the image holds
// fewer than size bytes from its position.
void CheckImageHolds(uint32_t size);

// Copies size bytes from the image's current position into a new file,
// executable when the entry has the exec flag. Where id is given, it
// receives the new file's identity.
void CreateNewFile(const OutPath& path, uint32_t size, bool executable, FileId* id = nullptr);
