// The image's bounded read-ahead, shared by the backends: each backend's
// ImageFile holds one and gives it the calls that read and seek the system's
// file. The platform header's seeks, reads and copies go through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/platform.h"

struct ReadAhead {
  // The size is known (a file or a disk): reads may go anywhere. Otherwise
  // (a pipe, a device) the image is read in sequence.
  bool sized = false;
  uint64_t size = 0;       // counted from the origin
  uint64_t origin = 0;     // where the image starts in the file: position 0
  uint64_t pos = 0;        // the logical position
  uint64_t systemPos = 0;  // where the system's own position stands, logically
  // The bytes of the image at [windowPos, windowPos + windowLen).
  std::vector<uint8_t> window;
  uint64_t windowPos = 0;
  size_t windowLen = 0;
};

// A systemPos that no position equals: the next read seeks first.
constexpr uint64_t kSystemPosUnknown = UINT64_MAX;

// Large enough that a plain copy moves the bytes in few calls, small enough
// to stay out of the way; the headers of small files share it with their data.
constexpr size_t kReadAheadWindow = 128 * 1024;
// No single call moves more, so counts stay within what every call takes.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// The backend's calls. ReadAtPosition reads up to count bytes of the image
// at reads.pos into dst, leaving pos where it was: the count read, 0 at the
// end, or -1 with the system error kept. SeekSystem moves the system's own
// position (systemPos) to offset, for images read in sequence; false with
// the system error kept. Both add the origin to the logical positions they
// are given. ReadsOf gives an open image's read-ahead.
int64_t ReadAtPosition(ReadAhead& reads, void* dst, size_t count);
bool SeekSystem(ReadAhead& reads, uint64_t offset);
ReadAhead& ReadsOf(ImageFile* image);

// How many bytes at the position the window holds, and where they are.
size_t WindowHolds(const ReadAhead& reads);
const uint8_t* WindowAtPos(const ReadAhead& reads);

// Refills the window from the position: the count read, 0 at the end, -1 on an error.
int64_t Refill(ReadAhead& reads);

// Copies count bytes from the position to an output, through the window:
// write writes n bytes (false with the system error kept). moveAround, where
// given, may move a piece the window does not hold another way: the count
// moved, 0 to leave it to the window, -1 when the output failed. Between
// pieces it writes the trace out when due, and stops when interrupted.
CopyResult CopyThrough(ReadAhead& reads, uint64_t count, uint64_t* copied,
                       const std::function<bool(const uint8_t* bytes, size_t n)>& write,
                       const std::function<int64_t(uint64_t left)>& moveAround = {});

// Copies the rest of an image read in sequence into scratch, front to back,
// through the window: false with the system error kept. The backend then
// reads scratch as the image (ResetReads).
bool SpoolInto(ReadAhead& reads, ScratchFile* scratch);

// Makes reads those of a sized image of size bytes, from its start, as an
// image freshly opened.
void ResetReads(ReadAhead& reads, uint64_t size);
