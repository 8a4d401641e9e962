// Finding romfs images inside a larger file (a firmware file, a kernel, a
// program) by reading it once, front to back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

struct FoundImage {
  uint64_t offset = 0;  // from where the scan started
  uint32_t size = 0;    // as the volume header declares it
  uint64_t held = 0;    // how many of those bytes the file holds: fewer when cut short
  std::string name;     // the volume name as stored
};

// Reads file from its first byte (where its position must be) in sequence,
// never seeking, to its end or for limit bytes at most (the file counts as
// ending there), and calls found
// for each image whose volume an unpack would accept there, in file order,
// until found returns false. Images inside images count too. False when a
// read failed, with the system error kept. Memory stays bounded: where the
// size cannot be told (a pipe), images wait for the read to pass their end,
// and all but the first few wait in a scratch file. A file of known size
// (a spooled pipe too) has nothing wait: --offset auto takes the first at once.
bool ScanForImages(ImageFile* file, uint64_t limit,
                   const std::function<bool(const FoundImage&)>& found);
