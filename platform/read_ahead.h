// The image's bounded read-ahead, shared by the backends: each backend's
// ImageFile holds one, and gives it the one call that reads the system's file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ReadAhead {
  // The size is known (a file or a disk): reads may go anywhere. Otherwise
  // (a pipe, a device) the image is read in sequence.
  bool sized = false;
  uint64_t size = 0;
  uint64_t pos = 0;        // the logical position
  uint64_t systemPos = 0;  // where the system's own position stands
  // The bytes of the image at [windowPos, windowPos + windowLen).
  std::vector<uint8_t> window;
  uint64_t windowPos = 0;
  size_t windowLen = 0;
};

// Large enough that a plain copy moves the bytes in few calls, small enough
// to stay out of the way; the headers of small files share it with their data.
constexpr size_t kReadAheadWindow = 128 * 1024;
// No single call moves more, so counts stay within what every call takes.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// The backend's call: reads up to count bytes of the image at reads.pos
// into dst, leaving pos where it was. The count read, 0 at the end, or -1
// with the system error kept.
int64_t ReadAtPosition(ReadAhead& reads, void* dst, size_t count);

// How many bytes at the position the window holds, and where they are.
size_t WindowHolds(const ReadAhead& reads);
const uint8_t* WindowAtPos(const ReadAhead& reads);

// Refills the window from the position: the count read, 0 at the end, -1 on an error.
int64_t Refill(ReadAhead& reads);

// ReadImageFile and ImageBytesAvailable of the platform header.
bool ReadThrough(ReadAhead& reads, void* dst, size_t count, size_t* got);
uint64_t BytesAvailable(ReadAhead& reads, uint64_t count);
