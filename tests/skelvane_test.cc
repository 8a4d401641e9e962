// The command line and the run as a whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>

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
    EXPECT_EQ(r.err, "skelvane: interrupted: out is incomplete\n");
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
  // CSI as a C1 control, in UTF-8, as one byte and in overlong forms,
  // beside UTF-8 in several scripts that stays as it is.
  const std::string esc =
      "a\x1b]0;x\x07"
      "b\x7f\xc2\x9b"
      "2J\xc3\xa9\xc2\xa0\x9b"
      "1m";
  const std::string dir =
      "d\x1b[2J \u4e2d\u6587\u6587\u4ef6 \u041f\u0440\u0438\u0432\u0435\u0442 a\u2014b \xc0\x9b "
      "\xe0\x80\x9b";
  std::vector<Entry> root = {File(esc, "f"), Dir(dir, {Link("l\n", "t\x01\x1f\x80")})};
  const std::string image = BuildImage("v\x1b[31m", root);
  for (const auto out : {RunOptions::Out::kPipe, RunOptions::Out::kTerminal}) {
    const bool terminal = out == RunOptions::Out::kTerminal;
    const auto shown = [&](const std::string& raw, const std::string& onTerminal) {
      return terminal ? onTerminal : raw;
    };
    const std::string dirShown = shown(
        dir, "d?[2J \u4e2d\u6587\u6587\u4ef6 \u041f\u0440\u0438\u0432\u0435\u0442 a\u2014b ?? ???");
    ScratchDir scratch;
    WriteFileBytes(scratch / "i.img", image);
    const RunResult r = RunSkelvane({"i.img", "out"}, scratch.path(), {.out = out});
    EXPECT_EQ(r.out, "Image name=" + shown("v\x1b[31m", "v?[31m") +
                         " (6)\nUNPACKING ROMFS IMAGE i.img to out...\n" +
                         shown(esc, "a?]0;x?b??2J\xc3\xa9\xc2\xa0?1m") + " (1) \n[" + dirShown +
                         "] \n..." + shown("l\n", "l?") +
                         " <SYMBOLIC LINK> (4) \n\nRESOLVING SYMBOLIC LINKS...\n"
                         "-> create symbolic link out\\" +
                         dirShown + "\\" + shown("l\n", "l?") + " with " +
                         shown("t\x01\x1f\x80", "t???") +
                         " (done)\n\nDONE. (1 symbolic links, 0 unresolved)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ScanTree(scratch / "out"),
              (Tree{{esc, "file:f"}, {dir, "dir"}, {dir + "/l\n", "link:t\x01\x1f\x80"}}));
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
      EXPECT_EQ(r.err,
                "skelvane: --all unpacks the rest of this image: remove out, "
                "then run skelvane --all image.img out\n");
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
  EXPECT_EQ(all.Run(image).err, "skelvane: 1 link not made (the trace says why)\n");
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
      "Usage: skelvane [--all] [--offset N|auto] romfsImage [target directory]\n"))
      << r.out;
  EXPECT_TRUE(r.out.ends_with(
      "\nManual: man skelvane; in a clone, man ./doc/skelvane.1 (skelvane.html on\nWindows)\n"))
      << r.out;
  // Every option, each at the start of its line, and what the statuses mean.
  for (const std::string option :
       {"--all", "--offset N", "--offset auto", "--list", "--scan", "--tar FILE",
        "--include PATTERN, --exclude PATTERN\n", "--cat PATH", "--json"})
    EXPECT_NE(r.out.find("  " + option), std::string::npos) << option;
  EXPECT_NE(r.out.find("\n       skelvane --scan [--json] file\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nExit status: 0 done "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" 255 for an\nerror "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("a signal's status when interrupted"), std::string::npos) << r.out;
  EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 45);
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

