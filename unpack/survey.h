// The survey: a silent walk that notes every regular file a reading will
// reach, for a hard link met before its file to name it. It stops where
// damage will stop the reading, and prints nothing.
#pragma once

#include <cstdint>

#include "unpack/tree.h"

// The files of the tree whose root chain starts at root, read as every
// reading but the unpack reads it.
TreeIndex Survey(uint64_t root);
