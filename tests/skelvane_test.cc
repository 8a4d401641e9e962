// The command line and the run as a whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "tests/test_util.h"

namespace {

const std::string kUsage = std::string(
                               "skelvane (v1.1, orvenk, 2003/09)\n"
                               "\nUSAGE: ") +
                           SKELVANE_PATH +
                           " romfsImage [target directory] [ > traceFile]\n"
                           "Function: extract files from a romfs image to ROMFS (default) or "
                           "specified target directory.\n"
                           "Symbolic link files will be created as windows shortcuts. Using "
                           "tollbrae tool to create a romfs image, shortcuts will be stored as "
                           "romfs symbolic links files.\n"
                           "In the trace, file size and exec flag (X) will be displayed for each "
                           "file.\n"
                           "!!! USE AT YOUR OWN RISKS !!!\n";

const std::string kImageNameMessage =
    "\nImage file name too long or too short (make sure it's             less then 254 "
    "characters and greater then 1 character)\n";
const std::string kArchiveNameMessage =
    "\nArchive file name too long or too short (make sure it's                less then 254 "
    "characters and greater then 1 character)\n";

TEST(Skelvane, UnpacksTheRoadOfOneImage) {
  ScratchDir dir;
  const RunResult r = RunExample(dir);
  EXPECT_EQ(r.out, kExampleTrace);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  auto left = ScanTree(dir.path());
  left.erase("fw.img");
  EXPECT_EQ(left, kExampleTree);
  // The exec flag is kept in the mode, as the system's own romfs driver shows it.
  EXPECT_EQ(PermissionsOf(dir / "ROMFS/bin/busybox"), CreatedWith(0777));
  EXPECT_EQ(PermissionsOf(dir / "ROMFS/README"), CreatedWith(0666));
  EXPECT_EQ(PermissionsOf(dir / "ROMFS/bin"), CreatedWith(0777));
}

TEST(Skelvane, TraceThatCannotBeWrittenFailsTheRunButNotTheTree) {
  using Out = RunOptions::Out;
  for (const auto& [out, text] : {std::pair{Out::kFull, "No space left on device"},
                                  std::pair{Out::kReaderGone, "Broken pipe"}}) {
    ScratchDir dir;
    const RunResult r = RunExample(dir, {.out = out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, std::string("skelvane: cannot write the trace: ") + text + "\n");
    auto left = ScanTree(dir.path());
    left.erase("fw.img");
    EXPECT_EQ(left, kExampleTree);
  }
}

TEST(Skelvane, InterruptedRunEndsItsTraceAndRemovesTheFileItWasMaking) {
  // The run is held up writing a file's line when the signal comes: that
  // file, made next, is removed; the files before it are kept whole.
  std::string listing = kHead;
  std::vector<Entry> root = ManyFiles(listing, "");
  const std::string image = BuildImage("vol", root);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    Unpack u;
    WriteFileBytes(u.dir / "image.img", image);
    const RunResult r = RunSkelvane({"image.img", "out"}, u.dir.path(), {.stallSignal = signal});
    EXPECT_EQ(r.status, 128 + signal);
    EXPECT_EQ(r.err, "");
    const std::string last = "Interrupted\n";
    ASSERT_TRUE(r.out.ends_with(" (1) \n" + last)) << r.out.substr(r.out.size() - 200);
    const std::string listed = r.out.substr(0, r.out.size() - last.size());
    EXPECT_TRUE(listing.starts_with(listed));
    std::string name;  // the last one listed: the file being made
    const Tree kept = ManyFilesListed(listed, name);
    EXPECT_GT(kept.size(), 400u);
    const Tree left = u.Left();
    EXPECT_EQ(left.count("out/" + name), 0u) << name;
    EXPECT_EQ(left, kept);
  }
}

TEST(Skelvane, EveryModeEndsAtTheFirstInterruptionWithItsTraceWrittenOut) {
  using Clock = std::chrono::steady_clock;
  ScratchDir dir;
  // A scan, and --offset auto, of an endless file: ended by timeout's
  // SIGTERM after a second, at once, as the shell shows it.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--scan", "/dev/zero"}, {"--offset", "auto", "/dev/zero", "out"}}) {
    std::vector<std::string> command = {"--preserve-status", "1", SKELVANE_PATH};
    command.insert(command.end(), args.begin(), args.end());
    const auto start = Clock::now();
    const RunResult r = RunSkelvane(command, dir.path(), {.program = "/usr/bin/timeout"});
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1800)) << args[1];
    EXPECT_EQ(r.out, "Interrupted\n");
    EXPECT_EQ(r.status, 128 + SIGTERM);
  }
  // A scan of a pipe that never ends: the image's line is in the file within
  // two seconds, and the run ends at the signal (a run that does not is
  // killed three seconds later).
  WriteFileBytes(dir / "fw.img", ExampleImage());
  const std::string line = "0 " + std::to_string(ExampleImage().size()) + " rootfs\n";
  RunResult r = RunSkelvane(
      {"-c",
       "{ cat fw.img; cat /dev/zero; } 2>/dev/null | \"$0\" --scan /dev/stdin > scan & run=$!; "
       "sleep 2; cat scan; echo; kill $run; "
       "(sleep 3; kill -KILL $run) >/dev/null 2>&1 & guard=$!; "
       "wait $run; echo $?; kill $guard; cat scan",
       SKELVANE_PATH},
      dir.path(), {.timeLimit = 10, .program = "/bin/sh"});
  EXPECT_EQ(r.out, line + "\n" + std::to_string(128 + SIGTERM) + "\n" + line + "Interrupted\n");
  // Nor does a pipe that gives nothing for long hold the run up.
  const auto start = Clock::now();
  r = RunSkelvane({"-c",
                   "mkfifo silent; sleep 10 > silent & writer=$!; "
                   "\"$0\" --scan silent & run=$!; sleep 1; kill -HUP $run; "
                   "(sleep 3; kill -KILL $run) >/dev/null 2>&1 & guard=$!; "
                   "wait $run; echo $?; kill $guard $writer",
                   SKELVANE_PATH},
                  dir.path(), {.timeLimit = 10, .program = "/bin/sh"});
  EXPECT_EQ(r.out, "Interrupted\n" + std::to_string(128 + SIGHUP) + "\n");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1800));
  // A listing of 300,000 lines held up by its reader: a signal then lets only
  // what was under way through.
  std::vector<Entry> root;
  for (int i = 0; i < 300000; ++i) root.push_back(File(std::to_string(i), ""));
  WriteFileBytes(dir / "many.img", BuildImage("many", root));
  Clock::time_point signalled;
  r = RunSkelvane({"--list", "many.img"}, dir.path(),
                  {.whenStalled = [&] { signalled = Clock::now(); }, .stallSignal = SIGINT});
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(1));
  EXPECT_EQ(r.status, 128 + SIGINT);
  ASSERT_TRUE(r.out.ends_with("\nInterrupted\n")) << r.out.substr(r.out.size() - 100);
  const auto lines = std::count(r.out.begin(), r.out.end(), '\n');
  EXPECT_GT(lines, 1000);
  EXPECT_LT(lines, 10000);
  std::string listing;
  for (int i = 0; listing.size() < r.out.size(); ++i)
    listing += "--          0 " + std::to_string(i) + "\n";
  EXPECT_TRUE(listing.starts_with(r.out.substr(0, r.out.size() - 12))) << r.out.substr(0, 100);
}

