// Access to the one open image: checked absolute seeks, big-endian words,
// the format's 16-byte alignment.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The image being unpacked; every reader shares it and its file position.
extern ImageFile* hImage;

// Absolute seek; a seek the system refuses ends the run.
void SetFilePointerFromBegin(ImageFile* handle, uint64_t offset);

// Turns a word as it lies in memory into the value of the big-endian word
// the image stores, on any host. Applied twice it gives the word back.
void LittleToBigEndian(uint32_t& word);

// The value of the big-endian word stored at p.
uint32_t DecodeWord(const uint8_t* p);

// Rounds up to the next multiple of 16: the space a name takes in the image.
constexpr uint32_t SetToBoundary16(uint32_t value) {
  return value % 16 ? value + 16 - value % 16 : value;
}
