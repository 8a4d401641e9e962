// The pax archive, read back by GNU tar, bsdtar and Python's tarfile.
#include "unpack/tar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tests/test_util.h"

namespace {

// A reader on the search path, or "" when there is none.
std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

RunResult RunReader(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd) {
  return RunSkelvane(args, cwd, {.timeLimit = 30, .program = program});
}

// A file's bytes, the same as the Python check computes them.
std::string Data(uint32_t size) {
  std::string data(size, '\0');
  for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + size) % 251);
  return data;
}

struct Member {
  char type;  // as the typeflag: '5', '0', '2', '1', '3', '4', '6'
  std::string name;
  uint32_t size = 0;
  bool exec = false;
  std::string link = {};
  uint16_t major = 0, minor = 0;
};

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (const unsigned char c : bytes) {
    static const char digits[] = "0123456789abcdef";
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

// Every kind of member, names and targets of every kind.
std::vector<Member> Members() {
  const std::string p(80, 'p');
  std::vector<Member> members = {
      {'5', "d"},
      {'0', "d/big", (3u << 19) + 3, true},  // across the writer's buffer, not in whole blocks
      {'0', "d/empty", 0},
      {'0', "d/block", 512},
      {'5', p},
      {'0', p + "/" + std::string(90, 'q'), 10},   // splits between prefix and name
      {'0', p + "/" + std::string(200, 't'), 11},  // does not
      {'0', std::string(150, 'r'), 12},            // has no slash to split at
      {'0', "caf\xc3\xa9", 13},                    // UTF-8
      {'5', "\xe9t\xe9"},                          // Latin-1: no UTF-8
      {'0', "\xe9t\xe9/x", 14},
      {'0', "bad-\xff\xfe", 15},
      {'2', "s-short", 0, false, "d/big"},
      {'2', "s-long", 0, false, std::string(300, 'L')},
      {'2', "s-bad", 0, false, "\xff/target"},
      {'2', "\xfe-link", 0, false, "caf\xc3\xa9"},
      {'2', "s-100", 0, false, std::string(100, 'M')},  // fills the field, no terminator
      {'1', "h-big", 0, false, "d/big"},
      {'1', std::string(120, 'h'), 0, false, std::string(150, 'r')},
      {'1', "h-bad", 0, false, "bad-\xff\xfe"},
      {'5', "dev"},
      {'4', "dev/sda1", 0, false, "", 8, 1},
      {'3', "dev/tty", 0, false, "", 4, 64},
      {'6', "fifo"},
      // Read in pieces of 4 KiB: a UTF-8 sequence across two, a byte that
      // is no UTF-8 past the first.
      {'2', "dev/l-utf8", 0, false, std::string(4095, 'a') + "\xc3\xa9z"},
      {'2', "dev/l-bad", 0, false, std::string(5000, 'b') + "\xff"},
  };
  // Extended records whose length goes from two digits to three.
  for (size_t length = 88; length <= 93; ++length)
    members.push_back({'0', "\xc3\xa9" + std::string(length - 2, 'n'), 1});
  return members;
}

// Writes the members, then ends the archive with TarFinish.
std::string Archive(const std::vector<Member>& members, size_t& largestPiece) {
  std::string out;
  TarArchive tar = TarOpen([&](const char* data, size_t size) {
    EXPECT_EQ(size % 512, 0u);
    out.append(data, size);
    return true;
  });
  largestPiece = 0;
  for (const Member& m : members) {
    bool ok = false;
    switch (m.type) {
      case '5':
        ok = TarDirectory(tar, m.name);
        break;
      case '0': {
        const std::string data = Data(m.size);
        size_t at = 0;
        ok = TarFile(tar, m.name, m.size, m.exec, [&](char* buffer, size_t size) {
          memcpy(buffer, data.data() + at, size);
          at += size;
          largestPiece = std::max(largestPiece, size);
          return true;
        });
        EXPECT_EQ(at, data.size());
        break;
      }
      case '2':
        ok = TarSymlink(tar, m.name, m.link);
        break;
      case '1':
        ok = TarHardLink(tar, m.name, m.link);
        break;
      case '3':
      case '4':
        ok = TarDevice(tar, m.name, m.type == '4', m.major, m.minor);
        break;
      case '6':
        ok = TarFifo(tar, m.name);
        break;
    }
    EXPECT_TRUE(ok) << m.name;
  }
  EXPECT_TRUE(TarFinish(tar));
  return out;
}

// Lists an archive with tarfile: a line per member, names in hex, and
// whether a file holds the bytes Data makes. Fails on an archive cut short.
const char kTarfileCheck[] = R"(
import sys, tarfile
def hexed(text): return text.encode('utf-8', 'surrogateescape').hex()
with tarfile.open(sys.argv[1], sys.argv[2], encoding='utf-8', errors='surrogateescape') as t:
    for m in t:
        ok = ''
        if m.isfile():
            data = t.extractfile(m).read()
            ok = ' ' + str(data == bytes((i * 7 + m.size) % 251 for i in range(m.size)))
        print(m.type.decode(), hexed(m.name), m.size, oct(m.mode), hexed(m.linkname), m.devmajor,
              m.devminor, m.uid, m.gid, m.uname, m.gname, m.mtime, ok, sep='|')
)";