TEST(Skelvane, TerminalSeesNoControlBytes) {
  // An escape sequence that would set the terminal's title, and others; a
  // CSI as a C1 control, in UTF-8 and as one byte, beside UTF-8 that stays.
  const std::string esc =
      "a\x1b]0;x\x07"
      "b\x7f\xc2\x9b"
      "2J\xc3\xa9\xc2\xa0\x9b"
      "1m";
  std::vector<Entry> root = {File(esc, "f"), Dir("d\x1b[2J", {Link("l\n", "t\x01\x1f\x80")})};
  const std::string image = BuildImage("v\x1b[31m", root);
  for (const auto out : {RunOptions::Out::kPipe, RunOptions::Out::kTerminal}) {
    const bool terminal = out == RunOptions::Out::kTerminal;
    auto shown = [&](const std::string& text) {
      if (!terminal) return text;
      std::string seen;
      for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        auto isC1 = [](unsigned char b) { return b >= 0x80 && b <= 0x9F; };
        if (c == 0xC2 && i + 1 < text.size() && isC1(static_cast<unsigned char>(text[i + 1]))) {
          seen += '?';  // one character, one "?"
          ++i;
        } else {
          seen += c < 0x20 || c == 0x7F || isC1(c) ? '?' : text[i];
        }
      }
      return seen;
    };
    ScratchDir dir;
    WriteFileBytes(dir / "i.img", image);
    const RunResult r = RunSkelvane({"i.img", "out"}, dir.path(), {.out = out});
    EXPECT_EQ(r.out, "Image name=" + shown("v\x1b[31m") +
                         " (6)\nUNPACKING ROMFS IMAGE i.img to out...\n" + shown(esc) + " (1) \n[" +
                         shown("d\x1b[2J") + "] \n..." + shown("l\n") +
                         " <SYMBOLIC LINK> (4) \n\nRESOLVING SYMBOLIC LINKS...\n"
                         "-> create symbolic link out\\" +
                         shown("d\x1b[2J\\l\n") + " with " + shown("t\x01\x1f\x80") +
                         " (done)\n\nDONE. (1 symbolic links, 0 unresolved)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ScanTree(dir / "out"),
              (Tree{{esc, "file:f"}, {"d\x1b[2J", "dir"}, {"d\x1b[2J/l\n", "link:t\x01\x1f\x80"}}));
  }
}

