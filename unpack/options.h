// The run's choices, read from the command line once and handed to the walk
// and the links. The default value is the run as it always was.
#pragma once

#include <cstdint>

struct UnpackOptions {
  // --all: hard links are made, symbolic links have no count or length limit
  // but the system's, and special files are listed (never made) instead of
  // ending the run.
  bool all = false;
  // --offset: where the image starts in the file.
  uint64_t offset = 0;
};
