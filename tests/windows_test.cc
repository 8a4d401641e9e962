// The Windows program under Wine: the trace byte for byte as on Linux but for
// the system's texts, links as shortcuts, and the names Windows must refuse.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "tests/test_util.h"

namespace {

// What the helper program prints for each argument (see system_text.cc).
std::vector<std::string> AskWindows(const std::vector<std::string>& args) {
  ScratchDir dir;
  const RunResult r = RunSkelvane(args, dir.path(), {.program = SYSTEM_TEXT_PATH});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> answers;
  for (size_t at = 0, end; (end = r.out.find('\0', at)) != std::string::npos; at = end + 1)
    answers.push_back(r.out.substr(at, end - at));
  EXPECT_EQ(answers.size(), args.size());
  answers.resize(args.size());
  return answers;
}

// The system's texts for these error numbers, as FormatMessageA gives them.
std::vector<std::string> SystemTexts(const std::vector<unsigned>& errors) {
  std::vector<std::string> args;
  for (const unsigned e : errors) args.push_back(std::to_string(e));
  return AskWindows(args);
}

// The helper's argument that asks for the name check's verdict on name in
// codePage: the bytes in hex, as Wine would convert them otherwise.
std::string InCodePage(unsigned codePage, const std::string& name) {
  std::string arg = std::to_string(codePage) + ":";
  for (const unsigned char c : name) {
    arg += "0123456789ABCDEF"[c >> 4];
    arg += "0123456789ABCDEF"[c & 15];
  }
  return arg;
}

uint32_t LittleEndian(const std::string& bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

void PutUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  const uint8_t lead[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(lead[more] | c >> (6 * more));
  for (int i = more - 1; i >= 0; --i) out += static_cast<char>(0x80 | (c >> (6 * i) & 0x3F));
}

const std::string kShellLinkStart =
    std::string("\x4C\0\0\0\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46", 20);

// count UTF-16LE units of bytes from at, in UTF-8, but for U+F080 to U+F0FF:
// Cygwin's stand-ins for the bytes 0x80 to 0xFF of text that is not UTF-8.
std::string FromUtf16(const std::string& bytes, size_t at, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = LittleEndian(bytes, at + 2 * i, 2);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count)
      c = 0x10000 + ((c - 0xD800) << 10) + (LittleEndian(bytes, at + 2 * ++i, 2) - 0xDC00);
    if (c >= 0xF080 && c <= 0xF0FF)
      text += static_cast<char>(c & 0xFF);
    else
      PutUtf8(text, c);
  }
  return text;
}

// The relative path of a Unicode shortcut, the form Explorer follows and
// Cygwin does not (the header, with HasRelativePath and IsUnicode only, then
// the relative path as a counted UTF-16LE string, then the terminal block),
// in UTF-8; or what is wrong.
std::string UnicodeShortcutPath(const std::string& link) {
  if (link.size() < 0x4C + 2 + 4) return "too short";
  if (LittleEndian(link, 20, 4) != 0x88) return "flags";
  if (LittleEndian(link, 60, 4) != 1) return "show command";
  for (size_t at = 24; at < 0x4C; ++at)
    if (link[at] != 0 && (at < 60 || at > 63)) return "header";
  const size_t count = LittleEndian(link, 0x4C, 2);
  if (link.size() != 0x4C + 2 + 2 * count + 4 || LittleEndian(link, link.size() - 4, 4) != 0)
    return "string data";
  return FromUtf16(link, 0x4E, count);
}

// A shortcut as Cygwin and MSYS2 read one (the name ending in ".lnk" and the
// read-only attribute are the caller's to check): the target of the symbolic
// link they see, the 8-bit description and relative path, and where the
// shell link that Windows reads ends; or why they see a plain file.
struct CygwinLink {
  std::string wrong, target, description, relativePath;
  size_t shellLinkEnd = 0;
};

