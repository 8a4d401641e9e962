// libFuzzer target: runs the whole program, its driver included, on each
// input as an image file in a fresh directory, then checks that the run left
// nothing outside its target directory, no special file inside it, and no
// hard link but to a file it wrote there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz/fatal_error.h"
#include "image/image.h"
#include "platform/trace.h"
#include "tests/romfs_builder.h"
#include "unpack/links.h"

// app/skelvane.cc's main, renamed in this build.
int SkelvaneMain(int argc, char** argv);

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace fs = std::filesystem;

namespace {

std::string scratchRoot;

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "skelvane_fuzz: %s\n", what.c_str());
  abort();
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

void WriteImage(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) Fail("cannot write " + path);
}

// The input's last byte, which lies past a sound image, picks the options:
// its low bit --all, the others an offset of 0 to 127 bytes into the input;
// with both low bits set, --list in place of --all, which creates nothing.
bool AllOf(const uint8_t* data, size_t size) {
  return size > 0 && data[size - 1] % 2;
}
bool ListOf(const uint8_t* data, size_t size) {
  return size > 0 && data[size - 1] % 4 == 3;
}
// Half of the listings are followed by an archive, compared with them.
bool TarOf(const uint8_t* data, size_t size) {
  return size > 0 && data[size - 1] % 8 == 7;
}
size_t OffsetOf(const uint8_t* data, size_t size) {
  return size > 0 ? data[size - 1] / 2 : 0;
}

// For each file with more than one name in the tree: its links, and the
// names it has in the tree.
using Linked = std::map<std::pair<dev_t, ino_t>, std::pair<nlink_t, nlink_t>>;

// Scans the directory open at fd, which it closes, relative to its
// descriptor, so that no path grows too long for the system. A device, a
// fifo or a socket fails the run: the program only lists them.
void Scan(int fd, const std::string& path, Linked& linked) {
  DIR* dir = fdopendir(fd);
  if (!dir) Fail("cannot read " + path);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      Fail("cannot stat " + path + "/" + name);
    if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (sub < 0) Fail("cannot open " + path + "/" + name);
      Scan(sub, path + "/" + name, linked);
    } else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      Fail("a special file in the output: " + path + "/" + name);
    } else if (st.st_nlink > 1) {
      if (!S_ISREG(st.st_mode)) Fail("a hard link to a symbolic link: " + path + "/" + name);
      auto& [links, inTree] = linked[{st.st_dev, st.st_ino}];
      links = st.st_nlink;
      ++inTree;
    }
  }
  closedir(dir);
}

// The output holds no special file, and each file with several names has
// all of them in the output: one the run wrote there, for the tree was new,
// and not a file from elsewhere (the image, say) that a link reached.
void CheckOutput(const std::string& out) {
  const int fd = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return;  // the run ended before it made the target
  Linked linked;
  Scan(fd, out, linked);
  for (const auto& [file, counts] : linked)
    if (counts.first != counts.second)
      Fail("a hard link to a file the run did not write: inode " + std::to_string(file.second) +
           " has " + std::to_string(counts.first) + " links, " + std::to_string(counts.second) +
           " of them in " + out);
}

// Runs the program with args, its trace into tracePath: true when it ended
// well. Then closes what the process's end would have closed.
bool RunProgram(std::vector<std::string> args, const std::string& tracePath) {
  args.insert(args.begin(), "skelvane");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  fflush(stdout);
  const int saved = dup(1), trace = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (saved < 0 || trace < 0 || dup2(trace, 1) < 0) Fail("cannot send the trace to " + tracePath);
  close(trace);
  bool done = false;
  try {
    done = SkelvaneMain(argc, argv.data()) == 0;
  } catch (const FatalError&) {
  }
  fflush(stdout);
  if (dup2(saved, 1) < 0) Fail("cannot restore standard output");
  close(saved);
  CloseImageFile(hImage);
  hImage = nullptr;
  return done;
}

