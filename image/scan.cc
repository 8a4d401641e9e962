#include "image/scan.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>
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

// The images found that wait for the read to pass their end, in file order.
// On a pipe each may wait for gigabytes while thousands more are found: the
// first few wait in memory, the rest in a scratch file, read back in order.
// Records go to and come from it in large pieces: few calls.
class WaitingImages {
 public:
  bool empty() const { return memory_.empty(); }
  FoundImage& front() { return memory_.front(); }

  // False when the scratch file failed, with the system error kept.
  bool push(FoundImage image) {
    if (spilled_ == 0 && memory_.size() < kInMemory) {
      memory_.push_back(std::move(image));
      return true;
    }
    const auto length = static_cast<uint32_t>(image.name.size());
    char head[kRecordHead];
    memcpy(head, &image.offset, 8);
    memcpy(head + 8, &image.size, 4);
    memcpy(head + 12, &length, 4);
    tail_.append(head, sizeof head).append(image.name);
    ++spilled_;
    if (tail_.size() < kPiece) return true;
    if (!disk_ && !(disk_ = CreateScratchFile())) return false;
    if (!AppendToScratchFile(disk_.get(), tail_.data(), tail_.size())) return false;
    tail_.clear();
    return true;
  }

  bool pop() {
    memory_.pop_front();
    if (spilled_ == 0) return true;
    uint32_t length = 0;
    if (!Need(kRecordHead)) return false;
    memcpy(&length, head_.data() + headAt_ + 12, 4);
    if (!Need(kRecordHead + length)) return false;
    FoundImage image;
    memcpy(&image.offset, head_.data() + headAt_, 8);
    memcpy(&image.size, head_.data() + headAt_ + 8, 4);
    image.name.assign(head_, headAt_ + kRecordHead, length);
    headAt_ += kRecordHead + length;
    --spilled_;
    memory_.push_back(std::move(image));
    return true;
  }

 private:
  // Makes head_ hold count bytes of records from headAt_: from the disk while
  // it has unread ones, then from tail_, which follows them.
  bool Need(size_t count) {
    while (head_.size() - headAt_ < count) {
      head_.erase(0, headAt_);
      headAt_ = 0;
      const uint64_t onDisk = disk_ ? ScratchFileSize(disk_.get()) : 0;
      if (readAt_ < onDisk) {
        const size_t had = head_.size();
        head_.resize(had + static_cast<size_t>(std::min<uint64_t>(kPiece, onDisk - readAt_)));
        size_t got = 0;
        if (!ReadScratchFile(disk_.get(), readAt_, head_.data() + had, head_.size() - had, &got))
          return false;
        head_.resize(had + got);
        readAt_ += got;
        if (got == 0) return false;
      } else {
        head_ += tail_;
        tail_.clear();
      }
    }
    return true;
  }

  static constexpr size_t kInMemory = 256;
  static constexpr size_t kRecordHead = 16;  // offset, size, name length
  static constexpr size_t kPiece = 64 * 1024;
  std::deque<FoundImage> memory_;
  uint64_t spilled_ = 0;  // records written out: in tail_, on disk or in head_
  std::string tail_;      // the last records written out, not on disk yet
  std::string head_;      // records read back from disk, from headAt_
  size_t headAt_ = 0;
  ScratchFileHandle disk_;
  uint64_t readAt_ = 0;  // the disk's next unread byte
};

}  // namespace

bool ScanForImages(ImageFile* file, uint64_t limit,
                   const std::function<bool(const FoundImage&)>& found) {
  // Where the system cannot tell the size, an image is reported once the
  // reading has passed its end, or at the end: only then is it known
  // whether the file cuts it short.
  const uint64_t size = std::min(ImageSize(file), limit);
  WaitingImages waiting;
  uint64_t read = 0;     // bytes read so far
  bool failed = false;   // the scratch file failed
  bool stopped = false;  // found said no more
  // Reports what can be; false once the scan is to end.
  auto report = [&](bool atEnd) {
    const uint64_t end = size != UINT64_MAX ? size : read;
    while (!waiting.empty()) {
      FoundImage& image = waiting.front();
      const uint64_t held = std::min<uint64_t>(image.size, end - image.offset);
      if (held < image.size && !atEnd && size == UINT64_MAX) return true;
      image.held = held;
      if (!found(image)) {
        stopped = true;
        return false;
      }
      if (!waiting.pop()) {
        failed = true;
        return false;
      }
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
        if (!waiting.push({.offset = base + at,
                           .size = DecodeWord(hit + 8),
                           .name = VolumeName(hit + 16, count - 16)}))
          return false;
        if (!report(false)) return stopped;
      }
      ++at;
    }
    if (atEnd) return report(true) || stopped;
    // Images found before may have their end read now.
    if (!report(false)) return stopped;
    memmove(buffer.data(), buffer.data() + at, filled - at);
    base += at;
    filled -= at;
  }
}
