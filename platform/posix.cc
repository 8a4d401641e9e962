// The POSIX backend. The output tree is created relative to open directory
// descriptors, and the image is read through a bounded read-ahead, never
// mapped: memory stays small whatever the image, and an image that shrinks
// under the run reads short instead of raising SIGBUS.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix_calls.h"

PosixCalls SystemCalls() {
  return PosixCalls{::read, ::pread, ::write, ::copy_file_range, ::fstat};
}
PosixCalls posixCalls = SystemCalls();

struct ImageFile {
  int fd = -1;
  // A regular file or a block device: its size is known and it is read with
  // pread. Anything else (a pipe, a character device) is read in sequence.
  bool sized = false;
  uint64_t size = 0;
  uint64_t pos = 0;        // the logical position
  uint64_t kernelPos = 0;  // the descriptor's own position, for reads in sequence
  // The read-ahead holds the image's bytes at [windowPos, windowPos + windowLen).
  std::vector<uint8_t> window;
  uint64_t windowPos = 0;
  size_t windowLen = 0;
};

struct OutputDir {
  int fd;
};

namespace {

// Large enough that a plain copy moves the bytes in few calls, small enough
// to stay out of the way; the headers of small files share it with their data.
constexpr size_t kWindow = 128 * 1024;
// No single call moves more, so counts stay within what every call takes.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// Set once the output refused an in-kernel copy: it will refuse every one.
bool copyRefused = false;

ssize_t ReadAt(ImageFile* image, void* dst, size_t count) {
  if (image->sized) return posixCalls.pread(image->fd, dst, count, static_cast<off_t>(image->pos));
  if (image->kernelPos != image->pos) {
    if (lseek(image->fd, static_cast<off_t>(image->pos), SEEK_SET) < 0) return -1;
    image->kernelPos = image->pos;
  }
  const ssize_t r = posixCalls.read(image->fd, dst, count);
  if (r > 0) image->kernelPos += static_cast<uint64_t>(r);
  return r;
}

// How many bytes at the position the read-ahead holds.
size_t WindowHolds(const ImageFile* image) {
  if (image->pos < image->windowPos || image->pos >= image->windowPos + image->windowLen) return 0;
  return image->windowLen - static_cast<size_t>(image->pos - image->windowPos);
}

const uint8_t* WindowAtPos(const ImageFile* image) {
  return image->window.data() + (image->pos - image->windowPos);
}

// Refills the read-ahead from the position: the count read, 0 at the end,
// -1 on an error.
ssize_t Refill(ImageFile* image) {
  ssize_t r;
  do r = ReadAt(image, image->window.data(), image->window.size());
  while (r < 0 && errno == EINTR);
  image->windowPos = image->pos;
  image->windowLen = r > 0 ? static_cast<size_t>(r) : 0;
  return r;
}

bool WriteAll(int fd, const uint8_t* src, size_t count) {
  while (count > 0) {
    const ssize_t w = posixCalls.write(fd, src, std::min(count, kMaxTransfer));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    src += w;
    count -= static_cast<size_t>(w);
  }
  return true;
}

bool IsRefusal(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}

CopyResult CopyData(ImageFile* image, int out, uint64_t count, uint64_t* copied) {
  *copied = 0;
  while (*copied < count) {
    const uint64_t left = count - *copied;
    uint64_t moved = 0;
    if (const size_t held = WindowHolds(image)) {
      moved = std::min<uint64_t>(held, left);
      if (!WriteAll(out, WindowAtPos(image), moved)) return CopyResult::kWriteFailed;
    } else if (image->sized && !copyRefused) {
      // The kernel copies file to file without passing the bytes through here.
      off_t from = static_cast<off_t>(image->pos);
      const ssize_t r = posixCalls.copyFileRange(image->fd, &from, out, nullptr,
                                                 std::min<uint64_t>(left, kMaxTransfer), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        // A refusal holds for the whole output. Other errors, and a 0 that
        // may mean the end of the image or a copy the file system would not
        // make, are left to the plain reads and writes to tell apart.
        if (r == 0 || IsRefusal(errno)) copyRefused = true;
        if (r < 0 && !IsRefusal(errno)) {
          if (Refill(image) <= 0) return CopyResult::kImageShort;
        }
        continue;
      }
      moved = static_cast<uint64_t>(r);
    } else {
      if (Refill(image) <= 0) return CopyResult::kImageShort;
      continue;
    }
    image->pos += moved;
    *copied += moved;
  }
  return CopyResult::kDone;
}

int ParentFd(const OutPath& path) {
  return path.parent ? path.parent->fd : AT_FDCWD;
}

OutputDirHandle OpenDirAt(int at, const std::string& name) {
  int fd;
  do fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return OutputDirHandle(new OutputDir{fd});
}

}  // namespace

void ForgetCopyRefusal() {
  copyRefused = false;
}