std::string ReadText(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) Fail("cannot read " + path);
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// A listed path with its \ooo escapes undone.
std::string Unescaped(const std::string& shown) {
  std::string path;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\\' && i + 3 < shown.size()) {
      path += static_cast<char>((shown[i + 1] - '0') << 6 | (shown[i + 2] - '0') << 3 |
                                (shown[i + 3] - '0'));
      i += 3;
    } else {
      path += shown[i];
    }
  }
  return path;
}

// What kind of message a line is: up to its first colon, the path after it
// being shown differently by the unpack and the listing.
std::string MessageKind(const std::string& line) {
  return line.substr(0, line.find(':'));
}

// The tree under root: its directories and its regular files, by path.
void TreeOf(const std::string& root, const std::string& prefix, std::set<std::string>& dirs,
            std::set<std::string>& files) {
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string path = prefix + entry.path().filename().string();
    if (entry.is_symlink()) continue;
    if (entry.is_directory()) {
      dirs.insert(path);
      TreeOf(entry.path(), path + "/", dirs, files);
    } else if (entry.is_regular_file()) {
      files.insert(path);
    }
  }
}

// The bytes a JSON line gives under key: from key_hex where the line has
// it, else from the string, its escapes undone (those the program writes).
std::string JsonText(const std::string& line, const std::string& key) {
  std::string bytes;
  size_t at = line.find("\"" + key + "_hex\":\"");
  if (at != std::string::npos) {
    for (at += key.size() + 8; at + 1 < line.size() && line[at] != '"'; at += 2)
      bytes += static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16));
    return bytes;
  }
  at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) Fail("no " + key + " in the JSON line: " + line);
  for (at += key.size() + 4; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\') {
      bytes += line[at];
      continue;
    }
    const char c = line[++at];
    const std::string kEscapes = "b\bt\tn\nf\fr\r";
    if (c == 'u') {  // a control: below U+00A0
      const int code = std::stoi(line.substr(at + 1, 4), nullptr, 16);
      if (code >= 0x80) bytes += static_cast<char>(0xC0 | code >> 6);
      bytes += static_cast<char>(code >= 0x80 ? (0x80 | (code & 0x3F)) : code);
      at += 4;
    } else if (const size_t e = kEscapes.find(c); e != std::string::npos && e % 2 == 0) {
      bytes += kEscapes[e + 1];
    } else {
      bytes += c;
    }
  }
  return bytes;
}

// --list --json lists the entries --list lists, in its order, and ends with
// the same message.
void CompareJsonListing(const std::string& listing, bool listed, const std::string& json,
                        bool jsonListed) {
  if (listed != jsonListed) Fail("--list and --list --json disagree on how the image ends");
  const std::vector<std::string> lines = Lines(json), listLines = Lines(listing);
  const size_t entries = lines.size() - (listed ? 0 : 1);
  if (!listed && (lines.empty() || !lines.back().starts_with("{\"error\":")))
    Fail("--list --json does not end with an error: " + json);
  if (listLines.size() < entries) Fail("--list --json has more entries than --list");
  for (size_t i = 0; i < entries; ++i) {
    const std::string shown = Escaped(JsonText(lines[i], "path"), false);
    // After the type, the exec flag, and the size or the device numbers.
    const std::string& line = listLines[i];
    const size_t head = line.find_first_not_of(' ', std::min<size_t>(2, line.size()));
    const std::string path = line.substr(std::min(line.find(' ', head), line.size() - 1) + 1);
    const bool whole = line[0] == 'd' || line[0] == '-';
    if (whole ? path != shown : !path.starts_with(shown))
      Fail("--list --json lists another path: " + lines[i] + " for " + line);
  }
  if (listed) {
    if (listLines.size() != entries) Fail("--list lists more entries than --list --json");
    return;
  }
  // The message: the text after the entries, without the line ends around it.
  std::string message;
  for (size_t i = entries; i < listLines.size(); ++i) message += listLines[i] + "\n";
  message.erase(0, message.find_first_not_of('\n'));
  message.erase(message.find_last_not_of('\n') + 1);
  if (JsonText(lines.back(), "error") != message)
    Fail("--list --json ends with another message: " + lines.back() + " for " + message);
}