TEST(Skelvane, PipeAsImageIsReadAsTheFile) {
  // Standard input ("-") and a FIFO by name are kept in a scratch file, in
  // every mode: the same output as the file's, and the same tree.
  ScratchDir dir;
  const std::string image = ExampleImage(), firmware = FirmwareFile();
  WriteFileBytes(dir / "image.img", image);
  WriteFileBytes(dir / "fw.bin", firmware);
  std::string listing;
  const std::string scanned = ScanFile(listing);
  WriteFileBytes(dir / "scan.bin", scanned);
  struct Case {
    std::vector<std::string> args;  // "NAME" stands for the image's name
    std::string file, bytes;
  };
  for (const Case& c :
       std::vector<Case>{{{"NAME", "out"}, "image.img", image},
                         {{"--all", "--offset", "auto", "NAME", "out"}, "fw.bin", firmware},
                         {{"--list", "NAME"}, "image.img", image},
                         {{"--list", "--offset", "4163", "NAME"}, "fw.bin", firmware},
                         {{"--scan", "NAME"}, "scan.bin", scanned}}) {
    auto named = [&](const std::string& name) {
      std::vector<std::string> args = c.args;
      std::replace(args.begin(), args.end(), std::string("NAME"), name);
      return args;
    };
    std::filesystem::remove_all(dir / "out");
    const RunResult expected = RunSkelvane(named(c.file), dir.path());
    const Tree tree = ScanTree(dir / "out");
    EXPECT_EQ(expected.status, 0) << c.file;
    for (const bool fifo : {false, true}) {
      std::filesystem::remove_all(dir / "out");
      std::filesystem::remove(dir / "fifo");
      std::thread writer;
      if (fifo) writer = FeedFifo(dir / "fifo", c.bytes);
      const std::string name = fifo ? "fifo" : "-";
      const RunResult r = RunSkelvane(named(name), dir.path(),
                                      {.input = fifo ? std::nullopt : std::optional(c.bytes)});
      if (writer.joinable()) writer.join();
      std::string out = expected.out;
      const std::string from = " IMAGE " + c.file + " to";
      if (out.find(from) != std::string::npos)
        out.replace(out.find(from), from.size(), " IMAGE " + name + " to");
      EXPECT_EQ(r.out, out) << name << " " << c.file;
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(ScanTree(dir / "out"), tree);
    }
  }
  // The example, checked on its own: the whole trace and tree.
  std::filesystem::remove_all(dir / "out");
  RunResult r = RunSkelvane({"-", "out"}, dir.path(), {.input = image});
  EXPECT_EQ(r.out, ExampleTrace("-", "out", false));
  EXPECT_EQ(r.err, "");
  Tree example;  // the example's tree, inside its target
  for (const auto& [path, what] : kExampleTree)
    if (path != "ROMFS") example[path.substr(path.find('/') + 1)] = what;
  EXPECT_EQ(ScanTree(dir / "out"), example);
#ifndef __SANITIZE_ADDRESS__
  // A large image through a pipe goes to disk, not to memory: the program
  // gets 8 MiB of address space, all its memory included.
  std::vector<Entry> root = {File("big", std::string(48 << 20, 'b'))};
  std::filesystem::remove_all(dir / "out");
  r = RunSkelvane({"-", "out"}, dir.path(),
                  {.memoryLimit = 8 << 20, .input = BuildImage("big", root)});
  EXPECT_EQ(r.out,
            "Image name=big (3)\nUNPACKING ROMFS IMAGE - to out...\nbig (50331648) "
            "\n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::filesystem::file_size(dir / "out/big"), 48u << 20);
#endif
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
  // --offset auto finds the image in a pipe, which is kept to be read again.
  std::filesystem::remove(dir / "fifo");
  writer = FeedFifo(dir / "fifo", file);
  r = RunSkelvane({"--offset", "auto", "fifo", "out"}, dir.path());
  writer.join();
  EXPECT_EQ(r.out,
            "Image found at offset 1001\nImage name=first (5)\nUNPACKING ROMFS IMAGE fifo "
            "to out...\ninner.img (512) \n\nDONE.\n");
  EXPECT_EQ(r.status, 0);
  const Tree fromPipe = ScanTree(dir / "out");
  std::filesystem::remove_all(dir / "out");
  r = RunSkelvane({"--offset", "auto", "fw.bin", "out"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(fromPipe, ScanTree(dir / "out"));
  std::filesystem::remove_all(dir / "out");
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
  const std::string hint = "skelvane: a romfs image starts at byte 4163: try skelvane ";
  // Standard output and the status stay; from an offset, the byte is still
  // counted from the file's start. The command keeps the target and the mode.
  for (const auto& [args, command] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"fw.bin", "out"}, "--all --offset 4163 fw.bin out"},
           {{"--offset", "9", "fw.bin"}, "--all --offset 4163 fw.bin"},
           {{"--list", "fw.bin"}, "--list --offset 4163 fw.bin"}}) {
    for (const bool terminal : {false, true}) {
      const RunResult r = RunSkelvane(args, dir.path(), {.errTerminal = terminal});
      EXPECT_EQ(r.out, "Image info - wrong ASCII ident\n");
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, hint + command + "\n");
    }
  }
  // Where no image is near: how to find one. None for an image whose ident
  // holds but whose checksum fails.
  WriteBytesAt(dir / "far.bin", (64 << 20) + 1, ExampleImage());
  std::string bad = ExampleImage();
  bad[40] ^= 1;
  WriteFileBytes(dir / "bad.img", bad + FirmwareFile());
  for (const auto& [image, message, err] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"far.bin", "Image info - wrong ASCII ident\n",
            "skelvane: far.bin: no romfs image at offset 0: skelvane --scan far.bin lists where "
            "images are\n"},
           {"bad.img", "Image name=rootfs (6)\nImage Checksum Error\n", ""}}) {
    const RunResult r = RunSkelvane({image}, dir.path(), {.errTerminal = true});
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, err) << image;
  }
  EXPECT_EQ(ScanTree(dir.path()).size(), 3u);
}

