// The small set of operating-system services the unpacker needs: one
// read-only image with absolute seeks, directory, file and link creation,
// and the text of the last system error. POSIX underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open image. Regular files and block devices are memory-mapped, so the
// many small reads of the format cost no system call; anything else (a pipe,
// a character device) is read through a buffer over plain read and lseek.
struct ImageFile {
  int fd = -1;
  const uint8_t* map = nullptr;  // the whole image when mapped
  uint64_t mapSize = 0;
  bool mapped = false;  // true for a mapped image, an empty one included
  uint64_t pos = 0;     // the logical file position

  // Read-ahead for unmapped images: buf holds the bytes at [bufPos, bufPos + bufLen).
  std::vector<uint8_t> buf;
  uint64_t bufPos = 0;
  size_t bufLen = 0;
  uint64_t kernelPos = 0;  // where the descriptor's own position stands
};

// Opens an existing image read-only. False with errno set on failure.
bool OpenImageFile(const char* path, ImageFile& image);
void CloseImageFile(ImageFile& image);

// Moves the position to an absolute offset. False with errno set when the
// system refuses it (a pipe, for instance). A mapped image accepts any offset.
bool SeekImageFile(ImageFile& image, uint64_t offset);

// Reads up to count bytes at the position and advances it. *got tells how
// many arrived: fewer at the end of the image, and that is not a failure.
// False with errno set when the system reports an error.
bool ReadImageFile(ImageFile& image, void* dst, size_t count, size_t* got);

// How many of the next count bytes a mapped image holds from the position.
uint64_t MappedBytesAvailable(const ImageFile& image, uint64_t count);

// Copies count bytes of a mapped image from the position into outFd and
// advances the position. The caller has checked that they all exist.
// False with errno set on failure.
bool CopyMappedToFile(ImageFile& image, int outFd, uint64_t count);

// mkdir with mode 0777 (the umask applies); fails if anything exists at path.
bool MakeDirectory(const std::string& path);

// A new regular file, write-only, mode 0666 (the umask applies); fails if
// anything exists at path, a symbolic link included. Returns -1 on failure.
int CreateNewOutputFile(const std::string& path);

// Writes the whole buffer, across partial writes and interruptions.
bool WriteAll(int fd, const void* src, size_t count);

// Closes an output file; false if the close reports a failure.
bool CloseOutputFile(int fd);

// symlink(target, linkPath) with the target text unchanged.
bool MakeSymbolicLink(const std::string& target, const std::string& linkPath);

// The system's text for errno, ending with one line end.
const char* GetLastErrorString();