TEST(Skelvane, HintOnATerminalWhereOnlyAllUnpacksTheImage) {
  // The stops --all goes past: a hard link, a special file, the 257th link,
  // a link target over 260 bytes. Standard output and the status stay.
  Entry fifo = File("p", "");
  fifo.type = 7;
  std::vector<Entry> links;
  for (int i = 0; i < 257; ++i) links.push_back(Link("l" + std::to_string(i), "t"));
  const std::vector<std::vector<Entry>> images = {
      {HardLink("h")}, {fifo}, links, {Link("long", std::string(261, 't'))}};
  for (const auto& root : images) {
    for (const bool terminal : {false, true}) {
      Unpack plain, shown{.run = {.errTerminal = terminal}};
      const RunResult expected = plain.Run("vol", root);
      const RunResult r = shown.Run("vol", root);
      EXPECT_EQ(r.out, expected.out);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, terminal ? "skelvane: --all unpacks the rest of this image: remove out, "
                                  "then run skelvane --all image.img out\n"
                                : "");
    }
  }
  // The offset and a default target are in the command; --all has no hint.
  std::vector<Entry> root = {HardLink("h")};
  const std::string image = std::string(32, 'x') + BuildImage("vol", root);
  Unpack offset{.options = {"--offset", "32"}, .run = {.errTerminal = true}};
  EXPECT_EQ(offset.Run(image, std::vector<std::string>{}).err,
            "skelvane: --all unpacks the rest of this image: remove ROMFS, then run skelvane "
            "--all --offset 32 image.img\n");
  Unpack all{.options = {"--all", "--offset", "32"}, .run = {.errTerminal = true}};
  EXPECT_EQ(all.Run(image).err, "");
}

