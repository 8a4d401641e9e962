// The pax archive: ustar headers, with an extended header before a member
// whose name or link target ustar cannot hold.
#include "unpack/tar.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/utf8.h"

namespace {

constexpr size_t kBlock = 512;
const char kZeros[2 * kBlock] = {};

struct UstarHeader {
  char name[100];
  char mode[8];
  char uid[8];
  char gid[8];
  char size[12];
  char mtime[12];
  char chksum[8];
  char typeflag;
  char linkname[100];
  char magic[6];
  char version[2];
  char uname[32];
  char gname[32];
  char devmajor[8];
  char devminor[8];
  char prefix[155];
  char pad[12];
};
static_assert(sizeof(UstarHeader) == kBlock);

size_t Padding(uint64_t size) {
  return (kBlock - size % kBlock) % kBlock;
}

bool Flush(TarArchive& tar) {
  if (tar.used == 0) return true;
  if (!tar.sink(tar.buffer.get(), tar.used)) tar.failed = true;
  tar.used = 0;
  return !tar.failed;
}

// Writes out the whole blocks gathered, keeping the rest of a block, so that
// the buffer still starts at a block's start.
bool FlushBlocks(TarArchive& tar) {
  const size_t whole = tar.used - tar.used % kBlock;
  if (whole == 0 || tar.failed) return !tar.failed;
  if (!tar.sink(tar.buffer.get(), whole)) tar.failed = true;
  memmove(tar.buffer.get(), tar.buffer.get() + whole, tar.used - whole);
  tar.used -= whole;
  return !tar.failed;
}

// Appends bytes to the archive, through the buffer.
bool Put(TarArchive& tar, const char* data, size_t size) {
  while (size > 0 && !tar.failed) {
    const size_t piece = std::min(size, kTarBuffer - tar.used);
    memcpy(tar.buffer.get() + tar.used, data, piece);
    tar.used += piece;
    data += piece;
    size -= piece;
    if (tar.used == kTarBuffer) Flush(tar);
  }
  return !tar.failed;
}

// Octal, zero-filled, with the field's last byte a terminator.
void Octal(char* field, size_t width, uint64_t value) {
  snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
           static_cast<unsigned long long>(value));
}

// Bytes any reader takes in a ustar field as they are.
bool PlainAscii(std::string_view text) {
  for (const char c : text)
    if (c <= 0 || c > 0x7E) return false;
  return true;
}

// Puts name into the header's name field, or split at a slash between prefix
// and name; false when it fits neither way.
bool SplitName(std::string_view name, UstarHeader& header) {
  if (name.size() <= sizeof header.name) {
    memcpy(header.name, name.data(), name.size());
    return true;
  }
  // The prefix as long as it may be, so that what is left fits the name,
  // which keeps at least a byte (a directory's, its slash).
  const size_t slash = name.rfind('/', std::min(name.size() - 2, sizeof header.prefix));
  if (slash == std::string_view::npos || slash == 0 || name.size() - slash - 1 > sizeof header.name)
    return false;
  memcpy(header.prefix, name.data(), slash);
  memcpy(header.name, name.data() + slash + 1, name.size() - slash - 1);
  return true;
}

// The size of the pax record "length key=value\n" whose length counts its own digits.
uint64_t RecordLength(size_t key, uint64_t value) {
  const uint64_t rest = 1 + key + 1 + value + 1;
  uint64_t length = rest + 1;
  while (std::to_string(length).size() + rest != length)
    length = std::to_string(length).size() + rest;
  return length;
}

// One pax record.
void AppendRecord(std::string& records, std::string_view key, std::string_view value) {
  records.append(std::to_string(RecordLength(key.size(), value.size()))).append(1, ' ');
  records.append(key).append(1, '=').append(value).append(1, '\n');
}

void Checksum(UstarHeader& header) {
  memset(header.chksum, ' ', sizeof header.chksum);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
  unsigned sum = 0;
  for (size_t i = 0; i < kBlock; ++i) sum += bytes[i];
  snprintf(header.chksum, sizeof header.chksum, "%06o", sum);  // six digits, a zero, a space
}