CygwinLink ReadCygwinLink(const std::string& link) {
  CygwinLink read;
  const auto wrong = [&read](const char* why) {
    read.wrong = why;
    return read;
  };
  if (link.size() <= 0x4C || link.size() > 256 * 1024) return wrong("size");
  if (!link.starts_with(kShellLinkStart)) return wrong("header");
  // HasName and HasRelativePath, and an ID list or not; IsUnicode is not read.
  const uint32_t flags = LittleEndian(link, 20, 4);
  if ((flags & ~1u) != 0x0C) return wrong("flags");
  if (LittleEndian(link, 60, 4) != 1) return wrong("show command");
  size_t at = 0x4C;
  if (flags & 1) at += 2 + LittleEndian(link, at, 2);
  for (std::string* text : {&read.description, &read.relativePath}) {
    if (at + 2 > link.size() || at + 2 + LittleEndian(link, at, 2) > link.size())
      return wrong("string data");
    *text = link.substr(at + 2, LittleEndian(link, at, 2));
    at += 2 + text->size();
  }
  if (read.description.empty()) return wrong("no description");
  read.shellLinkEnd = at;
  read.target = read.description;
  if (at < link.size()) {
    // Cygwin's block: a byte count (with the zero, without the mark), the
    // byte-order mark, the target in UTF-16LE ending in a zero. It ends the
    // file: a terminal block there would be the start of another target.
    const size_t bytes = at + 4 <= link.size() ? LittleEndian(link, at, 2) : 0;
    if (bytes < 2 || bytes % 2 != 0 || LittleEndian(link, at + 2, 2) != 0xFEFF ||
        at + 4 + bytes != link.size() || LittleEndian(link, link.size() - 2, 2) != 0)
      return wrong("Cygwin's block");
    read.target = FromUtf16(link, at + 4, bytes / 2 - 1);
  }
  if (read.target.size() > 4095) return wrong("target too long");
  return read;
}

// Text in a Windows code page, in UTF-8.
std::string FromCodePage(const std::string& text, unsigned codePage) {
  if (codePage == 65001) return text;
  const iconv_t cd = iconv_open("UTF-8", ("WINDOWS-" + std::to_string(codePage)).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return "no iconv for " + std::to_string(codePage);
  std::string in = text, out(4 * text.size(), '\0');
  char *from = in.data(), *to = out.data();
  size_t left = in.size(), room = out.size();
  const bool done = iconv(cd, &from, &left, &to, &room) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!done) return "not in code page " + std::to_string(codePage);
  out.resize(out.size() - room);
  return out;
}

// The relative path lnkinfo reads in a shell link, its 8-bit strings in
// that code page.
std::string LnkinfoRelativePath(const std::string& link, unsigned codePage) {
  ScratchDir dir;
  WriteFileBytes(dir / "x.lnk", link);
  const std::string command = std::string(LNKINFO_PATH) + " -c windows-" +
                              std::to_string(codePage) + " '" + (dir / "x.lnk") + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string report;
  char buf[4096];
  for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;) report.append(buf, n);
  if (pipe) pclose(pipe);
  const size_t label = report.find("Relative path");
  const size_t at = report.find(": ", label), end = report.find('\n', at);
  if (label == std::string::npos || at == std::string::npos) return "lnkinfo: " + report;
  return report.substr(at + 2, end - at - 2);
}

// The tree under root with each shortcut read back, its 8-bit strings in the
// system's ANSI code page of the run: "symlink:" and the target where Cygwin
// reads a symbolic link, then "path:" and the relative path that Explorer
// follows, and the description where it is not the target; "shortcut:" and
// the relative path of a Unicode shortcut; " writable" for one without the
// read-only attribute (which Wine keeps as the write permissions), and what
// lnkinfo reads where it differs. lnkinfo takes Cygwin's block for a broken
// extra data block, so it reads the shell link before it, as Windows does.
Tree WithShortcuts(const std::string& root, unsigned codePage = 1252) {
  Tree tree = ScanTree(root);
  for (auto& [path, what] : tree) {
    if (!path.ends_with(".lnk") || !what.starts_with("file:" + kShellLinkStart)) continue;
    const std::string link = what.substr(5);
    const CygwinLink read = ReadCygwinLink(link);
    std::string relativePath = UnicodeShortcutPath(link), shellLink = link;
    what = "shortcut:" + relativePath;
    if (read.wrong.empty()) {
      relativePath = FromCodePage(read.relativePath, codePage);
      shellLink = link.substr(0, read.shellLinkEnd) + std::string(4, '\0');
      what = "symlink:" + read.target + " path:" + relativePath;
      if (read.description != read.target) what += " description:" + read.description;
    }
    if (PermissionsOf(root + "/" + path) & 0222) what += " writable";
    // lnkinfo knows no UTF-8 code page.
    if (*LNKINFO_PATH && codePage != 65001) {
      const std::string seen = LnkinfoRelativePath(shellLink, codePage);
      if (seen != relativePath) what += " lnkinfo:" + seen;
    }
  }
  return tree;
}