TEST(Skelvane, ProgressOnATerminalWhileTheTraceGoesElsewhere) {
  // The run is held up by its trace for longer than a second: the progress
  // line shows on a terminal once it goes on, and is erased at the end,
  // here an error's, or an interruption's of a listing (which, unlike an
  // unpack, stops at the next entry, after its progress). Names of wide
  // characters, two columns each, are cut from the left to keep the line
  // within 79 columns.
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xe6\xbc\xa2";  // U+6F22
  std::vector<Entry> root;
  for (int i = 0; i < 2000; ++i) root.push_back(File(wide + std::to_string(i), "x"));
  root.back().badChecksum = true;
  const std::string image = BuildImage("vol", root);
  // The columns of this test's text: ASCII, and three-byte wide characters.
  auto columns = [](const std::string& text) {
    size_t n = 0;
    for (const char c : text) n += (c & 0x80) == 0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 0;
    return n;
  };
  for (const int signal : {-1, 0, SIGINT}) {
    const bool terminal = signal >= 0;
    Unpack u{
        .options = signal > 0 ? std::vector<std::string>{"--list"} : std::vector<std::string>{},
        .run = {.whenStalled = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1200)); },
                .stallSignal = std::max(signal, 0),
                .errTerminal = terminal}};
    const RunResult r = signal > 0 ? u.Run(image, std::vector<std::string>{}) : u.Run(image);
    if (signal > 0) {
      EXPECT_TRUE(r.out.starts_with("--          1 " + wide + "0\n"));
      EXPECT_TRUE(r.out.ends_with("\nInterrupted\n"));
      EXPECT_EQ(r.status, 128 + signal);
    } else {
      EXPECT_TRUE(r.out.starts_with(kHead + wide + "0 (1) \n"));
      EXPECT_TRUE(r.out.ends_with(wide + "1998 (1) \nChecksum Error: out\\" + wide + "1999\n"));
      EXPECT_EQ(r.status, 255);
    }
    if (!terminal) {
      EXPECT_EQ(r.err, "");
      continue;
    }
    EXPECT_TRUE(r.err.starts_with("\rskelvane: ")) << r.err;
    EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
    // Erased: spaces over the whole line, and the cursor back at its start.
    const size_t last = r.err.rfind('\r', r.err.size() - 2);
    EXPECT_TRUE(r.err.ends_with("\r")) << r.err;
    EXPECT_EQ(r.err.substr(last + 1, r.err.size() - last - 2),
              std::string(r.err.size() - last - 2, ' '));
    EXPECT_LE(r.err.size() - last - 2, 79u);
    // Each line drawn: the end of the path after "...", within 79 columns.
    for (size_t at = 1, end; (end = r.err.find('\r', at)) < last; at = end + 1) {
      const std::string line = r.err.substr(at, end - at);
      EXPECT_LE(columns(line), 79u) << line;
      const size_t cut = line.find(" entries: ...");
      ASSERT_NE(cut, std::string::npos) << line;
      std::string path = line.substr(cut + 13);
      path.erase(path.find_last_not_of(' ') + 1);
      path.erase(path.find_last_not_of("0123456789") + 1);
      EXPECT_TRUE(!path.empty() && wide.ends_with(path)) << line;
    }
  }
}

