// The pax archive: ustar headers, with an extended header before a member
// whose name or link target ustar cannot hold.
#include "unpack/tar.h"

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

// One pax record, "length key=value\n", where the length counts its own digits.
void AppendRecord(std::string& records, std::string_view key, std::string_view value) {
  const size_t rest = 1 + key.size() + 1 + value.size() + 1;
  size_t length = rest + 1;
  while (std::to_string(length).size() + rest != length)
    length = std::to_string(length).size() + rest;
  records.append(std::to_string(length)).append(1, ' ').append(key).append(1, '=');
  records.append(value).append(1, '\n');
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

// Writes the header of a member (and the extended header before it where
// ustar cannot hold its name or link); the data, if any, is the caller's.
bool PutMember(TarArchive& tar, char type, std::string_view name, std::string_view link,
               uint32_t mode, uint64_t size, uint16_t major = 0, uint16_t minor = 0) {
  if (tar.failed) return false;
  UstarHeader header = Header(type, mode, size);
  const bool nameFits = PlainAscii(name) && SplitName(name, header);
  const bool linkFits = PlainAscii(link) && link.size() <= sizeof header.linkname;
  if (nameFits && linkFits) {
    if (!link.empty()) memcpy(header.linkname, link.data(), link.size());
  } else {
    std::string records;
    // First, so that a reader knows it before it meets the texts. GNU tar
    // knows no hdrcharset: it warns, and takes the bytes as they are.
    if ((!nameFits && !IsUtf8(name)) || (!linkFits && !IsUtf8(link)))
      AppendRecord(records, "hdrcharset", "BINARY");
    if (!nameFits) AppendRecord(records, "path", name);
    if (!linkFits) AppendRecord(records, "linkpath", link);
    UstarHeader extended = Header('x', 0644, records.size());
    memcpy(extended.name, "././@PaxHeader", 14);
    if (!PutHeader(tar, extended) || !Put(tar, records.data(), records.size()) ||
        !Put(tar, kZeros, Padding(records.size())))
      return false;
    // What a reader that knows no extended header shows: the name's first
    // bytes, the link's, in plain ASCII.
    const auto shown = [](char* field, size_t width, std::string_view text) {
      for (size_t i = 0; i < width && i < text.size(); ++i)
        field[i] = PlainAscii(text.substr(i, 1)) ? text[i] : '_';
    };
    if (!nameFits) {
      memset(header.prefix, 0, sizeof header.prefix);
      memset(header.name, 0, sizeof header.name);
      shown(header.name, sizeof header.name, name);
    }
    shown(header.linkname, sizeof header.linkname, link);
  }
  if (major || minor) {
    Octal(header.devmajor, sizeof header.devmajor, major);
    Octal(header.devminor, sizeof header.devminor, minor);
  }
  return PutHeader(tar, header);
}

}  // namespace

TarArchive TarOpen(TarSink sink) {
  TarArchive tar;
  tar.sink = std::move(sink);
  tar.buffer = std::make_unique<char[]>(kTarBuffer);
  return tar;
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

bool TarSymlink(TarArchive& tar, std::string_view path, std::string_view target) {
  return PutMember(tar, '2', path, target, 0777, 0);
}

bool TarHardLink(TarArchive& tar, std::string_view path, std::string_view linked) {
  return PutMember(tar, '1', path, linked, 0644, 0);
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
