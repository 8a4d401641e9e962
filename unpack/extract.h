// Unpacking: what the walk's entries become on disk. Directories and
// regular files are made as they come, with a line of the trace each;
// links are captured for after the walk (unpack/links.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "unpack/options.h"
#include "unpack/pattern.h"

// What an unpack leaves for the run's end.
struct Unpacked {
  // The target directory, held open: the links are made beneath it.
  OutputDirHandle target;
  // Special files (devices, sockets, fifos) listed and not made, with --all.
  uint32_t specialFiles = 0;
};

// Creates target and the tree whose root chain starts at firstHeader in it:
// only what selection selects, and the directories on its way, where one
// is given.
Unpacked UnpackTree(const std::string& target, uint64_t firstHeader, const UnpackOptions& options,
                    Selection* selection = nullptr);

// Creates one directory and opens it into dir; on failure prints why and
// returns false.
bool CreateNewDir(const OutPath& path, OutputDirHandle& dir);

// Copies size bytes from the image's current position into a new file,
// executable when the entry has the exec flag. Where id is given, it
// receives the new file's identity.
void CreateNewFile(const OutPath& path, uint32_t size, bool executable, FileId* id = nullptr);