TEST(Skelvane, OptionsAloneOrTheUsageText) {
  ScratchDir dir;
  // More than an image and a target after the options, or an option twice.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"a", "b", "c"},
                                             {"--help", "a", "b"},
                                             {"--all", "a", "b", "c"},
                                             {"--all", "--all", "a"},
                                             {"--list", "--list", "a"},
                                             {"--offset=1", "--offset", "2", "a"},
                                             {"--scan", "a", "b"},
                                             {"--scan", "--scan", "a"},
                                             {"--all", "--scan", "a"},
                                             {"--scan", "--offset", "auto", "a"}}) {
    const RunResult r = RunSkelvane(args, dir.path());
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.status, 255);
  }
  RunResult r = RunSkelvane({"--version"}, dir.path());
  EXPECT_EQ(r.out, "skelvane " SKELVANE_VERSION "\n");
  EXPECT_EQ(r.status, 0);
  r = RunSkelvane({"--help"}, dir.path());
  EXPECT_TRUE(r.out.starts_with(
      "Usage: skelvane [--all] [--offset N] romfsImage [target directory] [> traceFile]\n"))
      << r.out;
  EXPECT_TRUE(r.out.ends_with("\nManual: man skelvane (skelvane.html on Windows)\n")) << r.out;
  EXPECT_NE(r.out.find("\n       skelvane --scan file\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" auto: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n       skelvane --list [--offset N] romfsImage\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  --list      create nothing: "), std::string::npos);
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    EXPECT_LE(end - at, 80u) << r.out.substr(at, end - at);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // Help that cannot be written is a failure like a trace that cannot.
  r = RunSkelvane({"--help"}, dir.path(), {.out = RunOptions::Out::kFull});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "skelvane: cannot write the trace: No space left on device\n");
  // Only the whole of a lone argument is --help or --version, and options
  // only when an image follows them; anything else is an image.
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help", "out"},
                                                                {"--version", "out"},
                                                                {"-h"},
                                                                {"--help="},
                                                                {"/?"},
                                                                {"--all"},
                                                                {"--all", "--all"},
                                                                {"--offset"},
                                                                {"--offset", "5"},
                                                                {"--offset=5"},
                                                                {"--scan"},
                                                                {"--offset", "auto"},
                                                                {"--ALL", "out"},
                                                                {"-all", "out"}}) {
    r = RunSkelvane(args, dir.path());
    EXPECT_EQ(r.out, "\nError: No such file or directory\n\n") << args[0];
    EXPECT_EQ(r.status, 255) << args[0];
  }
  for (const std::string offset :
       {"", "0x", "-1", "+1", "1k", " 1", "0x1g", "--all", "AUTO", "auto "}) {
    r = RunSkelvane({"--offset", offset, "a"}, dir.path());
    EXPECT_EQ(r.out, "\nOffset is not a number: " + offset + "\n") << offset;
    EXPECT_EQ(r.status, 255) << offset;
  }
  EXPECT_TRUE(ScanTree(dir.path()).empty());
  std::vector<Entry> root = {File("f", "x"), HardLink("h")};
  WriteFileBytes(dir / "--help", BuildImage("v", root));
  r = RunSkelvane({"./--help"}, dir.path());
  EXPECT_EQ(r.out,
            "Image name=v (1)\nUNPACKING ROMFS IMAGE ./--help to ROMFS...\nf (1) \n[h] \n"
            "File Type 0: ROMFS\\h\n");
  EXPECT_EQ(r.status, 255);
  // Options in either order, each form of --offset, the default target.
  const std::string all =
      "Image name=v (1)\nUNPACKING ROMFS IMAGE --help to ROMFS2...\nf (1) \n"
      "[h] \n\nRESOLVING LINKS...\n-> create hard link ROMFS2\\h with 0x0 "
      "(ERROR!!!)\n\nDONE. (0 symbolic links, 1 hard links, 1 unresolved, "
      "0 special files not made)\n";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--all", "--help", "ROMFS2"},
                                             {"--offset", "0", "--all", "--help", "ROMFS2"},
                                             {"--all", "--offset=0x0", "--help", "ROMFS2"}}) {
    std::filesystem::remove_all(dir / "ROMFS2");
    r = RunSkelvane(args, dir.path());
    EXPECT_EQ(r.out, all);
    EXPECT_EQ(r.status, 0);
  }
  r = RunSkelvane({"--all", "--help"}, dir.path());
  EXPECT_TRUE(r.out.starts_with("Image name=v (1)\nUNPACKING ROMFS IMAGE --help to ROMFS...\n"));
  EXPECT_EQ(r.status, 255);  // ROMFS exists
}

