#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kReadAhead = 64 * 1024;
// Bounded pieces keep a large file's copy from filling memory.
constexpr size_t kCopyPiece = 8 * 1024 * 1024;

bool MapImage(ImageFile& image, uint64_t size) {
  if (size == 0) return image.mapped = true;
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, image.fd, 0);
  if (p == MAP_FAILED) return false;
  image.map = static_cast<const uint8_t*>(p);
  image.mapSize = size;
  return image.mapped = true;
}

// Drops pages already copied, so a large file does not stay resident.
void ReleaseMapped(const ImageFile& image, uint64_t from, uint64_t to) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  from -= from % page;
  if (to > from) madvise(const_cast<uint8_t*>(image.map) + from, to - from, MADV_DONTNEED);
}

bool CopyByWrites(ImageFile& image, int outFd, uint64_t count) {
  while (count > 0) {
    const uint64_t piece = std::min<uint64_t>(count, kCopyPiece);
    if (!WriteAll(outFd, image.map + image.pos, piece)) return false;
    ReleaseMapped(image, image.pos, image.pos + piece);
    image.pos += piece;
    count -= piece;
  }
  return true;
}

}  // namespace

bool OpenImageFile(const char* path, ImageFile& image) {
  image = ImageFile{};
  do image.fd = open(path, O_RDONLY | O_CLOEXEC);
  while (image.fd < 0 && errno == EINTR);
  if (image.fd < 0) return false;

  struct stat st;
  if (fstat(image.fd, &st) == 0) {
    if (S_ISREG(st.st_mode) && MapImage(image, static_cast<uint64_t>(st.st_size))) return true;
    if (S_ISBLK(st.st_mode)) {
      const off_t end = lseek(image.fd, 0, SEEK_END);
      if (end >= 0 && lseek(image.fd, 0, SEEK_SET) == 0 &&
          MapImage(image, static_cast<uint64_t>(end)))
        return true;
    }
  }
  image.buf.resize(kReadAhead);
  return true;
}

void CloseImageFile(ImageFile& image) {
  if (image.map) munmap(const_cast<uint8_t*>(image.map), image.mapSize);
  if (image.fd >= 0) close(image.fd);
  image = ImageFile{};
}

bool SeekImageFile(ImageFile& image, uint64_t offset) {
  if (!image.mapped) {
    if (lseek(image.fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    image.kernelPos = offset;
  }
  image.pos = offset;
  return true;
}

uint64_t MappedBytesAvailable(const ImageFile& image, uint64_t count) {
  if (image.pos >= image.mapSize) return 0;
  return std::min(count, image.mapSize - image.pos);
}

bool ReadImageFile(ImageFile& image, void* dst, size_t count, size_t* got) {
  auto* out = static_cast<uint8_t*>(dst);
  *got = 0;
  if (image.mapped) {
    const size_t n = MappedBytesAvailable(image, count);
    if (n > 0) memcpy(out, image.map + image.pos, n);
    image.pos += n;
    *got = n;
    return true;
  }
  while (*got < count) {
    if (image.pos >= image.bufPos && image.pos < image.bufPos + image.bufLen) {
      const size_t at = image.pos - image.bufPos;
      const size_t n = std::min(count - *got, image.bufLen - at);
      memcpy(out + *got, image.buf.data() + at, n);
      *got += n;
      image.pos += n;
      continue;
    }
    if (image.kernelPos != image.pos) {
      if (lseek(image.fd, static_cast<off_t>(image.pos), SEEK_SET) < 0) return false;
      image.kernelPos = image.pos;
    }
    // Large reads go straight to the caller; small ones fill the read-ahead.
    const bool direct = count - *got >= image.buf.size();
    uint8_t* into = direct ? out + *got : image.buf.data();
    const size_t want = direct ? std::min<size_t>(count - *got, 1u << 30) : image.buf.size();
    const ssize_t r = read(image.fd, into, want);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    image.kernelPos += static_cast<uint64_t>(r);
    if (direct) {
      *got += static_cast<size_t>(r);
      image.pos += static_cast<uint64_t>(r);
    } else {
      image.bufPos = image.pos;
      image.bufLen = static_cast<size_t>(r);
    }
  }
  return true;
}

bool CopyMappedToFile(ImageFile& image, int outFd, uint64_t count) {
  // The kernel copies file to file without passing the bytes through this
  // process; where it cannot, the bytes are written from the map.
  while (count > 0) {
    off_t from = static_cast<off_t>(image.pos);
    const ssize_t r =
        copy_file_range(image.fd, &from, outFd, nullptr, std::min<uint64_t>(count, 1u << 30), 0);
    if (r > 0) {
      image.pos += static_cast<uint64_t>(r);
      count -= static_cast<uint64_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                  errno == EBADF))
      return CopyByWrites(image, outFd, count);
    if (r == 0) errno = EIO;  // the image shrank under us
    return false;
  }
  return true;
}

bool MakeDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0;
}

int CreateNewOutputFile(const std::string& path) {
  int fd;
  do fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const void* src, size_t count) {
  const auto* p = static_cast<const uint8_t*>(src);
  while (count > 0) {
    const ssize_t w = write(fd, p, std::min<size_t>(count, 1u << 30));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    p += w;
    count -= static_cast<size_t>(w);
  }
  return true;
}

bool CloseOutputFile(int fd) {
  // On Linux the descriptor is gone even when close reports EINTR.
  return close(fd) == 0 || errno == EINTR;
}

bool MakeSymbolicLink(const std::string& target, const std::string& linkPath) {
  return symlink(target.c_str(), linkPath.c_str()) == 0;
}

const char* GetLastErrorString() {
  static std::string text;
  text = strerror(errno);
  text += '\n';
  return text.c_str();
}
