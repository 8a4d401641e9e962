// The run's choices, read from the command line once and handed to the walk
// and the links. The default value is the run as it always was.
#pragma once

#include <cstdint>

struct UnpackOptions {
  // --all: hard links are made, symbolic links have no count or length limit
  // but the system's, special files are listed (never made) instead of
  // ending the run, and a directory's chain starts where its info word says.
  bool all = false;
  // --offset: where the image starts in the file.
  uint64_t offset = 0;
  // --list (which implies all): the walk creates nothing and prints one line
  // per entry, noting the regular files as it goes. A hard link to a file
  // not noted yet calls for a survey: a whole walk that prints nothing and
  // notes every file, so that a hard link before its file names its path.
  bool list = false;
  bool survey = false;
};