UstarHeader Header(char type, uint32_t mode, uint64_t size) {
  UstarHeader header{};
  Octal(header.mode, sizeof header.mode, mode);
  Octal(header.uid, sizeof header.uid, 0);
  Octal(header.gid, sizeof header.gid, 0);
  Octal(header.size, sizeof header.size, size);
  Octal(header.mtime, sizeof header.mtime, 0);
  header.typeflag = type;
  memcpy(header.magic, "ustar", 6);
  memcpy(header.version, "00", 2);
  memcpy(header.uname, "root", 4);
  memcpy(header.gname, "root", 4);
  Octal(header.devmajor, sizeof header.devmajor, 0);
  Octal(header.devminor, sizeof header.devminor, 0);
  return header;
}

bool PutHeader(TarArchive& tar, UstarHeader& header) {
  Checksum(header);
  return Put(tar, reinterpret_cast<const char*>(&header), kBlock);
}

// A link's text: read in pieces, as it may be as long as the image.
struct LinkText {
  uint64_t size = 0;
  const TarTextReader* read = nullptr;
};

// What a text is: plain ASCII, which ustar's field takes; else UTF-8 or
// not. Read in pieces; a sequence that a piece cuts is read again whole.
bool Inspect(const LinkText& text, bool& plain, bool& utf8) {
  plain = utf8 = true;
  char piece[4096];
  for (uint64_t at = 0; at < text.size && (plain || utf8);) {
    const auto count = static_cast<size_t>(std::min<uint64_t>(sizeof piece, text.size - at));
    if (!(*text.read)(at, piece, count)) return false;
    const std::string_view bytes(piece, count);
    size_t i = 0;
    while (i < count) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (c > 0 && c < 0x7F) {
        ++i;
        continue;
      }
      plain = false;
      uint32_t code;
      const size_t length = c < 0x80 ? 1 : Utf8Sequence(bytes, i, code);
      if (length == 0 && count - i < 4 && at + count < text.size && i > 0) break;
      if (length == 0) utf8 = false;
      i += length ? length : 1;
    }
    at += i;
  }
  return true;
}

// Writes the header of a member (and the extended header before it where
// ustar cannot hold its name or link); the data, if any, is the caller's.
bool PutMember(TarArchive& tar, char type, std::string_view name, const LinkText& link,
               uint32_t mode, uint64_t size, uint16_t major = 0, uint16_t minor = 0) {
  if (tar.failed) return false;
  TarFlushWhenDue(tar);
  UstarHeader header = Header(type, mode, size);
  const bool nameFits = PlainAscii(name) && SplitName(name, header);
  bool linkPlain = true, linkUtf8 = true;
  if (link.size > 0 && !Inspect(link, linkPlain, linkUtf8)) return false;
  const bool linkFits = linkPlain && link.size <= sizeof header.linkname;
  // The link's first bytes, all of it where the field holds it.
  char shown[sizeof header.linkname] = {};
  const auto shownSize = static_cast<size_t>(std::min<uint64_t>(link.size, sizeof shown));
  if (shownSize > 0 && !(*link.read)(0, shown, shownSize)) return false;
  if (nameFits && linkFits) {
    memcpy(header.linkname, shown, shownSize);
  } else {
    std::string records;
    // First, so that a reader knows it before it meets the texts. GNU tar
    // knows no hdrcharset: it warns, and takes the bytes as they are.
    if ((!nameFits && !IsUtf8(name)) || (!linkFits && !linkUtf8))
      AppendRecord(records, "hdrcharset", "BINARY");
    if (!nameFits) AppendRecord(records, "path", name);
    const uint64_t linkRecord = linkFits ? 0 : RecordLength(strlen("linkpath"), link.size);
    UstarHeader extended = Header('x', 0644, records.size() + linkRecord);
    memcpy(extended.name, "././@PaxHeader", 14);
    if (!PutHeader(tar, extended) || !Put(tar, records.data(), records.size())) return false;
    if (!linkFits) {
      const std::string start = std::to_string(linkRecord) + " linkpath=";
      if (!Put(tar, start.data(), start.size())) return false;
      char piece[4096];
      for (uint64_t at = 0; at < link.size;) {
        const auto count = static_cast<size_t>(std::min<uint64_t>(sizeof piece, link.size - at));
        if (!(*link.read)(at, piece, count) || !Put(tar, piece, count)) return false;
        at += count;
      }
      if (!Put(tar, "\n", 1)) return false;
    }
    if (!Put(tar, kZeros, Padding(records.size() + linkRecord))) return false;
    // What a reader that knows no extended header shows: the name's first
    // bytes, the link's, in plain ASCII.
    const auto show = [](char* field, size_t width, std::string_view text) {
      for (size_t i = 0; i < width && i < text.size(); ++i)
        field[i] = PlainAscii(text.substr(i, 1)) ? text[i] : '_';
    };
    if (!nameFits) {
      memset(header.prefix, 0, sizeof header.prefix);
      memset(header.name, 0, sizeof header.name);
      show(header.name, sizeof header.name, name);
    }
    show(header.linkname, sizeof header.linkname, {shown, shownSize});
  }
  if (major || minor) {
    Octal(header.devmajor, sizeof header.devmajor, major);
    Octal(header.devminor, sizeof header.devminor, minor);
  }
  return PutHeader(tar, header);
}