TEST(Windows, CtrlCEndsTheRunWithItsTraceAndWithoutTheFileItWasMaking) {
  // Wine turns SIGINT into the console's Ctrl+C, which comes while the run
  // is held up by its trace, or, from a thread of Wine's own, a moment later.
  // On a loaded machine Wine's server may end a process that is slow to go
  // with a status of its own (SIGKILL after a second), so the run is tried
  // up to three times for the status; everything else holds every time.
  std::string listing = kHead;
  std::vector<Entry> root = ManyFiles(listing, "");
  const std::string image = BuildImage("vol", root);
  int status = 0;
  for (int attempt = 0; attempt < 3 && status != (0xC000013A & 0xFF); ++attempt) {
    Unpack u;
    WriteFileBytes(u.dir / "image.img", image);
    const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path(), {.stallSignal = SIGINT});
    status = r.status;
    const std::string last = "Interrupted\n";
    ASSERT_TRUE(r.out.ends_with(" (1) \n" + last)) << r.out.substr(r.out.size() - 200);
    const std::string listed = r.out.substr(0, r.out.size() - last.size());
    EXPECT_TRUE(listing.starts_with(listed));
    std::string name;
    Tree kept = ManyFilesListed(listed, name);
    EXPECT_GT(kept.size(), 400u);
    Tree left = u.Left();
    // The last file listed is never left cut short: removed, or whole when
    // the Ctrl+C came after it was made.
    if (left.count("out/" + name) && left["out/" + name] == "file:x") left.erase("out/" + name);
    EXPECT_EQ(left, kept);
  }
  EXPECT_EQ(status, 0xC000013A & 0xFF);  // STATUS_CONTROL_C_EXIT, as Wine ends with it
}

TEST(Windows, UnpacksTheReadmeExample) {
  ScratchDir dir;
  const RunResult r = RunExample(dir);
  EXPECT_EQ(r.out, kExampleTrace);
  EXPECT_EQ(r.status, 0);
  Tree expected = kExampleTree;
  expected.erase("ROMFS/bin/sh");
  expected["ROMFS/bin/sh.lnk"] = "symlink:busybox path:busybox";
  Tree left = WithShortcuts(dir.path());
  left.erase("fw.img");
  EXPECT_EQ(left, expected);
}

