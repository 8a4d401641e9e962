// The listing (--list): a line per entry, read as --all reads the image,
// creating nothing. A hard link names its file by path; where it comes
// before its file, a silent survey of the whole image first notes every
// file.
#pragma once

#include <cstdint>

#include "unpack/pattern.h"

// The listing's lines: text (--list), or JSON objects (--list --json) that
// give each entry's offsets in the input file too.
enum class ListForm { kText, kJson };

// Lists the image whose root chain starts at firstHeader on standard output:
// only the entries selection selects, where one is given. The image starts
// origin bytes into the input file.
void ListImage(uint64_t firstHeader, uint64_t origin, Selection* selection, ListForm form);