// The listing lists what the unpack with --all makes, and ends where it
// ends, with the same kind of message, unless the unpack was stopped by
// the host itself (a name taken twice, too long for it, a full disk).
void CompareListing(const std::string& listing, bool listed, const std::string& trace,
                    bool unpacked, const std::string& out) {
  // The trace prints names raw, so a message is found by its start.
  const std::vector<std::string> listLines = Lines(listing), traceLines = Lines(trace);
  const auto says = [&](const std::string& start) {
    return trace.starts_with(start) || trace.find("\n" + start) != std::string::npos;
  };
  const bool byHost = says("Error creating file: ") ||
                      says("Unable to create new directory for unpacking archive") ||
                      says("Could not write to file");
  if (!unpacked && byHost) return;
  if (listed != unpacked) Fail("the listing and the unpack disagree on how the image ends");
  if (!listed) {
    if (listLines.empty() || !says(MessageKind(listLines.back())))
      Fail("the unpack does not end with the listing's message: " + listLines.back());
    return;
  }
  std::set<std::string> dirs, files, listedDirs, listedFiles;
  TreeOf(out, "", dirs, files);
  size_t hardLinksMade = 0;
  for (const std::string& line : traceLines)
    if (line.starts_with("-> create hard link ") && line.ends_with(" (done)")) ++hardLinksMade;
  for (const std::string& line : listLines) {
    if (line.size() < 14) Fail("a listing line too short: " + line);
    if (line[0] == 'd') listedDirs.insert(Unescaped(line.substr(14)));
    if (line[0] == '-') listedFiles.insert(Unescaped(line.substr(14)));
  }
  if (listedDirs != dirs) Fail("the listing's directories are not the unpack's");
  if (!std::includes(files.begin(), files.end(), listedFiles.begin(), listedFiles.end()) ||
      files.size() != listedFiles.size() + hardLinksMade)
    Fail("the listing's files are not the unpack's");
}

// --cat of the first file listed gives the bytes the unpack wrote there.
void CompareCat(const std::string& listing, std::vector<std::string> args,
                const std::string& tracePath, const std::string& out) {
  for (const std::string& line : Lines(listing)) {
    if (line.size() < 15 || line[0] != '-') continue;
    const std::string path = Unescaped(line.substr(14));
    *std::find(args.begin(), args.end(), std::string()) = path;
    if (!RunProgram(args, tracePath)) Fail("--cat failed on a listed file: " + path);
    if (ReadText(tracePath) != ReadText(out + "/" + path))
      Fail("--cat gave other bytes than the unpack for " + path);
    return;
  }
}

// A member of an archive, as a reader sees it.
struct TarMember {
  char type;
  std::string path, link;
};

std::string Field(const char* at, size_t width) {
  return std::string(at, strnlen(at, width));
}

// Reads the archive's members, extended headers applied; false when it is
// cut short (a member's data, or the end blocks, missing) or malformed.
bool ReadArchive(const std::string& bytes, std::vector<TarMember>& members) {
  std::string path, link;
  bool havePath = false, haveLink = false;
  for (size_t at = 0;;) {
    if (bytes.size() - at < 512) return false;
    const char* header = bytes.data() + at;
    if (std::all_of(header, header + 512, [](char c) { return c == 0; }))
      return bytes.size() - at >= 1024 &&
             std::all_of(header + 512, header + 1024, [](char c) { return c == 0; });
    const uint64_t size = strtoull(Field(header + 124, 12).c_str(), nullptr, 8);
    const char type = header[156];
    at += 512;
    const uint64_t padded = (size + 511) / 512 * 512;
    if (bytes.size() - at < padded) return false;
    if (type == 'x') {
      // "length key=value\n" records.
      for (size_t record = at; record < at + size;) {
        const size_t space = bytes.find(' ', record), equals = bytes.find('=', space);
        const size_t length = strtoull(bytes.substr(record, space - record).c_str(), nullptr, 10);
        if (space == std::string::npos || equals == std::string::npos || length == 0 ||
            record + length > at + size)
          return false;
        const std::string key = bytes.substr(space + 1, equals - space - 1),
                          value = bytes.substr(equals + 1, record + length - 1 - equals - 1);
        if (key == "path") path = value, havePath = true;
        if (key == "linkpath") link = value, haveLink = true;
        record += length;
      }
    } else {
      const std::string prefix = Field(header + 345, 155), name = Field(header, 100);
      TarMember member{type,
                       havePath         ? path
                       : prefix.empty() ? name
                                        : prefix + "/" + name,
                       haveLink ? link : Field(header + 157, 100)};
      if (type == '5' && member.path.ends_with('/')) member.path.pop_back();
      members.push_back(std::move(member));
      havePath = haveLink = false;
    }
    at += padded;
  }
}

