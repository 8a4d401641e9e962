// A pax (POSIX.1-2001) archive written member by member as the walk meets
// the entries, for --tar. Every member has owner and group 0 ("root") and
// time 0, so that one image gives the same bytes on every system. Memory is
// one buffer, whatever the members hold: file data comes in pieces.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

// Takes the next bytes of the archive, always whole 512-byte blocks; false
// when they could not be written (the sink keeps why).
using TarSink = std::function<bool(const char* data, size_t size)>;

// Fills buffer with exactly the next size bytes of a file's data; false when
// they could not be read.
using TarReader = std::function<bool(char* buffer, size_t size)>;

// Fills buffer with the size bytes at offset at of a text (a link's
// target); false when they could not be read. A text is read in pieces, and
// more than once.
using TarTextReader = std::function<bool(uint64_t at, char* buffer, size_t size)>;

struct TarArchive {
  TarSink sink;
  std::unique_ptr<char[]> buffer;  // kTarBuffer bytes, filled in whole blocks
  size_t used = 0;
  // A write failed: the archive takes nothing more.
  bool failed = false;
  // A file member whose data is still owed: its header was written, not all
  // of its data.
  bool inMember = false;
  // When the bytes gathered are next written out, full buffer or not.
  std::chrono::steady_clock::time_point flushDue;
};

// However slowly the members come, what is gathered is written out this often.
constexpr auto kTarFlushEvery = std::chrono::seconds(1);

// Bytes gathered before the sink gets them: large writes cost least.
constexpr size_t kTarBuffer = size_t{1} << 20;

// An archive that writes to sink.
TarArchive TarOpen(TarSink sink);

// Each adds one member; path is the entry's path from the image's root,
// without a leading or trailing slash, in its exact bytes. False once a
// write has failed (or, for TarFile, the reader did: the archive is then in
// the middle of the member and only TarAbort may follow).
bool TarDirectory(TarArchive& tar, std::string_view path);
bool TarFile(TarArchive& tar, std::string_view path, uint32_t size, bool executable,
             const TarReader& read);
// A target as long as the image is read in pieces: only they are in memory.
bool TarSymlink(TarArchive& tar, std::string_view path, uint64_t targetSize,
                const TarTextReader& read);
bool TarSymlink(TarArchive& tar, std::string_view path, std::string_view target);
// linked: the path of an earlier member, a regular file.
bool TarHardLink(TarArchive& tar, std::string_view path, std::string_view linked);
bool TarDevice(TarArchive& tar, std::string_view path, bool block, uint16_t major, uint16_t minor);
bool TarFifo(TarArchive& tar, std::string_view path);

// Writes out what is gathered, in whole blocks, once kTarFlushEvery has
// passed since it last was; each member's start asks. False once a write
// has failed.
bool TarFlushWhenDue(TarArchive& tar);

// Ends a complete archive: two zero blocks, and everything written.
bool TarFinish(TarArchive& tar);

// Ends an archive whose input was damaged so that readers report it cut
// short: the member being written stays short of its declared size, or, between
// members, a member header follows whose data never comes. (An archive
// merely left without its end blocks passes as complete with most readers.)
bool TarAbort(TarArchive& tar);
