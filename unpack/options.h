// The unpack's choices, as the command line gives them. The default value
// is the run as it always was.
#pragma once

struct UnpackOptions {
  // --all: hard links are made, symbolic links have no count or length limit
  // but the system's, special files are listed (never made) instead of
  // ending the run, and a directory's chain starts where its info word says.
  bool all = false;
};
