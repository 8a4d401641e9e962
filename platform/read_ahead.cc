#include "platform/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/trace.h"

size_t WindowHolds(const ReadAhead& reads) {
  if (reads.pos < reads.windowPos || reads.pos >= reads.windowPos + reads.windowLen) return 0;
  return reads.windowLen - static_cast<size_t>(reads.pos - reads.windowPos);
}

const uint8_t* WindowAtPos(const ReadAhead& reads) {
  return reads.window.data() + (reads.pos - reads.windowPos);
}

int64_t Refill(ReadAhead& reads) {
  const int64_t r = ReadAtPosition(reads, reads.window.data(), reads.window.size());
  reads.windowPos = reads.pos;
  reads.windowLen = r > 0 ? static_cast<size_t>(r) : 0;
  return r;
}

bool SeekImageFile(ImageFile* image, uint64_t offset) {
  ReadAhead& reads = ReadsOf(image);
  // Read in sequence, the image must accept the seek now, so that a pipe
  // fails here and not at some later read.
  if (!reads.sized && !SeekSystem(reads, offset)) return false;
  reads.pos = offset;
  return true;
}

bool SetImageOrigin(ImageFile* image, uint64_t origin) {
  ReadAhead& reads = ReadsOf(image);
  if (reads.sized) {
    const uint64_t fileSize = reads.origin + reads.size;
    if (origin > fileSize) return false;
    reads.size = fileSize - origin;
  }
  // The system's position stays where it is in the file: before the new
  // origin, no position equals it.
  if (reads.systemPos != kSystemPosUnknown) {
    const uint64_t at = reads.origin + reads.systemPos;
    reads.systemPos = at >= origin ? at - origin : kSystemPosUnknown;
  }
  reads.origin = origin;
  reads.pos = 0;
  reads.windowLen = 0;
  return true;
}

uint64_t ImageSize(ImageFile* image) {
  const ReadAhead& reads = ReadsOf(image);
  return reads.sized ? reads.size : UINT64_MAX;
}

bool ReadImageFile(ImageFile* image, void* dst, size_t count, size_t* got) {
  ReadAhead& reads = ReadsOf(image);
  auto* out = static_cast<uint8_t*>(dst);
  *got = 0;
  while (*got < count) {
    if (const size_t held = WindowHolds(reads)) {
      const size_t n = std::min(count - *got, held);
      memcpy(out + *got, WindowAtPos(reads), n);
      *got += n;
      reads.pos += n;
      continue;
    }
    const size_t left = count - *got;
    int64_t r;
    if (left >= reads.window.size()) {
      // Large reads go straight to the caller.
      r = ReadAtPosition(reads, out + *got, std::min(left, kMaxTransfer));
      if (r > 0) {
        *got += static_cast<size_t>(r);
        reads.pos += static_cast<uint64_t>(r);
      }
    } else {
      r = Refill(reads);
    }
    if (r < 0) return false;
    if (r == 0) break;
  }
  return true;
}

uint64_t ImageBytesAvailable(ImageFile* image, uint64_t count) {
  ReadAhead& reads = ReadsOf(image);
  if (reads.sized) return reads.pos >= reads.size ? 0 : std::min(count, reads.size - reads.pos);
  // The size cannot be known but by reading: the window grows to hold the
  // bytes, as far as they go.
  const size_t held = WindowHolds(reads);
  if (held > 0 && reads.pos != reads.windowPos) {
    memmove(reads.window.data(), WindowAtPos(reads), held);
    reads.windowPos = reads.pos;
  }
  reads.windowLen = held;
  if (held == 0) reads.windowPos = reads.pos;
  while (reads.windowLen < count) {
    if (reads.window.size() - reads.windowLen < kReadAheadWindow) {
      try {
        reads.window.resize(reads.window.size() * 2);
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    const uint64_t at = reads.pos;
    reads.pos = reads.windowPos + reads.windowLen;
    const int64_t r = ReadAtPosition(reads, reads.window.data() + reads.windowLen,
                                     std::min(reads.window.size() - reads.windowLen, kMaxTransfer));
    reads.pos = at;
    if (r <= 0) break;
    reads.windowLen += static_cast<size_t>(r);
  }
  return std::min<uint64_t>(count, reads.windowLen);
}

CopyResult CopyThrough(ReadAhead& reads, uint64_t count, uint64_t* copied,
                       const std::function<bool(const uint8_t* bytes, size_t n)>& write,
                       const std::function<int64_t(uint64_t left)>& moveAround) {
  *copied = 0;
  while (*copied < count) {
    // A long copy keeps the trace current and stops when interrupted. The
    // clock is read between pieces only: most files are one piece.
    if (*copied > 0) FlushTraceWhenDue();
    if (InterruptionNoted()) return CopyResult::kInterrupted;
    const uint64_t left = count - *copied;
    int64_t moved = 0;
    if (const size_t held = WindowHolds(reads)) {
      moved = static_cast<int64_t>(std::min<uint64_t>(held, left));
      if (!write(WindowAtPos(reads), static_cast<size_t>(moved))) return CopyResult::kWriteFailed;
    } else if (moveAround) {
      moved = moveAround(left);
      if (moved < 0) return CopyResult::kWriteFailed;
    }
    if (moved == 0) {
      if (Refill(reads) <= 0) return CopyResult::kImageShort;
      continue;
    }
    reads.pos += static_cast<uint64_t>(moved);
    *copied += static_cast<uint64_t>(moved);
  }
  return CopyResult::kDone;
}

bool SpoolInto(ReadAhead& reads, ScratchFile* scratch) {
  for (;;) {
    // A pipe may run for long: an interruption stops the run here too.
    if (InterruptionNoted()) StopInterrupted();
    const int64_t r = ReadAtPosition(reads, reads.window.data(), reads.window.size());
    if (r <= 0) return r == 0;
    if (!AppendToScratchFile(scratch, reads.window.data(), static_cast<size_t>(r))) return false;
    reads.pos += static_cast<uint64_t>(r);
  }
}

void ResetReads(ReadAhead& reads, uint64_t size) {
  reads.sized = true;
  reads.size = size;
  reads.origin = reads.pos = reads.windowPos = 0;
  reads.windowLen = 0;
  reads.systemPos = kSystemPosUnknown;
}