TEST(Windows, ScanAndOffsetAutoUnpackAFirmwareFile) {
  ScratchDir dir;
  std::string listing;
  WriteFileBytes(dir / "images.bin", ScanFile(listing));
  RunResult r = RunSkelvane({"--scan", "images.bin"}, dir.path());
  EXPECT_EQ(r.out, listing);
  EXPECT_EQ(r.status, 0);
  WriteFileBytes(dir / "fw.bin", FirmwareFile());
  r = RunSkelvane({"--scan", "fw.bin"}, dir.path());
  EXPECT_EQ(r.out, std::to_string(kFirmwareImageAt) + " " + std::to_string(ExampleImage().size()) +
                       " rootfs\n");
  EXPECT_EQ(r.status, 0);
  r = RunSkelvane({"--all", "--offset", "auto", "fw.bin", "rootfs"}, dir.path());
  EXPECT_EQ(r.out, "Image found at offset " + std::to_string(kFirmwareImageAt) + "\n" +
                       ExampleTrace("fw.bin", "rootfs", true));
  EXPECT_EQ(r.status, 0);
  Tree expected;
  for (const auto& [path, what] : kExampleTree) expected["rootfs" + path.substr(5)] = what;
  expected.erase("rootfs/bin/sh");
  expected["rootfs/bin/sh.lnk"] = "symlink:busybox path:busybox";
  Tree left = WithShortcuts(dir.path());
  left.erase("images.bin");
  left.erase("fw.bin");
  EXPECT_EQ(left, expected);
  // No image: the message, and nothing made.
  WriteFileBytes(dir / "none.bin", std::string(5000, '\0'));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--scan", "none.bin"}, {"--offset", "auto", "none.bin", "out"}}) {
    r = RunSkelvane(args, dir.path());
    EXPECT_EQ(r.out, "No romfs image in none.bin\n");
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(Windows, StandardInputAndPipesAreReadAsTheFile) {
  // A pipe is kept in a scratch file that Windows deletes: the unpack, the
  // listing and the scan give what the file gives, and nothing is left.
  ScratchDir dir;
  const std::string image = ExampleImage();
  WriteFileBytes(dir / "image.img", image);
  RunResult r = RunSkelvane({"-", "out"}, dir.path(), {.input = image});
  EXPECT_EQ(r.out, ExampleTrace("-", "out", false));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  Tree left = WithShortcuts(dir.path());
  EXPECT_EQ(left.erase("out/bin/sh.lnk"), 1u);
  left.erase("image.img");
  Tree expected;
  for (const auto& [path, what] : kExampleTree) expected["out" + path.substr(5)] = what;
  expected.erase("out/bin/sh");
  EXPECT_EQ(left, expected);
  const RunResult listed = RunSkelvane({"--list", "image.img"}, dir.path());
  r = RunSkelvane({"--list", "-"}, dir.path(), {.input = image});
  EXPECT_EQ(r.out, listed.out);
  EXPECT_EQ(r.status, 0);
  std::string listing;
  const std::string scanned = ScanFile(listing);
  r = RunSkelvane({"--scan", "-"}, dir.path(), {.input = scanned});
  EXPECT_EQ(r.out, listing);
  EXPECT_EQ(r.status, 0);
  // A listing whose reader has gone ends quietly; standard error names what
  // failed, unless it is standard output's own pipe.
  r = RunSkelvane({"--list", "image.img"}, dir.path(), {.out = RunOptions::Out::kReaderGone});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "");
  // (Wine cannot tell two handles of one pipe apart from two pipes: both
  // count as separate there, so only a separate file is tried.)
  const std::string text = SystemTexts({2})[0];  // ERROR_FILE_NOT_FOUND
  r = RunSkelvane({"nosuch.img"}, dir.path());
  EXPECT_EQ(r.out, "\nError: " + text + "\n");
  EXPECT_EQ(r.status, 255);
  // Standard error is in text mode, as the system's own texts end their lines.
  EXPECT_EQ(r.err, "skelvane: cannot open nosuch.img: " +
                       text.substr(0, text.find_last_not_of("\r\n") + 1) + "\r\n");
}