TEST(Skelvane, StandardErrorNamesWhatFailedAndTheNextStep) {
  // Standard output stays as it was; standard error, a file here, gets a
  // line, and nothing when it is the file standard output is (2>&1).
  ScratchDir dir;
  std::filesystem::create_directory(dir / "d");
  std::filesystem::create_directory(dir / "there");
  WriteFileBytes(dir / "image.img", ExampleImage());
  WriteFileBytes(dir / "junk.bin", std::string(4096, 'j'));
  const std::string usage = "skelvane: unknown option --foo: skelvane --help lists them\n";
  for (const auto& [args, out, err] :
       std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
           {{"nosuch.img"},
            "\nError: No such file or directory\n\n",
            "skelvane: cannot open nosuch.img: No such file or directory\n"},
           {{"d", "out"},
            "Read image infos failed, size: 0\n",
            "skelvane: d is a directory, not an image\n"},
           {{"--scan", "d"},
            "\nError: Is a directory\n\n",
            "skelvane: d is a directory, not an image\n"},
           {{"junk.bin"},
            "Image info - wrong ASCII ident\n",
            "skelvane: junk.bin: no romfs image at offset 0: skelvane --scan junk.bin lists "
            "where images are\n"},
           {{"image.img", "there"},
            "Image name=rootfs (6)\nUNPACKING ROMFS IMAGE image.img to there...\n\nError "
            "creating directory: File exists\n\nUnable to create new directory for unpacking "
            "archive: there\n",
            "skelvane: there exists: remove it, or name another target directory\n"},
           {{"--foo", "a", "b", "c"}, kUsage, usage},
           {{"--all", "--foo", "a", "b"}, kUsage, usage},
           {{"--foo", "out"}, "\nError: No such file or directory\n\n", usage},
           {{"--all", "--all", "a"},
            kUsage,
            "skelvane: misplaced option --all: skelvane --help lists them\n"},
           {{"--scan", "--offset", "auto", "a"},
            kUsage,
            "skelvane: misplaced option --offset: skelvane --help lists them\n"},
           {{"--all", "--scan", "a"},
            kUsage,
            "skelvane: misplaced option --scan: skelvane --help lists them\n"},
           {{"a", "b", "c"}, kUsage, "skelvane: too many arguments: skelvane --help tells which\n"},
           {{}, kUsage, "skelvane: no image named: skelvane --help tells how to name one\n"}}) {
    for (const bool errToOut : {false, true}) {
      const RunResult r = RunSkelvane(args, dir.path(), {.errToOut = errToOut});
      EXPECT_EQ(r.out, out) << testing::PrintToString(args);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, errToOut ? "" : err) << testing::PrintToString(args);
    }
  }
  Tree left = ScanTree(dir.path());
  EXPECT_EQ(left.size(), 4u);  // d, there, and the two files
  EXPECT_EQ(left["there"], "dir");
}