// The path of a listing line is a name no system takes: the archive leaves it out.
bool NamesNothing(const std::string& rest) {
  const auto bad = [](const std::string& path) {
    const std::string last = path.substr(path.rfind('/') + 1);
    return last.empty() || last == "." || last == "..";
  };
  if (bad(rest)) return true;
  for (const char* then : {" -> ", " link to "})
    for (size_t at = rest.find(then); at != std::string::npos; at = rest.find(then, at + 1))
      if (bad(rest.substr(0, at))) return true;
  return false;
}

// The archive holds every entry the listing lists, in its order, but those
// no archive holds: sockets, hard links to no file, links whose targets hold
// a zero byte, names no system takes.
void CompareArchive(const std::string& listing, const std::vector<TarMember>& members) {
  size_t next = 0;
  for (const std::string& line : Lines(listing)) {
    if (line.size() < 14) Fail("a listing line too short: " + line);
    const std::string rest = line.substr(14);
    if (next < members.size()) {
      const TarMember& m = members[next];
      const std::string path = Escaped(m.path, false);
      bool same = false;
      switch (line[0]) {
        case 'd':
          same = m.type == '5' && rest == path;
          break;
        case '-':
          same = (m.type == '0' || m.type == '1') && rest == path;
          break;
        case 'h':
          same = (m.type == '0' || m.type == '1') && rest.starts_with(path + " link to ");
          break;
        case 'l':
          same = m.type == '2' && rest == path + " -> " + Escaped(m.link, false);
          break;
        case 'b':
          same = m.type == '4' && rest == path;
          break;
        case 'c':
          same = m.type == '3' && rest == path;
          break;
        case 'p':
          same = m.type == '6' && rest == path;
          break;
      }
      if (same) {
        ++next;
        continue;
      }
    }
    const bool leftOut = line[0] == 's' || NamesNothing(rest) ||
                         (line[0] == 'h' && rest.find(" link to 0x") != std::string::npos) ||
                         (line[0] == 'l' && rest.find("\\000") != std::string::npos);
    if (!leftOut) Fail("the archive does not hold the listing's " + line);
  }
  if (next != members.size())
    Fail("the archive holds what the listing does not: " + members[next].path);
}

