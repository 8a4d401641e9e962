#include "platform/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <new>

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

bool ReadThrough(ReadAhead& reads, void* dst, size_t count, size_t* got) {
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

uint64_t BytesAvailable(ReadAhead& reads, uint64_t count) {
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