TEST(Windows, SlashQuestionMarkIsHelp) {
  ScratchDir dir;
  const RunResult help = RunSkelvane({"--help"}, dir.path());
  EXPECT_TRUE(help.out.starts_with("Usage: skelvane [--all] [--offset N|auto] romfsImage"))
      << help.out;
  const RunResult r = RunSkelvane({"/?"}, dir.path());
  EXPECT_EQ(r.out, help.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(RunSkelvane({"--version"}, dir.path()).out, "skelvane " SKELVANE_VERSION "\n");
  EXPECT_TRUE(ScanTree(dir.path()).empty());
}

TEST(Windows, LinksBecomeShortcuts) {
  // A target stays relative or absolute, with "/" read as "\". A link fails
  // when its name, or its name with ".lnk", is taken, and when its target is
  // empty. Bytes that are not UTF-8 name what Windows makes of them, U+FFFD,
  // which code page 1252 does not hold: that shortcut is Unicode.
  Unpack u;
  const RunResult r = u.Run(
      "vol", {File("taken", "t"), File("t2.lnk", "u"), Link("abs", "/etc/passwd"),
              Dir("d", {Link("up", "../f")}), File("f", "data"), Link("taken", "x"),
              Link("t2", "x"), Link("empty", ""), Link("bad", "\xff"), Link("grüße", "ziel/ü")});
  EXPECT_EQ(r.out, kHead +
                       "taken (1) \n"
                       "t2.lnk (1) \n"
                       "abs <SYMBOLIC LINK> (11) \n"
                       "[d] \n"
                       "...up <SYMBOLIC LINK> (4) \n"
                       "f (4) \n"
                       "taken <SYMBOLIC LINK> (1) \n"
                       "t2 <SYMBOLIC LINK> (1) \n"
                       "empty <SYMBOLIC LINK> (0) \n"
                       "bad <SYMBOLIC LINK> (1) \n"
                       "grüße <SYMBOLIC LINK> (7) \n"
                       "\nRESOLVING SYMBOLIC LINKS...\n"
                       "-> create symbolic link out\\abs with /etc/passwd (done)\n"
                       "-> create symbolic link out\\d\\up with ../f (done)\n"
                       "-> create symbolic link out\\taken with x (ERROR!!!)\n"
                       "-> create symbolic link out\\t2 with x (ERROR!!!)\n"
                       "-> create symbolic link out\\empty with  (ERROR!!!)\n"
                       "-> create symbolic link out\\bad with \xff (done)\n"
                       "-> create symbolic link out\\grüße with ziel/ü (done)\n"
                       "\nDONE. (7 symbolic links, 3 unresolved)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(WithShortcuts(u.dir / "out"),
            (Tree{{"abs.lnk", "symlink:/etc/passwd path:\\etc\\passwd"},
                  {"bad.lnk", "shortcut:\uFFFD"},
                  {"d", "dir"},
                  {"d/up.lnk", "symlink:../f path:..\\f"},
                  {"f", "file:data"},
                  {"grüße.lnk", "symlink:ziel/ü path:ziel\\ü"},
                  {"t2.lnk", "file:u"},
                  {"taken", "file:t"}}));

  // A target that leaves the shortcut's drive leaves no shortcut: a network
  // or a device path (two separators, either way round), another drive, a
  // drive's current folder, a stream, and an NT path behind one separator (a
  // share, a pipe, a device, a volume) or a wildcard.
  const std::vector<std::string> offTargets = {
      "//evilhost/share/x.exe",
      "\\\\?\\UNC\\evilhost\\share",
      "/\\.\\COM1",
      "C:/Windows/System32/cmd.exe",
      "C:x",
      "f:hidden",
      "\\??\\UNC\\evilhost\\share\\x",
      "/?\?/unc/evilhost/share/x",
      "\\??\\pipe\\x",
      "\\??\\GLOBALROOT\\Device\\Mup\\evilhost\\share",
      "\\??\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\x",
      "dir/*"};
  std::vector<Entry> offRoot = {File("f", "data")};
  std::string offListing = "f (4) \n", offLinks;
  for (size_t i = 0; i < offTargets.size(); ++i) {
    const std::string name = "l" + std::to_string(i), target = offTargets[i];
    offRoot.push_back(Link(name, target));
    offListing += name + " <SYMBOLIC LINK> (" + std::to_string(target.size()) + ") \n";
    offLinks += "-> create symbolic link out\\" + name + " with " + target + " (ERROR!!!)\n";
  }
  Unpack offDrive;
  const RunResult refused = offDrive.Run("vol", offRoot);
  EXPECT_EQ(refused.out, kHead + offListing + "\nRESOLVING SYMBOLIC LINKS...\n" + offLinks +
                             "\nDONE. (12 symbolic links, 12 unresolved)\n");
  EXPECT_EQ(refused.status, 0);
  EXPECT_EQ(offDrive.Tree(), (Tree{{"f", "file:data"}}));
}

TEST(Windows, ShortcutsInTheSystemCodePage) {
  // Cygwin's form wherever the system's ANSI code page, which Wine takes from
  // the locale, holds the relative path, whatever the process's own (UTF-8
  // under the manifest); a Unicode shortcut elsewhere. Cygwin takes the target
  // from its block, bytes that are not UTF-8 included, and the description
  // holds it up to 260 bytes; over 4095 bytes the link fails alone.
  struct Case {
    std::string name, target, path;
    std::vector<unsigned> holding;  // the code pages that hold the path
  };
  const std::vector<unsigned> all = {1252, 1253, 65001};
  std::string up, upPath;
  for (int i = 0; i < 100; ++i) up += "../", upPath += "..\\";
  const std::vector<Case> cases = {{"plain", "bin/busybox", "bin\\busybox", all},
                                   {"latin", "ziel/grüße", "ziel\\grüße", {1252, 65001}},
                                   {"greek", "αρχείο", "αρχείο", {1253, 65001}},
                                   {"cjk", "文件/甲", "文件\\甲", {65001}},
                                   {"bad", "x\xFF\xC3(", "x\uFFFD\uFFFD(", {65001}},
                                   {"edge", std::string(260, 'e'), std::string(260, 'e'), all},
                                   {"up", up, upPath, all},
                                   {"most", std::string(4095, 'm'), std::string(4095, 'm'), all}};
  std::vector<Entry> root;
  std::string listing, links;
  for (const Case& c : cases) {
    root.push_back(Link(c.name, c.target));
    listing += c.name + " <SYMBOLIC LINK> (" + std::to_string(c.target.size()) + ") \n";
    links += "-> create symbolic link out\\" + c.name + " with " + c.target + " (done)\n";
  }
  root.push_back(Link("over", std::string(4096, 'o')));
  listing += "over <SYMBOLIC LINK> (4096) \n";
  links += "-> create symbolic link out\\over with  (ERROR!!!)\n";
  for (const auto& [locale, codePage] : std::vector<std::pair<std::string, unsigned>>{
           {"C.UTF-8", 1252}, {"el_GR.UTF-8", 1253}, {"hi_IN.UTF-8", 65001}}) {
    Unpack u{.options = {"--all"}, .run = {.locale = locale}};
    const RunResult r = u.Run("vol", root);
    EXPECT_EQ(r.out, kHead + listing + "\nRESOLVING LINKS...\n" + links +
                         "\nDONE. (9 symbolic links, 0 hard links, 1 unresolved, 0 special "
                         "files not made)\n")
        << locale;
    EXPECT_EQ(r.status, 0) << locale;
    Tree expected;
    for (const Case& c : cases)
      expected[c.name + ".lnk"] =
          std::ranges::count(c.holding, codePage) == 0 ? "shortcut:" + c.path
          : c.target.size() > 260
              ? "symlink:" + c.target + " path:" + c.path + " description:[path too long]"
              : "symlink:" + c.target + " path:" + c.path;
    EXPECT_EQ(WithShortcuts(u.dir / "out", codePage), expected) << locale;
  }
}

TEST(Windows, SystemTexts) {
  // ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS.
  const std::vector<std::string> text = SystemTexts({2, 5, 80, 183});
  {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "d.img");
    RunResult r = RunSkelvane({"missing.img"}, dir.path());
    EXPECT_EQ(r.out, "\nError: " + text[0] + "\n");
    EXPECT_EQ(r.status, 255);
    // A directory cannot be opened as a file.
    r = RunSkelvane({"d.img", "out"}, dir.path());
    EXPECT_EQ(r.out, "\nError: " + text[1] + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(ScanTree(dir.path()), (Tree{{"d.img", "dir"}}));
  }
  {
    Unpack u;
    const RunResult r = u.Run("vol", {File("f", "1"), File("f", "2")});
    EXPECT_EQ(r.out, kHead + "f (1) \nf (1) \n\nError creating file: " + text[2] + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Tree(), (Tree{{"f", "file:1"}}));
  }
  {
    Unpack u;
    std::filesystem::create_directory(u.dir / "out");
    const RunResult r = u.Run("vol", {File("f", "1")});
    EXPECT_EQ(r.out, kHead + "\nError creating directory: " + text[3] +
                         "\nUnable to create new directory for unpacking archive: out\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.Tree(), Tree{});
  }
}

TEST(Windows, UnsafeNames) {
  // Separators and drives, and the devices in any case, with an extension,
  // trailing dots or blanks, and the superscript digits of UTF-8.
  for (const std::string name : {"a\\b", "a/b", "c:d", "CON", "nul.txt", "Aux. ", "com1",
                                 "CoM\xC2\xB9", "LPT\xC2\xB3.x", "conin$", "CONOUT$ .log"}) {
    Unpack u;
    const RunResult r = u.Run("vol", {Dir("d", {File(name, "x")})});
    EXPECT_EQ(r.out, kHead + "[d] \nUnsafe file name: out\\d\\" + name + "\n") << name;
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_EQ(u.Tree(), (Tree{{"d", "dir"}})) << name;
  }
  // As Windows reads names without the manifest's UTF-8: the superscript
  // digits are single bytes in code page 1252; in 932 a lead byte left at the
  // end would take the separator after it, while a pair may end in a byte of
  // the lead range, or have a backslash byte as its second (U+30BD).
  EXPECT_EQ(
      AskWindows({InCodePage(1252, "COM\xB9"), InCodePage(1252, "LPT\xB3.txt"),
                  InCodePage(1252, "plain.txt"), InCodePage(1252, "grüße"),
                  InCodePage(932, "x\x83"), InCodePage(932, "x\x83\x83"), InCodePage(932, "\x83\\"),
                  InCodePage(932, "plain.txt"), InCodePage(932, "grüße")}),
      (std::vector<std::string>{"unsafe", "unsafe", "safe", "safe", "unsafe", "safe", "safe",
                                "safe", "safe"}));
}

TEST(Windows, NamesNearDevicesAreFiles) {
  std::vector<Entry> root;
  std::string listing;
  Tree tree;
  for (const std::string name :
       {"CONSOLE", "COM10", "LPT", "xnul", "nul_", "con-x.txt", "COM\xC2\xB4", "AUXX.aux"}) {
    root.push_back(File(name, name));
    listing += name + " (" + std::to_string(name.size()) + ") \n";
    tree[name] = "file:" + name;
  }
  Unpack u;
  const RunResult r = u.Run("vol", root);
  EXPECT_EQ(r.out, kHead + listing + "\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), tree);
}

TEST(Windows, EntriesPastTwoGigabytes) {
  // Alone, and beyond a large offset in a larger file.
  for (const uint64_t at : {0ull, 0xC0000003ull}) {
    Unpack u;
    WriteFourGigabyteImage(u.dir / "image.img", 0, at);
    const RunResult r =
        RunSkelvane({"--offset=" + std::to_string(at), "image.img", "out"}, u.dir.path());
    EXPECT_EQ(r.out, kFourGigabyteListing + "0) \n\nDONE.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.Left(), kFourGigabyteTree);
  }
}

TEST(Windows, SelectsAndCatsAsOnLinux) {
  std::vector<Entry> root = {File("f", "da\nta"), Dir("d", {File("g", "gg")}), Link("sh", "f")};
  const std::string image = BuildImage("vol", root);
  Unpack u{.options = {"--all", "--include", "d"}};
  RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead +
                       "[d] \n...g (2) \n\nDONE. (0 symbolic links, 0 hard links, 0 unresolved, 0 "
                       "special files not made)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Tree(), (Tree{{"d", "dir"}, {"d/g", "file:gg"}}));
  // The bytes as they are: no line end is translated.
  r = RunSkelvane({"--cat", "sh", "--cat", "d/g", "image.img"}, u.dir.path());
  EXPECT_EQ(r.out, "da\ntagg");
  EXPECT_EQ(r.status, 0);
}

TEST(Windows, AllMakesHardLinksAndListsDevices) {
  // A shortcut x.lnk takes the name x from a hard link, and the reverse, in
  // either order.
  Entry console = File("console", ""), fifo = File("initctl", "");
  console.type = 5;
  console.specInfo = 0x00050001;
  fifo.type = 7;
  // d's first child lies past zero padding, where its info word says.
  Entry d = Dir("d", {HardLink("h")});
  d.padding = 32;
  std::vector<Entry> root = {File("f", "data"), d,
                             console,           fifo,
                             Link("sh", "f"),   Link("x", "f"),
                             HardLink("x"),     HardLink("y"),
                             Link("y", "f")};
  std::string image = BuildImage("vol", root);
  SetSpecInfo(image, root[1].children[0].offset, root[0].offset);
  SetSpecInfo(image, root[6].offset, root[0].offset);
  SetSpecInfo(image, root[7].offset, root[0].offset);
  Unpack u{.options = {"--all"}};
  const RunResult r = u.Run(image);
  EXPECT_EQ(r.out, kHead +
                       "f (4) \n[d] \n...[h] \nconsole <CHARACTER DEVICE> (5, 1) \n"
                       "initctl <FIFO> \nsh <SYMBOLIC LINK> (1) \nx <SYMBOLIC LINK> (1) \n[x] \n"
                       "[y] \ny <SYMBOLIC LINK> (1) \n"
                       "\nRESOLVING LINKS...\n"
                       "-> create hard link out\\d\\h with out\\f (done)\n"
                       "-> create symbolic link out\\sh with f (done)\n"
                       "-> create symbolic link out\\x with f (done)\n"
                       "-> create hard link out\\x with out\\f (ERROR!!!)\n"
                       "-> create hard link out\\y with out\\f (done)\n"
                       "-> create symbolic link out\\y with f (ERROR!!!)\n"
                       "\nDONE. (3 symbolic links, 3 hard links, 2 unresolved, 2 special files "
                       "not made)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(WithShortcuts(u.dir / "out"), (Tree{{"d", "dir"},
                                                {"d/h", "file:data"},
                                                {"f", "file:data"},
                                                {"sh.lnk", "symlink:f path:f"},
                                                {"x.lnk", "symlink:f path:f"},
                                                {"y", "file:data"}}));
  EXPECT_EQ(std::filesystem::hard_link_count(u.dir / "out/f"), 3u);

  // The listing: the same bytes as on Linux, nothing created.
  Unpack listed{.options = {"--list"}};
  const RunResult list = listed.Run(image, std::vector<std::string>{});
  EXPECT_EQ(list.out,
            "--          4 f\n"
            "d-          0 d\n"
            "h-          0 d/h link to f\n"
            "c-        5,1 console\n"
            "p-          0 initctl\n"
            "l-          1 sh -> f\n"
            "l-          1 x -> f\n"
            "h-          0 x link to f\n"
            "h-          0 y link to f\n"
            "l-          1 y -> f\n");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(listed.Left(), Tree{});
  Unpack json{.options = {"--list", "--json"}};
  const RunResult lines = json.Run(image, std::vector<std::string>{});
  EXPECT_EQ(lines.out,
            R"({"path":"f","type":"file","exec":false,"size":4,"offset":32,"data_offset":64}
{"path":"d","type":"dir","exec":false,"size":0,"offset":80}
{"path":"d/h","type":"hardlink","exec":false,"size":0,"link":"f","offset":144}
{"path":"console","type":"char","exec":false,"major":5,"minor":1,"offset":176}
{"path":"initctl","type":"fifo","exec":false,"size":0,"offset":208}
{"path":"sh","type":"symlink","exec":false,"size":1,"target":"f","offset":240}
{"path":"x","type":"symlink","exec":false,"size":1,"target":"f","offset":288}
{"path":"x","type":"hardlink","exec":false,"size":0,"link":"f","offset":336}
{"path":"y","type":"hardlink","exec":false,"size":0,"link":"f","offset":368}
{"path":"y","type":"symlink","exec":false,"size":1,"target":"f","offset":400}
)");
  EXPECT_EQ(lines.status, 0);
  EXPECT_EQ(json.Left(), Tree{});
}

TEST(Windows, TarWritesTheBytesOfLinux) {
  // Every kind of member, a hard link before its file, a name only an
  // extended header holds, a socket left out.
  Entry device = File("tty", ""), fifo = File("initctl", ""), socket = File("log", "");
  device.type = 5;
  device.specInfo = 4 << 16 | 64;
  fifo.type = 7;
  socket.type = 6;
  std::vector<Entry> root = {
      DirWithDots("d", {HardLink("h"), File(std::string(120, 'n') + "\xc3\xa9", "long name")}),
      File("f", std::string(70000, 'f'), true),
      Link("sh", "d/" + std::string(120, 'n')),
      device,
      fifo,
      socket};
  std::string image = BuildImage("vol", root);
  SetSpecInfo(image, root[0].children[2].offset, root[1].offset);
  ScratchDir dir;
  WriteFileBytes(dir / "image.img", image);
  const std::string command =
      "cd '" + dir.path() + "' && '" LINUX_SKELVANE_PATH "' --tar linux.tar image.img 2>linux.err";
  ASSERT_EQ(system(command.c_str()), 0);
  const std::string archive = ReadFileBytes(dir / "linux.tar");
  const std::string said = "skelvane: 1 socket left out: tar has no type for them\n";
  EXPECT_EQ(ReadFileBytes(dir / "linux.err"), said);

  RunResult r = RunSkelvane({"--tar", "-", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == archive) << "the archives differ: " << r.out.size() << " bytes on Windows, "
                                << archive.size() << " on Linux";
  // Standard error is text, as every program's there.
  EXPECT_EQ(r.err, said.substr(0, said.size() - 1) + "\r\n");
  r = RunSkelvane({"--tar", "windows.tar", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(ReadFileBytes(dir / "windows.tar") == archive);
  // Never over a file.
  r = RunSkelvane({"--tar", "windows.tar", "image.img"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "skelvane: windows.tar exists: remove it, or name another archive\r\n");
  EXPECT_TRUE(ReadFileBytes(dir / "windows.tar") == archive);
}

}  // namespace
