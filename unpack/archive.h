// --tar FILE: the image as a pax archive, read as --all reads it, member by
// member in the image's order, depth first. Every name of a hard-linked file
// extracts as one file; devices and fifos are kept; what no archive or no
// system can hold is left out and counted on standard error.
#pragma once

#include <cstdint>
#include <string>

#include "unpack/pattern.h"

// Writes the image whose root chain starts at firstHeader into file, which
// must not exist yet, or to standard output for "-": only the entries that
// selection selects, where one is given, and the directories on their way.
// Damage, a failed write, an interruption end the run, the archive left cut
// short so that its readers say so; messages go to standard error
// (MessagesToStandardError must be on). True when the archive is whole.
bool ArchiveImage(const std::string& file, uint64_t firstHeader, Selection* selection);