ImageFile* OpenImageFile(const char* path) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  auto* image = new ImageFile;
  image->fd = fd;
  image->window.resize(kWindow);
  struct stat st;
  if (posixCalls.fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      image->sized = true;
      image->size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
      const off_t end = lseek(fd, 0, SEEK_END);
      if (end >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
        image->sized = true;
        image->size = static_cast<uint64_t>(end);
      }
    }
  }
  return image;
}

void CloseImageFile(ImageFile* image) {
  if (!image) return;
  close(image->fd);
  delete image;
}

bool SeekImageFile(ImageFile* image, uint64_t offset) {
  // Read in sequence, the image must accept the seek now, so that a pipe
  // fails here and not at some later read.
  if (!image->sized) {
    if (lseek(image->fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    image->kernelPos = offset;
  }
  image->pos = offset;
  return true;
}

bool ReadImageFile(ImageFile* image, void* dst, size_t count, size_t* got) {
  auto* out = static_cast<uint8_t*>(dst);
  *got = 0;
  while (*got < count) {
    if (const size_t held = WindowHolds(image)) {
      const size_t n = std::min(count - *got, held);
      memcpy(out + *got, WindowAtPos(image), n);
      *got += n;
      image->pos += n;
      continue;
    }
    const size_t left = count - *got;
    ssize_t r;
    if (left >= image->window.size()) {
      // Large reads go straight to the caller.
      r = ReadAt(image, out + *got, std::min(left, kMaxTransfer));
      if (r > 0) {
        *got += static_cast<size_t>(r);
        image->pos += static_cast<uint64_t>(r);
      }
    } else {
      r = Refill(image);
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
  }
  return true;
}

uint64_t ImageBytesAvailable(ImageFile* image, uint64_t count) {
  if (image->sized)
    return image->pos >= image->size ? 0 : std::min(count, image->size - image->pos);
  // The size cannot be known but by reading: the read-ahead grows to hold
  // the bytes, as far as they go.
  const size_t held = WindowHolds(image);
  if (held > 0 && image->pos != image->windowPos) {
    memmove(image->window.data(), WindowAtPos(image), held);
    image->windowPos = image->pos;
  }
  image->windowLen = held;
  if (held == 0) image->windowPos = image->pos;
  while (image->windowLen < count) {
    if (image->window.size() - image->windowLen < kWindow) {
      try {
        image->window.resize(image->window.size() * 2);
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    const uint64_t at = image->pos;
    image->pos = image->windowPos + image->windowLen;
    ssize_t r;
    do
      r = ReadAt(image, image->window.data() + image->windowLen,
                 image->window.size() - image->windowLen);
    while (r < 0 && errno == EINTR);
    image->pos = at;
    if (r <= 0) break;
    image->windowLen += static_cast<size_t>(r);
  }
  return std::min<uint64_t>(count, image->windowLen);
}

void OutputDirCloser::operator()(OutputDir* dir) const {
  close(dir->fd);
  delete dir;
}

bool NameIsSafe(const std::string& name) {
  return name.find('/') == std::string::npos;
}

bool MakeDirectory(const OutPath& path) {
  return mkdirat(ParentFd(path), path.name.c_str(), 0777) == 0;
}

OutputDirHandle OpenDirectory(const OutPath& path) {
  return OpenDirAt(ParentFd(path), path.name);
}

OutputDirHandle OpenDirectoryBeneath(const OutputDir& top, const std::vector<std::string>& names) {
  OutputDirHandle dir = OpenDirAt(top.fd, ".");
  for (const std::string& name : names) {
    // Only names the walk could have made: never a way up or across.
    if (!dir || name == ".." || name.find('/') != std::string::npos) return nullptr;
    dir = OpenDirAt(dir->fd, name);
  }
  return dir;
}

CopyResult CopyImageToNewFile(ImageFile* image, const OutPath& path, uint64_t count,
                              uint64_t* copied) {
  *copied = 0;
  int out;
  do
    out = openat(ParentFd(path), path.name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  while (out < 0 && errno == EINTR);
  if (out < 0) return CopyResult::kCreateFailed;
  const CopyResult result = CopyData(image, out, count, copied);
  const int error = errno;
  // On Linux the descriptor is gone even when close reports EINTR.
  const bool closed = close(out) == 0 || errno == EINTR;
  if (result != CopyResult::kDone) {
    errno = error;
    return result;
  }
  return closed ? CopyResult::kDone : CopyResult::kWriteFailed;
}

bool MakeSymbolicLink(const std::string& target, const OutPath& path) {
  return symlinkat(target.c_str(), ParentFd(path), path.name.c_str()) == 0;
}

bool PrepareStandardOutput() {
  signal(SIGPIPE, SIG_IGN);
  return isatty(STDOUT_FILENO) == 1;
}

const char* GetLastErrorString() {
  static std::string text;
  text = strerror(errno);
  text += '\n';
  return text.c_str();
}
