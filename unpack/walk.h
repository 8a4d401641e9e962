// The depth-first walk over the image's directory chains that recreates
// directories and regular files and hands symbolic links to the link table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// The target directory, held open from its creation to the end of the run:
// the links are reached from it.
extern OutputDirHandle hTarget;

// Creates dirPath and everything its chain, starting at headerOffset, holds.
void GetFilesFromDir(const OutPath& dirPath, uint64_t headerOffset, uint8_t depth);

// Forgets which headers the run has read and closes the target, so that a
// harness can unpack several images in one process.
void ForgetReadHeaders();

// Creates one directory and opens it into dir; on failure prints why and
// returns false.
bool CreateNewDir(const OutPath& path, OutputDirHandle& dir);

// Copies size bytes from the image's current position into a new file,
// executable when the entry has the exec flag.
void CreateNewFile(const OutPath& path, uint32_t size, bool executable);