std::string TarfileLine(const Member& m) {
  const char* mode = m.type == '5' || m.exec ? "0o755" : m.type == '2' ? "0o777" : "0o644";
  return std::string(1, m.type) + "|" + Hex(m.name) + "|" + std::to_string(m.size) + "|" + mode +
         "|" + Hex(m.link) + "|" + std::to_string(m.major) + "|" + std::to_string(m.minor) +
         "|0|0|root|root|0|" + (m.type == '0' ? " True" : "") + "\n";
}

// The tree the members make, devices left out.
Tree Extracted(const std::vector<Member>& members) {
  Tree tree;
  std::map<std::string, std::string> files;
  for (const Member& m : members) {
    if (m.name.starts_with("dev")) continue;
    if (m.type == '5') tree[m.name] = "dir";
    if (m.type == '0') tree[m.name] = files[m.name] = "file:" + Data(m.size);
    if (m.type == '2') tree[m.name] = "link:" + m.link;
    if (m.type == '1') tree[m.name] = files[m.link];
    if (m.type == '6') tree[m.name] = "other";
  }
  return tree;
}

TEST(Tar, EveryMemberReadByThreeReaders) {
  const std::vector<Member> members = Members();
  size_t largestPiece;
  const std::string archive = Archive(members, largestPiece);
  EXPECT_GE(largestPiece, size_t{1} << 16);
  ScratchDir dir;
  WriteFileBytes(dir / "a.tar", archive);
  // The same input, the same bytes.
  EXPECT_EQ(Archive(members, largestPiece), archive);

  const std::string python = FindProgram("python3");
  const std::string gnuTar = FindProgram("tar");
  const std::string bsdtar = FindProgram("bsdtar");
  if (!python.empty()) {
    std::string expected;
    for (const Member& m : members) expected += TarfileLine(m);
    for (const char* mode : {"r:", "r|"}) {
      const RunResult r = RunReader(python, {"-c", kTarfileCheck, "a.tar", mode}, dir.path());
      EXPECT_EQ(r.out, expected) << mode;
      EXPECT_EQ(r.status, 0) << r.err;
    }
  }
  const Tree tree = Extracted(members);
  for (const std::string& reader : {gnuTar, bsdtar}) {
    if (reader.empty()) continue;
    SCOPED_TRACE(reader);
    RunResult r = RunReader(reader, {"-tvf", "a.tar"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(members.size()));
    EXPECT_NE(r.out.find(std::string(4095, 'a') + "\xc3\xa9z\n"), std::string::npos);
    EXPECT_NE(r.out.find(" 8,1 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 4,64 "), std::string::npos) << r.out;
    // GNU tar knows no hdrcharset: it says so, and takes the bytes as they are.
    if (reader == gnuTar)
      for (size_t at; (at = r.err.find("tar: Ignoring unknown extended header keyword "
                                       "'hdrcharset'\n")) != std::string::npos;) {
        const size_t start = r.err.rfind('\n', at) + 1;  // npos + 1: the first line's
        r.err.erase(start, r.err.find('\n', at) + 1 - start);
      }
    EXPECT_EQ(r.err, "");
    mkdir((dir / "x").c_str(), 0755);
    r = RunReader(reader, {"-xf", "a.tar", "-C", "x", "--exclude", "dev"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ScanTree(dir / "x"), tree);
    struct stat file, link;
    ASSERT_EQ(stat((dir / "x/d/big").c_str(), &file), 0);
    ASSERT_EQ(stat((dir / "x/h-big").c_str(), &link), 0);
    EXPECT_EQ(file.st_ino, link.st_ino);
    EXPECT_EQ(file.st_mode & 0777, 0755u);
    RunReader("/bin/rm", {"-rf", "x"}, dir.path());
  }
  if (python.empty() || gnuTar.empty() || bsdtar.empty())
    GTEST_SKIP() << "a reader is missing: python3 '" << python << "', tar '" << gnuTar
                 << "', bsdtar '" << bsdtar << "' (bsdtar: package libarchive-tools)";
}

// An archive whose input failed part way: every reader says it is cut
// short, whether it stops inside a file's data or between members.
TEST(Tar, AbortedArchiveIsCutShortForEveryReader) {
  ScratchDir dir;
  for (const bool insideFile : {true, false}) {
    SCOPED_TRACE(insideFile ? "inside a file" : "between members");
    std::string out;
    TarArchive tar = TarOpen([&](const char* data, size_t size) {
      out.append(data, size);
      return true;
    });
    ASSERT_TRUE(TarDirectory(tar, "d"));
    const std::string data = Data(5000);
    ASSERT_TRUE(TarFile(tar, "d/f", 5000, false, [&](char* buffer, size_t size) {
      memcpy(buffer, data.data(), size);
      return true;
    }));
    if (insideFile) {
      // Fails after some data has come.
      EXPECT_FALSE(TarFile(tar, "d/g", 3u << 20, false, [](char* buffer, size_t size) {
        memset(buffer, 'g', size);
        return size == (1u << 20) - 512 * 4 - 5120;  // the rest of the buffer comes first
      }));
    }
    EXPECT_TRUE(TarAbort(tar));
    EXPECT_EQ(out.size() % 512, 0u);
    WriteFileBytes(dir / "cut.tar", out);
    for (const std::string& reader : {FindProgram("tar"), FindProgram("bsdtar")}) {
      if (reader.empty()) continue;
      for (const char* how : {"-tf", "-xf"}) {
        const RunResult r = RunReader(reader, {how, "cut.tar", "-C", dir.path()}, dir.path());
        EXPECT_NE(r.status, 0) << reader << " " << how << " " << r.out;
        EXPECT_NE(r.err, "") << reader;
      }
    }
    const std::string python = FindProgram("python3");
    if (python.empty()) continue;
    for (const char* mode : {"r:", "r|"}) {
      const RunResult r = RunReader(python, {"-c", kTarfileCheck, "cut.tar", mode}, dir.path());
      EXPECT_NE(r.status, 0) << mode << " " << r.out;
      EXPECT_NE(r.err.find("tarfile.ReadError"), std::string::npos) << r.err;
    }
  }
}

// A write that fails ends the archive: nothing more is written.
TEST(Tar, WriteErrorStopsTheArchive) {
  int calls = 0;
  TarArchive tar = TarOpen([&](const char*, size_t) { return ++calls > 1; });
  EXPECT_TRUE(TarDirectory(tar, "d"));
  const auto fill = [](char* buffer, size_t size) {
    memset(buffer, 'x', size);
    return true;
  };
  EXPECT_FALSE(TarFile(tar, "d/f", 3u << 20, false, fill));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(TarDirectory(tar, "e"));
  EXPECT_FALSE(TarFinish(tar));
  EXPECT_FALSE(TarAbort(tar));
  EXPECT_EQ(calls, 1);
}

// A device, a fifo or a socket.
Entry Special(uint8_t type, const std::string& name, uint32_t specInfo = 0) {
  Entry entry = File(name, "");
  entry.type = type;
  entry.specInfo = specInfo;
  return entry;
}

// The image of --tar: every kind of entry, a hard link before its file and
// one after, and what no archive holds.
std::vector<Entry> ArchivedImage(std::string& image) {
  std::vector<Entry> root = {
      DirWithDots("d",
                  {File("x", Data(10), true), Link("up", "../big"), HardLink("hx"), Dir("e", {})}),
      HardLink("early"),
      File("big", Data(1500000)),
      HardLink("todir"),
      Link("long", std::string(300, 'L') + "\xc3\xa9"),
      Special(4, "sda1", 8 << 16 | 1),
      Special(5, "tty", 4 << 16 | 64),
      Special(7, "pipe"),
      Special(6, "sock"),
      Link("..", "x"),
      Link("zero", std::string("a\0b", 3)),
  };
  image = BuildImage("vol", root);
  SetSpecInfo(image, root[0].children[4].offset, root[0].children[2].offset);
  SetSpecInfo(image, root[1].offset, root[2].offset);
  SetSpecInfo(image, root[3].offset, root[0].offset);
  return root;
}

std::string TarfileLines(const std::vector<Member>& members) {
  std::string lines;
  for (const Member& m : members) lines += TarfileLine(m);
  return lines;
}

const std::string kLeftOut =
    "skelvane: 1 socket left out: tar has no type for them\n"
    "skelvane: 1 hard link left out: they name no file\n"
    "skelvane: 1 entry left out: no system takes their names\n"
    "skelvane: 1 symbolic link left out: their targets hold a zero byte\n";

// --tar: the same archive in a file and on standard output, read whole by
// every reader, and, as root, extracted into the tree --all makes, with
// the devices and the fifo besides; the selection's members; a new file only.
TEST(Tar, ImageArchivedForEveryReader) {
  ScratchDir dir;
  std::string image;
  ArchivedImage(image);
  WriteFileBytes(dir / "image.img", image);
  RunResult r = RunSkelvane({"--tar", "a.tar", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kLeftOut);
  const std::string archive = ReadFileBytes(dir / "a.tar");
  // Where nothing else goes to standard output, standard error may be it.
  r = RunSkelvane({"--tar", "b.tar", "image.img"}, dir.path(), {.errToOut = true});
  EXPECT_EQ(r.out, kLeftOut);
  r = RunSkelvane({"--tar", "-", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, archive);
  EXPECT_EQ(r.err, kLeftOut);

  const std::string python = FindProgram("python3"), gnuTar = FindProgram("tar"),
                    bsdtar = FindProgram("bsdtar");
  if (python.empty() || gnuTar.empty() || bsdtar.empty())
    GTEST_SKIP() << "a reader is missing: python3, tar or bsdtar";
  const std::vector<Member> members = {
      {'5', "d"},
      {'0', "d/x", 10, true},
      {'2', "d/up", 0, false, "../big"},
      {'1', "d/hx", 0, false, "d/x"},
      {'5', "d/e"},
      {'0', "early", 1500000},
      {'1', "big", 0, false, "early"},
      {'2', "long", 0, false, std::string(300, 'L') + "\xc3\xa9"},
      {'4', "sda1", 0, false, "", 8, 1},
      {'3', "tty", 0, false, "", 4, 64},
      {'6', "pipe"},
  };
  r = RunReader(python, {"-c", kTarfileCheck, "a.tar", "r:"}, dir.path());
  EXPECT_EQ(r.out, TarfileLines(members));
  EXPECT_EQ(r.status, 0) << r.err;

  // A selection: the directories on the way, and a hard link whose file is
  // not selected holds its bytes.
  for (const auto& [include, wanted] : std::vector<std::pair<std::string, std::vector<Member>>>{
           {"d/hx", {{'5', "d"}, {'0', "d/hx", 10, true}}},
           {"big", {{'0', "big", 1500000}}},
           {"d/e", {{'5', "d"}, {'5', "d/e"}}}}) {
    r = RunSkelvane({"--tar", "s.tar", "--include", include, "--exclude", "sock", "image.img"},
                    dir.path());
    EXPECT_EQ(r.status, 0) << include;
    EXPECT_EQ(RunReader(python, {"-c", kTarfileCheck, "s.tar", "r:"}, dir.path()).out,
              TarfileLines(wanted))
        << include;
    unlink((dir / "s.tar").c_str());
  }
  r = RunSkelvane({"--include", "nothing", "--tar", "-", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "skelvane: nothing: not in the image\n");
  EXPECT_EQ(RunSkelvane({"-c", kTarfileCheck, "/dev/stdin", "r|"}, dir.path(),
                        {.timeLimit = 30, .program = python, .input = r.out})
                .out,
            "");

  // An archive is never written over.
  r = RunSkelvane({"--tar", "a.tar", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "skelvane: a.tar exists: remove it, or name another archive\n");
  EXPECT_EQ(ReadFileBytes(dir / "a.tar"), archive);

  if (geteuid() == 0) {
    // What --all makes, to compare with.
    mkdir((dir / "all").c_str(), 0755);
    EXPECT_EQ(RunSkelvane({"--all", "image.img", "all/x"}, dir.path()).status, 0);
  }
  for (const std::string& reader : {gnuTar, bsdtar}) {
    r = RunReader(reader, {"-tvf", "a.tar"}, dir.path());
    EXPECT_EQ(r.status, 0) << reader << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(members.size()));
    if (geteuid() != 0) continue;  // devices are made by root alone
    const std::string into = dir / (reader == gnuTar ? "gnu" : "bsd");
    mkdir(into.c_str(), 0755);
    mkdir((into + "/x").c_str(), 0755);
    r = RunReader(reader, {"-xpf", "a.tar", "-C", into + "/x"}, dir.path());
    EXPECT_EQ(r.status, 0) << reader << r.err;
    Tree tree = ScanTree(dir / "all/x");
    tree["sda1"] = tree["tty"] = tree["pipe"] = "other";
    EXPECT_EQ(ScanTree(into + "/x"), tree) << reader;
    struct stat file, link, device;
    ASSERT_EQ(stat((into + "/x/big").c_str(), &file), 0);
    ASSERT_EQ(stat((into + "/x/early").c_str(), &link), 0);
    EXPECT_EQ(file.st_ino, link.st_ino);
    ASSERT_EQ(stat((into + "/x/sda1").c_str(), &device), 0);
    EXPECT_TRUE(S_ISBLK(device.st_mode));
    EXPECT_EQ(device.st_rdev, makedev(8, 1));
  }
}

// Damage ends the run with its message on standard error, and every
// reader finds the archive cut short; so does an interruption. A reader
// that leaves ends the run quietly. Nothing of a message enters the archive.
TEST(Tar, ArchiveCutShortAtDamageOrInterruption) {
  ScratchDir dir;
  Entry bad = File("bad", "x");
  bad.badChecksum = true;
  std::vector<Entry> root = {File("a", Data(100)), Dir("d", {File("f", Data(700000)), bad})};
  WriteFileBytes(dir / "bad.img", BuildImage("vol", root));
  root = {File("big", Data(3 << 20))};
  WriteFileBytes(dir / "big.img", BuildImage("vol", root));
  WriteFileBytes(dir / "junk.img", std::string(1000, 'j'));
  const std::string python = FindProgram("python3");
  const auto cutShort = [&](const std::string& archive) {
    WriteFileBytes(dir / "cut.tar", archive);
    for (const std::string& reader : {FindProgram("tar"), FindProgram("bsdtar")})
      EXPECT_NE(RunReader(reader, {"-tf", "cut.tar"}, dir.path()).status, 0) << reader;
    const RunResult r = RunReader(python, {"-c", kTarfileCheck, "cut.tar", "r:"}, dir.path());
    EXPECT_NE(r.err.find("tarfile.ReadError"), std::string::npos) << r.err;
  };

  RunResult r = RunSkelvane({"--tar", "-", "bad.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "skelvane: Checksum Error: d/bad\n");
  cutShort(r.out);
  r = RunSkelvane({"--tar", "bad.tar", "bad.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  cutShort(ReadFileBytes(dir / "bad.tar"));

  r = RunSkelvane({"--tar", "-", "big.img"}, dir.path(), {.stallSignal = SIGINT});
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_EQ(r.err, "skelvane: Interrupted\n");
  cutShort(r.out);

  r = RunSkelvane({"--tar", "-", "big.img"}, dir.path(), {.out = RunOptions::Out::kReaderGone});
  EXPECT_EQ(r.status, 128 + SIGPIPE);
  EXPECT_EQ(r.err, "");

  // A target longer than the memory the run may take goes out in pieces
  // (the sanitizer's shadow memory needs more address space than that).
#ifndef __SANITIZE_ADDRESS__
  root = {Link("l", std::string(80 << 20, 't'))};
  WriteFileBytes(dir / "long.img", BuildImage("vol", root));
  r = RunSkelvane({"--tar", "long.tar", "long.img"}, dir.path(), {.memoryLimit = 64 << 20});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string archive = ReadFileBytes(dir / "long.tar");
  EXPECT_NE(archive.find(" linkpath=" + std::string(1000, 't')), std::string::npos);
  EXPECT_NE(archive.find(std::string(1000, 't') + "\n"), std::string::npos);
  EXPECT_GT(archive.size(), size_t{80} << 20);
#endif

  r = RunSkelvane({"--tar", "-", "junk.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("skelvane: ")) << r.err;
}

}  // namespace
