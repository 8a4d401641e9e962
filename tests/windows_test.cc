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
  EXPECT_EQ(WithShortcuts(u.Tree()), (Tree{{"d", "dir"},
                                           {"d/h", "file:data"},
                                           {"f", "file:data"},
                                           {"sh.lnk", "shortcut:f"},
                                           {"x.lnk", "shortcut:f"},
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
}

}  // namespace