// A text in memory, read as a link's.
TarTextReader InMemory(std::string_view text) {
  return [text](uint64_t at, char* buffer, size_t size) {
    memcpy(buffer, text.data() + at, size);
    return true;
  };
}

}  // namespace

TarArchive TarOpen(TarSink sink) {
  TarArchive tar;
  tar.sink = std::move(sink);
  tar.buffer = std::make_unique<char[]>(kTarBuffer);
  tar.flushDue = std::chrono::steady_clock::now() + kTarFlushEvery;
  return tar;
}

bool TarFlushWhenDue(TarArchive& tar) {
  const auto now = std::chrono::steady_clock::now();
  if (now < tar.flushDue) return !tar.failed;
  tar.flushDue = now + kTarFlushEvery;
  return FlushBlocks(tar);
}

bool TarDirectory(TarArchive& tar, std::string_view path) {
  std::string name;
  name.reserve(path.size() + 1);
  name.append(path).append(1, '/');
  return PutMember(tar, '5', name, {}, 0755, 0);
}

bool TarFile(TarArchive& tar, std::string_view path, uint32_t size, bool executable,
             const TarReader& read) {
  if (!PutMember(tar, '0', path, {}, executable ? 0755 : 0644, size)) return false;
  tar.inMember = true;
  // Read straight into the buffer, in pieces as large as it has room for.
  for (uint32_t left = size; left > 0;) {
    const size_t piece = std::min<size_t>(left, kTarBuffer - tar.used);
    if (!read(tar.buffer.get() + tar.used, piece)) return false;
    tar.used += piece;
    left -= piece;
    if (tar.used == kTarBuffer && !Flush(tar)) return false;
  }
  tar.inMember = false;
  return Put(tar, kZeros, Padding(size));
}

bool TarSymlink(TarArchive& tar, std::string_view path, uint64_t targetSize,
                const TarTextReader& read) {
  return PutMember(tar, '2', path, {targetSize, &read}, 0777, 0);
}

bool TarSymlink(TarArchive& tar, std::string_view path, std::string_view target) {
  const TarTextReader read = InMemory(target);
  return TarSymlink(tar, path, target.size(), read);
}

bool TarHardLink(TarArchive& tar, std::string_view path, std::string_view linked) {
  const TarTextReader read = InMemory(linked);
  return PutMember(tar, '1', path, {linked.size(), &read}, 0644, 0);
}

bool TarDevice(TarArchive& tar, std::string_view path, bool block, uint16_t major, uint16_t minor) {
  return PutMember(tar, block ? '4' : '3', path, {}, 0644, 0, major, minor);
}

bool TarFifo(TarArchive& tar, std::string_view path) {
  return PutMember(tar, '6', path, {}, 0644, 0);
}

bool TarFinish(TarArchive& tar) {
  return Put(tar, kZeros, sizeof kZeros) && Flush(tar);
}

bool TarAbort(TarArchive& tar) {
  if (tar.failed) return false;
  if (tar.inMember) {
    // The data so far, to the end of its block: still short of its size.
    tar.inMember = false;
    return Put(tar, kZeros, Padding(tar.used)) && Flush(tar);
  }
  // A member that promises a block of data the archive does not hold.
  return PutMember(tar, '0', "(cut short)", {}, 0644, kBlock) && Flush(tar);
}
