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
// first few wait in memory, the rest in a scratch file, read back in order,
// as their offset and size alone. Their names are read back from a second
// scratch file that keeps the input from the first of them on: names may
// overlap one another, so that keeping each would cost many times the input.
// Both go to and come from disk in large pieces: few calls.
class WaitingImages {
 public:
  bool empty() const { return memory_.empty(); }
  FoundImage& front() { return memory_.front(); }

  // False when a scratch file failed, with the system error kept.
  bool push(FoundImage image) {
    if (spilled_ == 0 && memory_.size() < kInMemory) {
      memory_.push_back(std::move(image));
      return true;
    }
    if (spilled_ == 0 && !input_) {
      if (!(input_ = CreateScratchFile())) return false;
      inputFrom_ = keptUpTo_ = image.offset + 16;
    }
    char record[kRecord];
    memcpy(record, &image.offset, 8);
    memcpy(record + 8, &image.size, 4);
    tail_.append(record, sizeof record);
    ++spilled_;
    if (tail_.size() < kPiece) return true;
    if (!records_ && !(records_ = CreateScratchFile())) return false;
    if (!AppendToScratchFile(records_.get(), tail_.data(), tail_.size())) return false;
    tail_.clear();
    return true;
  }

  // Keeps what of the bytes read, bytes [base, base + count) of the input,
  // the names of images still to be found or read back may need.
  bool Keep(uint64_t base, const uint8_t* bytes, size_t count) {
    if (!input_ || base + count <= keptUpTo_) return true;
    const uint64_t skip = keptUpTo_ - base;
    if (!AppendToScratchFile(input_.get(), bytes + skip, count - skip)) return false;
    keptUpTo_ = base + count;
    return true;
  }

  bool pop() {
    memory_.pop_front();
    if (spilled_ == 0) return true;
    if (!Need(kRecord)) return false;
    FoundImage image;
    memcpy(&image.offset, head_.data() + headAt_, 8);
    memcpy(&image.size, head_.data() + headAt_ + 8, 4);
    headAt_ += kRecord;
    --spilled_;
    // The name as the scan read it: up to its first zero byte, in the
    // volume region, within the input.
    uint8_t name[kVolumeRegion];
    size_t got = 0;
    if (!ReadScratchFile(input_.get(), image.offset + 16 - inputFrom_, name, sizeof name, &got))
      return false;
    image.name = VolumeName(name, got);
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
      const uint64_t onDisk = records_ ? ScratchFileSize(records_.get()) : 0;
      if (readAt_ < onDisk) {
        const size_t had = head_.size();
        head_.resize(had + static_cast<size_t>(std::min<uint64_t>(kPiece, onDisk - readAt_)));
        size_t got = 0;
        if (!ReadScratchFile(records_.get(), readAt_, head_.data() + had, head_.size() - had, &got))
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
  static constexpr size_t kRecord = 12;  // offset, size
  static constexpr size_t kPiece = 64 * 1024;
  std::deque<FoundImage> memory_;
  uint64_t spilled_ = 0;  // records written out: in tail_, on disk or in head_
  std::string tail_;      // the last records written out, not on disk yet
  std::string head_;      // records read back from disk, from headAt_
  size_t headAt_ = 0;
  ScratchFileHandle records_;
  uint64_t readAt_ = 0;  // the records' next unread byte
  // The input from the first spilled image's name on: inputFrom_ is the
  // offset of its first byte, keptUpTo_ the end of what it holds.
  ScratchFileHandle input_;
  uint64_t inputFrom_ = 0, keptUpTo_ = 0;
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
    if (!waiting.Keep(base, buffer.data(), filled)) return false;

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
                           .name = VolumeName(hit + 16, count - 16)}) ||
            !waiting.Keep(base, buffer.data(), filled))
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
