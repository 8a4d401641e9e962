// The listing (--list): a line per entry, read as --all reads the image,
// creating nothing. A hard link names its file by path; where it comes
// before its file, a silent survey of the whole image first notes every
// file.
#pragma once

#include <cstdint>

#include "unpack/pattern.h"

// Lists the image whose root chain starts at firstHeader on standard output:
// only the entries selection selects, where one is given.
void ListImage(uint64_t firstHeader, Selection* selection);