TEST(Skelvane, SaysWhatWasLeftOutOfARunThatSucceeded) {
  Entry fifo = File("p", "");
  fifo.type = 7;
  std::vector<Entry> root = {File("f", "x"), HardLink("h"), fifo, fifo};
  root[3].name = "q";
  Unpack u{.options = {"--all"}};
  RunResult r = u.Run("vol", root);
  EXPECT_EQ(r.out, kHead +
                       "f (1) \n[h] \np <FIFO> \nq <FIFO> \n\nRESOLVING LINKS...\n-> create "
                       "hard link out\\h with 0x0 (ERROR!!!)\n\nDONE. (0 symbolic links, 1 hard "
                       "links, 1 unresolved, 2 special files not made)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "skelvane: 1 link not made (the trace says why)\n"
            "skelvane: 2 special files not made: skelvane --tar keeps them\n");
  EXPECT_EQ(u.Tree(), (Tree{{"f", "file:x"}}));
  // Nothing left out: nothing said.
  Unpack whole{.options = {"--all"}};
  std::vector<Entry> plain = {File("f", "x")};
  r = whole.Run("vol", plain);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// A file whose every 16 bytes start an image that declares almost 4 GiB:
// from a pipe, each waits for the end of the file.
std::string PeriodicFile(size_t size) {
  uint8_t period[16];
  memcpy(period, "-rom1fs-", 8);
  const uint32_t declared = 0xFFFFFF00;  // its zero byte ends the volume name
  uint32_t sum = 0;
  for (size_t at = 0; at < 8; at += 4)
    sum += static_cast<uint32_t>(period[at] << 24 | period[at + 1] << 16 | period[at + 2] << 8 |
                                 period[at + 3]);
  // 32 periods make the 512 bytes the checksum covers.
  const uint32_t checksum = 0u - sum - declared;
  for (int i = 0; i < 4; ++i) {
    period[8 + i] = static_cast<uint8_t>(declared >> (24 - 8 * i));
    period[12 + i] = static_cast<uint8_t>(checksum >> (24 - 8 * i));
  }
  std::string file;
  file.reserve(size);
  while (file.size() < size) file.append(reinterpret_cast<const char*>(period), sizeof period);
  return file;
}

TEST(Skelvane, ClosedPipeEndsAListingQuietly) {
  // Where standard output is the product, a reader that has gone ends the
  // run as it ends cat: by SIGPIPE, nothing said. Found by --offset auto, the
  // image's offset is said on standard error, not in the listing.
  ScratchDir dir;
  std::string listing;
  WriteFileBytes(dir / "scan.bin", ScanFile(listing));
  std::vector<Entry> root = ManyFiles(listing, "");
  const std::string image = BuildImage("vol", root);
  WriteFileBytes(dir / "big.img", image);
  WriteFileBytes(dir / "fw.bin", "-rom1fs-" + std::string(8, 'x') + image);
  std::vector<Entry> one = {File("f", "line\n" + std::string(1 << 20, 'x'))};
  WriteFileBytes(dir / "one.img", BuildImage("vol", one));
  for (const auto& args : std::vector<std::vector<std::string>>{{"--list", "big.img"},
                                                                {"--scan", "scan.bin"},
                                                                {"--list", "--json", "big.img"},
                                                                {"--scan", "--json", "scan.bin"},
                                                                {"--cat", "f", "one.img"}}) {
    RunResult r = RunSkelvane(args, dir.path(), {.out = RunOptions::Out::kReaderGone});
    EXPECT_EQ(r.status, 128 + SIGPIPE) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
  // As a shell runs it: head prints one line and leaves, and the status is
  // the signal's. (The listing and the scan fill the pipe many times over.)
  std::vector<Entry> many;
  for (int i = 0; i < 20000; ++i) many.push_back(File("f" + std::to_string(i), ""));
  WriteFileBytes(dir / "many.img", BuildImage("vol", many));
  WriteFileBytes(dir / "periodic.bin", PeriodicFile(1 << 20));
  for (const auto& [args, line] : std::vector<std::pair<std::string, std::string>>{
           {"--list many.img", "--          0 f0\n"},
           {"--scan periodic.bin",
            "0 4294967040 -rom1fs-\xff\xff\xff (cut short: 1048576 bytes in the file)\n"},
           {"--cat f one.img", "line\n"}}) {
    const RunResult r =
        RunSkelvane({"-c", "\"$0\" " + args + " | head -1; exit ${PIPESTATUS[0]}", SKELVANE_PATH},
                    dir.path(), {.program = "/bin/bash"});
    EXPECT_EQ(r.out, line);
    EXPECT_EQ(r.status, 128 + SIGPIPE) << args;
    EXPECT_EQ(r.err, "") << args;
  }
  RunResult r = RunSkelvane({"--list", "--offset", "auto", "fw.bin"}, dir.path());
  EXPECT_EQ(r.out, RunSkelvane({"--list", "big.img"}, dir.path()).out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "skelvane: Image found at offset 16\n");
  EXPECT_EQ(ScanTree(dir.path()).size(), 6u);
}

TEST(Skelvane, ScanOfAPipeWaitsOnDisk) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's memory is not the program's";
#endif
  ScratchDir dir;
  const std::string file = PeriodicFile(16 << 20);
  WriteFileBytes(dir / "periodic.bin", file);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--scan", "NAME"}, {"--offset", "auto", "NAME", "out"}}) {
    std::vector<std::string> named = args;
    std::replace(named.begin(), named.end(), std::string("NAME"), std::string("periodic.bin"));
    const RunResult expected = RunSkelvane(named, dir.path(), {.timeLimit = 60});
    std::filesystem::remove_all(dir / "out");
    std::replace(named.begin(), named.end(), std::string("periodic.bin"), std::string("-"));
    // 8 MiB of address space, all the program's memory included.
    const RunResult r =
        RunSkelvane(named, dir.path(), {.timeLimit = 60, .memoryLimit = 8 << 20, .input = file});
    std::string out = expected.out;
    const std::string from = "IMAGE periodic.bin to";
    if (out.find(from) != std::string::npos) out.replace(out.find(from), from.size(), "IMAGE - to");
    EXPECT_TRUE(r.out == out) << args[0] << ": " << r.out.size() << " bytes, not " << out.size();
    EXPECT_EQ(r.status, expected.status);
    std::filesystem::remove_all(dir / "out");
    if (args[0] != "--scan") continue;
    // Every image was listed, each cut short.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), (16 << 20) / 16);
    EXPECT_TRUE(r.out.starts_with(
        "0 4294967040 -rom1fs-\xff\xff\xff (cut short: 16777216 bytes in the file)\n16 "));
  }
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
                  quoted + " out\n");
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