// Runs "skelvane [--all] [--offset N] BASE/image.img BASE/a/b/out", or
// "skelvane --list [--offset N] BASE/image.img" and then the unpack with
// --all to compare, in a fresh BASE, the options as the last byte picks
// them. Entries that escaped the target would show up in BASE/a/b, BASE/a
// or BASE.
void Unpack(const uint8_t* data, size_t size) {
  std::string base = scratchRoot + "/skelvane-fuzz-XXXXXX";
  if (!mkdtemp(base.data())) Fail("mkdtemp in " + scratchRoot);
  const std::string image = base + "/image.img", a = base + "/a", b = a + "/b", out = b + "/out",
                    trace = base + "/trace";
  WriteImage(image, data, size);
  if (mkdir(a.c_str(), 0700) != 0 || mkdir(b.c_str(), 0700) != 0) Fail("mkdir in " + base);

  std::vector<std::string> options;
  if (OffsetOf(data, size) != 0) options = {"--offset", std::to_string(OffsetOf(data, size))};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), options.begin(), options.end());
    return args;
  };
  const std::set<std::string> justTheImage = {"a", "image.img", "trace"};
  if (ListOf(data, size)) {
    const bool listed = RunProgram(with({"--list", image}), trace);
    const std::string listing = ReadText(trace);
    const bool jsonListed = RunProgram(with({"--list", "--json", image}), trace);
    CompareJsonListing(listing, listed, ReadText(trace), jsonListed);
    if (Names(b).size() != 0) Fail("a listing created " + out);
    if (TarOf(data, size)) {
      const std::string archive = base + "/archive.tar";
      const bool archived = RunProgram(with({"--tar", archive, image}), trace);
      if (archived != listed) Fail("the archive and the listing disagree on how the image ends");
      std::vector<TarMember> members;
      const bool whole =
          access(archive.c_str(), F_OK) == 0 && ReadArchive(ReadText(archive), members);
      if (whole != archived)
        Fail(archived ? "the archive cannot be read" : "the archive is not cut short");
      if (archived) CompareArchive(listing, members);
      unlink(archive.c_str());
    }
    const bool unpacked = RunProgram(with({"--all", image, out}), trace);
    CompareListing(listing, listed, ReadText(trace), unpacked, out);
    if (listed && unpacked) CompareCat(listing, with({"--cat", "", image}), trace, out);
  } else {
    RunProgram(with(AllOf(data, size) ? std::vector<std::string>{"--all", image, out}
                                      : std::vector<std::string>{image, out}),
               trace);
  }

  const std::set<std::string> inB = Names(b);
  if (Names(base) != justTheImage || Names(a) != std::set<std::string>{"b"} ||
      !(inB.empty() || inB == std::set<std::string>{"out"}))
    Fail("the run created something outside " + out);
  CheckOutput(out);
  std::error_code error;
  fs::remove_all(base, error);
  if (error) Fail("cannot remove " + base + ": " + error.message());
}

// The run checks each checksum before it goes on, so nearly every random
// change would end at a checksum error. The entries the walk would reach get
// their checksums repaired, then the volume's.
void RepairChecksums(std::string& image) {
  if (image.size() < 16) return;
  const size_t volumeName = strnlen(image.data() + 16, std::min<size_t>(image.size() - 16, 512));
  std::vector<uint32_t> pending{16 + SetToBoundary16(static_cast<uint32_t>(volumeName) + 1)};
  std::unordered_set<uint32_t> seen;
  while (!pending.empty()) {
    const uint32_t at = pending.back();
    pending.pop_back();
    if (size_t{at} + 16 > image.size() || !seen.insert(at).second) continue;
    FixEntryChecksum(image, at);
    const uint32_t word = ReadWordAt(image, at);
    if (word & ~15u) pending.push_back(word & ~15u);
    // A directory's chain, where it starts without --all and with it.
    if ((word & 7) == 1 && image.compare(at + 16, 2, std::string(".\0", 2)) != 0) {
      pending.push_back(DataOffset(image, at));
      if (const uint32_t info = ReadWordAt(image, at + 4) & ~15u) pending.push_back(info);
    }
  }
  FixVolumeChecksum(image);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The trace is not checked here, and printing it would slow every run.
  if (!freopen("/dev/null", "w", stdout)) Fail("cannot send standard output to /dev/null");
  // Every input writes a tree: on tmpfs where there is one.
  scratchRoot = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Unpack(data, size);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  // One mutation in eight keeps its broken checksums, for the checksum errors.
  if (seed % 8 == 0) return size;
  // The image starts at the offset the input picks.
  const size_t offset = OffsetOf(data, size);
  if (offset >= size) return size;
  std::string image(reinterpret_cast<const char*>(data) + offset, size - offset);
  RepairChecksums(image);
  memcpy(data + offset, image.data(), image.size());
  return size;
}