TEST(Skelvane, ArgumentLengthLimits) {
  std::vector<Entry> root = {File("f", "x")};
  const std::string image = BuildImage("v", root);
  ScratchDir dir;
  const std::string name254(254, 'i'), name255(255, 'i');
  WriteFileBytes(dir / name254, image);

  RunResult r = RunSkelvane({name254, "out"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Image name=v (1)\nUNPACKING ROMFS IMAGE " + name254 + " to out...\nf (1) \n\nDONE.\n");

  for (const std::string& bad : {name255, std::string()}) {
    r = RunSkelvane({bad, "out2"}, dir.path());
    EXPECT_EQ(r.out, kImageNameMessage);
    EXPECT_EQ(r.status, 255);
  }

  const std::string target254(254, 't');
  r = RunSkelvane({name254, target254}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ScanTree(dir / target254), (Tree{{"f", "file:x"}}));

  // The target is checked before the image is opened: this image is missing.
  for (const std::string& bad : {std::string(255, 't'), std::string()}) {
    r = RunSkelvane({"missing.img", bad}, dir.path());
    EXPECT_EQ(r.out, kArchiveNameMessage);
    EXPECT_EQ(r.status, 255);
  }
}

TEST(Skelvane, OneCharacterImageNameAndDefaultTarget) {
  std::vector<Entry> root = {File("f", "data")};
  ScratchDir dir;
  WriteFileBytes(dir / "i", BuildImage("", root));
  const RunResult r = RunSkelvane({"i"}, dir.path());
  EXPECT_EQ(r.out, "Image name= (0)\nUNPACKING ROMFS IMAGE i to ROMFS...\nf (4) \n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ScanTree(dir / "ROMFS"), (Tree{{"f", "file:data"}}));
}

TEST(Skelvane, MissingImageCreatesNothing) {
  ScratchDir dir;
  const RunResult r = RunSkelvane({"missing.img"}, dir.path());
  EXPECT_EQ(r.out, "\nError: No such file or directory\n\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(ScanTree(dir.path()).empty());
}

TEST(Skelvane, DirectoryAsImageFailsAtFirstRead) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "d.img");
  const RunResult r = RunSkelvane({"d.img", "out"}, dir.path());
  EXPECT_EQ(r.out, "Read image infos failed, size: 0\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(Skelvane, PipeAsImageFailsAtFirstSeek) {
  std::vector<Entry> root = {File("f", "x")};
  const std::string image = BuildImage("piped", root);
  ScratchDir dir;
  std::thread writer = FeedFifo(dir / "fifo", image);
  const RunResult r = RunSkelvane({"fifo", "out"}, dir.path());
  writer.join();
  EXPECT_EQ(r.out, "Image name=piped (5)\nSetFilePointer failed, Error: Illegal seek\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(Skelvane, ScanListsTheImagesInAFile) {
  // From a file, and from a pipe read in sequence: the same lines.
  ScratchDir dir;
  std::string listing;
  const std::string file = ScanFile(listing);
  WriteFileBytes(dir / "fw.bin", file);
  RunResult r = RunSkelvane({"--scan", "fw.bin"}, dir.path());
  EXPECT_EQ(r.out, listing);
  EXPECT_EQ(r.status, 0);
  std::thread writer = FeedFifo(dir / "fifo", file);
  r = RunSkelvane({"--scan", "fifo"}, dir.path());
  writer.join();
  EXPECT_EQ(r.out, listing);
  EXPECT_EQ(r.status, 0);
  // --offset auto finds the image in a pipe, which cannot give it again.
  std::filesystem::remove(dir / "fifo");
  writer = FeedFifo(dir / "fifo", file);
  r = RunSkelvane({"--offset", "auto", "fifo", "out"}, dir.path());
  writer.join();
  EXPECT_EQ(r.out, "Image found at offset 1001\nRead image infos failed, size: 0\n");
  EXPECT_EQ(r.status, 255);
  // A false ident and an ident without a whole header are no image, for
  // --offset auto either; a file that cannot be read gets an image's message.
  WriteFileBytes(dir / "none.bin", file.substr(0, 1001) + file.substr(file.size() - 12));
  std::filesystem::create_directory(dir / "d");
  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--scan", "none.bin"}, "No romfs image in none.bin\n"},
           {{"--offset", "auto", "none.bin", "out"}, "No romfs image in none.bin\n"},
           {{"--scan", "missing"}, "\nError: No such file or directory\n\n"},
           {{"--scan", "d"}, "\nError: Is a directory\n\n"},
           {{"--offset", "auto", "d", "out"}, "\nError: Is a directory\n\n"}}) {
    r = RunSkelvane(args, dir.path());
    EXPECT_EQ(r.out, message) << args[1];
    EXPECT_EQ(r.status, 255) << args[1];
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST(Skelvane, HintOnATerminalNamesTheCommandForAnImageInside) {
  ScratchDir dir;
  WriteFileBytes(dir / "fw.bin", FirmwareFile());
  const std::string hint =
      "skelvane: a romfs image starts at byte 4163: try skelvane --all --offset 4163 fw.bin\n";
  // Standard output and the status stay; from an offset, the byte is still
  // counted from the file's start.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"fw.bin", "out"}, {"--offset", "9", "fw.bin"}}) {
    for (const bool terminal : {false, true}) {
      const RunResult r = RunSkelvane(args, dir.path(), {.errTerminal = terminal});
      EXPECT_EQ(r.out, "Image info - wrong ASCII ident\n");
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, terminal ? hint : "");
    }
  }
  // None for an image only past the first 64 MiB, or for an image whose
  // ident holds but whose checksum fails.
  WriteBytesAt(dir / "far.bin", (64 << 20) + 1, ExampleImage());
  std::string bad = ExampleImage();
  bad[40] ^= 1;
  WriteFileBytes(dir / "bad.img", bad + FirmwareFile());
  for (const auto& [image, message] : std::vector<std::pair<std::string, std::string>>{
           {"far.bin", "Image info - wrong ASCII ident\n"},
           {"bad.img", "Image name=rootfs (6)\nImage Checksum Error\n"}}) {
    const RunResult r = RunSkelvane({image}, dir.path(), {.errTerminal = true});
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "") << image;
  }
  EXPECT_EQ(ScanTree(dir.path()).size(), 3u);
}

TEST(Skelvane, ScanLinesAndHintsShowNamesSafely) {
  ScratchDir dir;
  // A volume name that would forge a second image's line, escaped as the
  // listing escapes names, on a terminal or not.
  std::vector<Entry> root = {HardLink("h")};
  const std::string image = BuildImage("rootfs\n0 1048576 \\rootfs", root);
  WriteFileBytes(dir / "h.img", image);
  for (const auto out : {RunOptions::Out::kPipe, RunOptions::Out::kTerminal}) {
    const RunResult r = RunSkelvane({"--scan", "h.img"}, dir.path(), {.out = out});
    EXPECT_EQ(r.out, "0 " + std::to_string(image.size()) + " rootfs\\0120 1048576 \\134rootfs\n");
    EXPECT_EQ(r.status, 0);
  }
  // A name in a suggested command is quoted as the shell reads it back, and
  // what would drive the terminal is escaped there.
  auto bashReads = [&](const std::string& quoted) {
    return RunSkelvane({"-c", "printf %s " + quoted}, dir.path(), {.program = "/bin/bash"}).out;
  };
  for (const auto& [name, quoted] : std::vector<std::pair<std::string, std::string>>{
           {"fw.bin", "fw.bin"},
           {"my fw's.bin", "'my fw'\\''s.bin'"},
           {"fw\x1b]0;x\x07 \xc2\x9b'\\.bin", "$'fw\\033]0;x\\007 \\302\\233\\'\\134.bin'"}}) {
    EXPECT_EQ(bashReads(quoted), name);
    WriteFileBytes(dir / name, FirmwareFile());
    RunResult r = RunSkelvane({name, "out"}, dir.path(), {.errTerminal = true});
    EXPECT_EQ(r.err,
              "skelvane: a romfs image starts at byte 4163: try skelvane --all --offset 4163 " +
                  quoted + "\n");
    EXPECT_EQ(r.status, 255);
    r = RunSkelvane({"h.img", name + "2"}, dir.path(), {.errTerminal = true});
    const std::string target =
        quoted.ends_with("bin") ? quoted + "2" : quoted.substr(0, quoted.size() - 1) + "2'";
    EXPECT_EQ(r.err, "skelvane: --all unpacks the rest of this image: remove " + target +
                         ", then run skelvane --all h.img " + target + "\n");
    EXPECT_EQ(bashReads(target), name + "2");
    std::filesystem::remove_all(dir / (name + "2"));
  }
}

TEST(Skelvane, UnpacksTheSampleImage) {
  // Alone, and inside a larger file at an odd offset, after bytes that hold
  // the magic too: it reads as if cut out, and nothing before it is read.
  // (What follows it counts where the volume's checksum covers it.)
  ScratchDir dir;
  std::string image = ReadFileBytes(SAMPLE_IMAGE);
  image.resize(std::max<size_t>(image.size(), 512), '\0');
  const std::string before = "-rom1fs-" + std::string(993, '\xff');
  WriteFileBytes(dir / "fw.bin", before + image + "-rom1fs- after");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{SAMPLE_IMAGE, "sample-out"},
                                             {"--offset", "1001", "fw.bin", "sample-out"},
                                             {"--offset=0x3E9", "fw.bin", "sample-out"},
                                             {"--offset", "0X3e9", "fw.bin", "sample-out"},
                                             {"--offset", "auto", "fw.bin", "sample-out"}}) {
    std::filesystem::remove_all(dir / "sample-out");
    const RunResult r = RunSkelvane(args, dir.path());
    const std::string found = args[1] == "auto" ? "Image found at offset 1001\n" : "";
    EXPECT_EQ(r.out, found + "Image name=sample (6)\nUNPACKING ROMFS IMAGE " +
                         args[args.size() - 2] +
                         " to sample-out...\n"
                         "[.] \n"
                         "[..] \n"
                         "[bin] \n"
                         "...[.] \n"
                         "...[..] \n"
                         "...hello (43) (X)\n"
                         "...hi <SYMBOLIC LINK> (5) \n"
                         "README (52) \n"
                         "\nRESOLVING SYMBOLIC LINKS...\n"
                         "-> create symbolic link sample-out\\bin\\hi with hello (done)\n"
                         "\nDONE. (1 symbolic links, 0 unresolved)\n");
    EXPECT_EQ(r.status, 0);
    Tree left = ScanTree(dir.path());
    left.erase("fw.bin");
    EXPECT_EQ(
        left,
        (Tree{{"sample-out", "dir"},
              {"sample-out/README", "file:This tree was unpacked from sample.img by skelvane.\n"},
              {"sample-out/bin", "dir"},
              {"sample-out/bin/hello", "file:#!/bin/sh\necho hello from the sample image\n"},
              {"sample-out/bin/hi", "link:hello"}}));
  }
  // At the very end the image is empty; past it, there is none.
  const std::string size = std::to_string(before.size() + image.size() + 14);
  RunResult r = RunSkelvane({"--offset", size, "fw.bin", "end"}, dir.path());
  EXPECT_EQ(r.out, "Read image infos failed, size: 0\n");
  EXPECT_EQ(r.status, 255);
  for (const auto& [offset, shown] : std::vector<std::pair<std::string, std::string>>{
           {std::to_string(std::stoull(size) + 1), std::to_string(std::stoull(size) + 1)},
           {"0x10000000000000000", "18446744073709551615"}}) {
    r = RunSkelvane({"--offset=" + offset, "fw.bin", "past"}, dir.path());
    EXPECT_EQ(r.out, "\nOffset past the end of the image: " + shown + "\n");
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "end"));
  EXPECT_FALSE(std::filesystem::exists(dir / "past"));
}

}  // namespace
