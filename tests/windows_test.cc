// The Windows program under Wine: the trace byte for byte as on Linux but for
// the system's texts, links as shortcuts, and the names Windows must refuse.
#include <gtest/gtest.h>

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

// The target of a shortcut as the program writes them (the header, with
// HasRelativePath and IsUnicode only, then the relative path as a counted
// UTF-16LE string, then the terminal block), in UTF-8; or what is wrong.
std::string ShortcutTarget(const std::string& link) {
  if (link.size() < 0x4C + 2 + 4) return "too short";
  if (LittleEndian(link, 20, 4) != 0x88) return "flags";
  if (LittleEndian(link, 60, 4) != 1) return "show command";
  for (size_t at = 24; at < 0x4C; ++at)
    if (link[at] != 0 && (at < 60 || at > 63)) return "header";
  const size_t count = LittleEndian(link, 0x4C, 2);
  if (link.size() != 0x4C + 2 + 2 * count + 4 || LittleEndian(link, link.size() - 4, 4) != 0)
    return "string data";
  std::string target;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = LittleEndian(link, 0x4E + 2 * i, 2);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count)
      c = 0x10000 + ((c - 0xD800) << 10) + (LittleEndian(link, 0x4E + 2 * ++i, 2) - 0xDC00);
    PutUtf8(target, c);
  }
  return target;
}

// The tree with each shell link read back: "shortcut:" and its target.
Tree WithShortcuts(Tree tree) {
  for (auto& [path, what] : tree)
    if (what.starts_with("file:" + kShellLinkStart))
      what = "shortcut:" + ShortcutTarget(what.substr(5));
  return tree;
}

TEST(Windows, UnpacksTheReadmeExample) {
  ScratchDir dir;
  const RunResult r = RunExample(dir);
  EXPECT_EQ(r.out, kExampleTrace);
  EXPECT_EQ(r.status, 0);
  Tree expected = kExampleTree;
  expected.erase("ROMFS/bin/sh");
  expected["ROMFS/bin/sh.lnk"] = "shortcut:busybox";
  Tree left = WithShortcuts(ScanTree(dir.path()));
  left.erase("fw.img");
  EXPECT_EQ(left, expected);
}

TEST(Windows, SlashQuestionMarkIsHelp) {
  ScratchDir dir;
  const RunResult help = RunSkelvane({"--help"}, dir.path());
  EXPECT_TRUE(help.out.starts_with("Usage: skelvane [--all] [--offset N] romfsImage")) << help.out;
  const RunResult r = RunSkelvane({"/?"}, dir.path());
  EXPECT_EQ(r.out, help.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(RunSkelvane({"--version"}, dir.path()).out, "skelvane " SKELVANE_VERSION "\n");
  EXPECT_TRUE(ScanTree(dir.path()).empty());
}

TEST(Windows, LinksBecomeShortcuts) {
  // A target stays relative or absolute, with "/" read as "\". A link fails
  // when its name, or its name with ".lnk", is taken, and when its target is
  // empty or not UTF-8.
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
                       "-> create symbolic link out\\bad with \xff (ERROR!!!)\n"
                       "-> create symbolic link out\\grüße with ziel/ü (done)\n"
                       "\nDONE. (7 symbolic links, 4 unresolved)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(WithShortcuts(u.Tree()), (Tree{{"abs.lnk", "shortcut:\\etc\\passwd"},
                                           {"d", "dir"},
                                           {"d/up.lnk", "shortcut:..\\f"},
                                           {"f", "file:data"},
                                           {"grüße.lnk", "shortcut:ziel\\ü"},
                                           {"t2.lnk", "file:u"},
                                           {"taken", "file:t"}}));

  // A target that leaves the shortcut's drive leaves no shortcut: a network
  // or a device path (two separators, either way round), another drive, a
  // drive's current folder, a stream.
  Unpack offDrive;
  const RunResult refused = offDrive.Run(
      "vol", {File("f", "data"), Link("unc", "//evilhost/share/x.exe"),
              Link("device", "\\\\?\\UNC\\evilhost\\share"), Link("mixed", "/\\.\\COM1"),
              Link("drive", "C:/Windows/System32/cmd.exe"), Link("current", "C:x"),
              Link("stream", "f:hidden")});
  EXPECT_EQ(refused.out,
            kHead +
                "f (4) \n"
                "unc <SYMBOLIC LINK> (22) \n"
                "device <SYMBOLIC LINK> (22) \n"
                "mixed <SYMBOLIC LINK> (8) \n"
                "drive <SYMBOLIC LINK> (27) \n"
                "current <SYMBOLIC LINK> (3) \n"
                "stream <SYMBOLIC LINK> (8) \n"
                "\nRESOLVING SYMBOLIC LINKS...\n"
                "-> create symbolic link out\\unc with //evilhost/share/x.exe (ERROR!!!)\n"
                "-> create symbolic link out\\device with \\\\?\\UNC\\evilhost\\share "
                "(ERROR!!!)\n"
                "-> create symbolic link out\\mixed with /\\.\\COM1 (ERROR!!!)\n"
                "-> create symbolic link out\\drive with C:/Windows/System32/cmd.exe "
                "(ERROR!!!)\n"
                "-> create symbolic link out\\current with C:x (ERROR!!!)\n"
                "-> create symbolic link out\\stream with f:hidden (ERROR!!!)\n"
                "\nDONE. (6 symbolic links, 6 unresolved)\n");
  EXPECT_EQ(refused.status, 0);
  EXPECT_EQ(offDrive.Tree(), (Tree{{"f", "file:data"}}));
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
  Unpack u;
  WriteFourGigabyteImage(u.dir / "image.img", 0);
  const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path());
  EXPECT_EQ(r.out, kFourGigabyteListing + "0) \n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(u.Left(), kFourGigabyteTree);
}

}  // namespace
