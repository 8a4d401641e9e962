#include "image/scan.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/trace.h"

namespace {

// Large reads keep the calls few; the search runs through memory.
constexpr size_t kBlock = size_t{1} << 20;

// The first ident in [from, end), or null.
const uint8_t* FindIdent(const uint8_t* from, const uint8_t* end) {
  while (end - from >= static_cast<ptrdiff_t>(kIdentLength)) {
    const auto* dash = static_cast<const uint8_t*>(
        memchr(from, kRomfsIdent[0], static_cast<size_t>(end - from) - (kIdentLength - 1)));
    if (!dash) return nullptr;
    if (memcmp(dash, kRomfsIdent, kIdentLength) == 0) return dash;
    from = dash + 1;
  }
  return nullptr;
}

}  // namespace

bool ScanForImages(ImageFile* file, uint64_t limit,
                   const std::function<bool(const FoundImage&)>& found) {
  // Where the system cannot tell the size, an image is reported once the
  // reading has passed its end, or at the end: only then is it known
  // whether the file cuts it short.
  const uint64_t size = std::min(ImageSize(file), limit);
  std::deque<FoundImage> waiting;
  uint64_t read = 0;  // bytes read so far
  auto report = [&](bool atEnd) {
    const uint64_t end = size != UINT64_MAX ? size : read;
    while (!waiting.empty()) {
      FoundImage& image = waiting.front();
      const uint64_t held = std::min<uint64_t>(image.size, end - image.offset);
      if (held < image.size && !atEnd && size == UINT64_MAX) return true;
      image.held = held;
      if (!found(image)) return false;
      waiting.pop_front();
    }
    return true;
  };

  // A candidate needs kVolumeReach bytes from its start: the bytes that
  // leave one undecided at the end of a block stay for the next.
  std::vector<uint8_t> buffer(kVolumeReach + kBlock);
  uint64_t base = 0;  // the offset of buffer[0]
  size_t filled = 0;  // bytes in the buffer
  for (;;) {
    // A file may be endless (a device, a pipe): between blocks the lines
    // so far go out when due, and an interruption ends the run.
    FlushTraceWhenDue();
    StopIfInterrupted();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, limit - read));
    size_t got = 0;
    if (want > 0 && !ReadImageFile(file, buffer.data() + filled, want, &got)) return false;
    filled += got;
    read += got;
    const bool atEnd = got < want || want == 0;

    size_t at = 0;
    while (filled - at >= kIdentLength) {
      const uint8_t* hit = FindIdent(buffer.data() + at, buffer.data() + filled);
      if (!hit) {
        at = filled - (kIdentLength - 1);
        break;
      }
      at = static_cast<size_t>(hit - buffer.data());
      const size_t count = std::min(filled - at, kVolumeReach);
      if (count < kVolumeReach && !atEnd) break;
      if (StartsImage(hit, count)) {
        waiting.push_back({.offset = base + at,
                           .size = DecodeWord(hit + 8),
                           .name = VolumeName(hit + 16, count - 16)});
        if (!report(false)) return true;
      }
      ++at;
    }
    if (atEnd) {
      report(true);
      return true;
    }
    // Images found before may have their end read now.
    if (!report(false)) return true;
    memmove(buffer.data(), buffer.data() + at, filled - at);
    base += at;
    filled -= at;
  }
}
