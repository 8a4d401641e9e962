// skelvane: unpacks a romfs image into a directory tree, with a trace of
// every entry on standard output.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "image/scan.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/tell.h"
#include "platform/trace.h"
#include "unpack/archive.h"
#include "unpack/cat.h"
#include "unpack/extract.h"
#include "unpack/json.h"
#include "unpack/links.h"
#include "unpack/list.h"
#include "unpack/options.h"
#include "unpack/pattern.h"
#include "unpack/progress.h"

namespace {

std::string archiveName = "ROMFS";

// What the command line asks for besides the unpack's own choices.
struct CommandLine {
  UnpackOptions unpack;
  // --offset: where the image starts in the file; auto: where the first
  // image that --scan lists starts.
  uint64_t offset = 0;
  bool offsetAuto = false;
  // --list: a line per entry, nothing created.
  bool list = false;
  // --scan: the images in the file, one a line; nothing unpacked.
  bool scan = false;
  // --json: the listing's or the scan's lines as JSON objects.
  bool json = false;
  // --tar FILE: the image as an archive, into FILE ("-": standard output).
  bool tar = false;
  std::string tarFile;
  // --cat PATH...: those files' bytes, one after another, on standard output.
  std::vector<std::string> cats;
  // --include and --exclude: the patterns, as given.
  std::vector<std::string> includes, excludes;

  // Standard output is what the run makes (a listing, an archive, a file's
  // bytes), not a trace.
  bool Product() const { return list || tar || !cats.empty(); }
};

constexpr size_t kMaxArgument = 254;

// What was wrong with the arguments, for the line on standard error beside
// the usage text: an option unknown, given twice or out of place, else the
// count.
std::string WhatIsWrong(int argc, char** argv) {
  const std::string known[] = {"--all", "--list",    "--scan",    "--offset", "--json",   "--tar",
                               "--cat", "--include", "--exclude", "--help",   "--version"};
  std::vector<std::string> seen;
  for (int at = 1; at < argc; ++at) {
    const std::string argument = argv[at];
    if (!argument.starts_with("-") || argument == kStandardInputName) continue;
    const std::string name = argument.substr(0, argument.find('='));
    if (std::find(std::begin(known), std::end(known), name) == std::end(known))
      return "unknown option " + argument + ": skelvane --help lists them";
    const bool twice = std::find(seen.begin(), seen.end(), name) != seen.end();
    const bool alone = (name == "--help" || name == "--version") && argc > 2;
    // --scan takes no other option.
    const bool scanned = std::find(seen.begin(), seen.end(), "--scan") != seen.end();
    const bool besideScan = name == "--scan" ? !seen.empty() : scanned;
    if (twice || alone || besideScan)
      return "misplaced option " + argument + ": skelvane --help lists them";
    seen.push_back(name);
    if (name == "--offset" && argument == name) ++at;  // its value
  }
  return argc < 2 ? "no image named: skelvane --help tells how to name one"
                  : "too many arguments: skelvane --help tells which";
}

[[noreturn]] void usage(int argc, char** argv) {
  const char* programName = argc > 0 && argv[0] ? argv[0] : "skelvane";
  TellIfFatal(WhatIsWrong(argc, argv));
  Fatal(
      "skelvane (v1.1, orvenk, 2003/09)\n"
      "\nUSAGE: %s romfsImage [target directory] [ > traceFile]\n"
      "Function: extract files from a romfs image to ROMFS (default) or specified target "
      "directory.\n"
      "Symbolic link files will be created as windows shortcuts. Using tollbrae tool to create a "
      "romfs image, shortcuts will be stored as romfs symbolic links files.\n"
      "In the trace, file size and exec flag (X) will be displayed for each file.\n"
      "!!! USE AT YOUR OWN RISKS !!!\n",
      programName);
}

// The answer to --help: what a first-time user needs, the manual has the rest.
constexpr char kHelp[] =
    "Usage: skelvane [--all] [--offset N|auto] romfsImage [target directory]\n"
    "       skelvane --list [--json] [--offset N|auto] romfsImage\n"
    "       skelvane --scan [--json] file\n"
    "       skelvane --tar FILE | --cat PATH [--offset N|auto] romfsImage\n"
    "       skelvane --help | --version      (on Windows, /? is --help too)\n"
    "\n"
    "  --all           hard links too, links without limit; special files listed\n"
    "  --offset N      the image starts N bytes into the file (decimal, or 0x and\n"
    "                  hex)\n"
    "  --offset auto   where the first image that --scan lists starts\n"
    "  --list          create nothing: a line per entry (type, size, path), read\n"
    "                  as --all reads it\n"
    "  --scan          the romfs images in the file, one a line: offset, size and\n"
    "                  volume name (read in sequence: a pipe will do)\n"
    "  --tar FILE      the image as a pax archive, devices kept (\"-\" for\n"
    "                  standard output)\n"
    "  --include PATTERN, --exclude PATTERN\n"
    "                  only the paths that match (shell pattern, repeatable)\n"
    "  --cat PATH      one file's bytes to standard output\n"
    "  --json          with --list or --scan: one JSON object per line\n"
    "\n"
    "Unpacks a romfs image (a file that starts with \"-rom1fs-\") into a new\n"
    "directory tree: the target directory, ROMFS by default, must not exist yet.\n"
    "Files keep their bytes and, where the system has the bit, their exec flag;\n"
    "symbolic links are made last (as shortcuts on Windows). Nothing is\n"
    "overwritten, and the image is only read. The image - is standard input;\n"
    "a pipe is kept in a temporary file while it is read.\n"
    "\n"
    "The trace on standard output lists every entry in the image's order, depth\n"
    "first, three full stops per level: [name] for a directory or hard link,\n"
    "name (size) for a file, name <SYMBOLIC LINK> (length) for a link, (X) for\n"
    "the exec flag; then a line for each link made, and DONE. An error message\n"
    "is the last line of the trace; standard error says what to do next.\n"
    "\n"
    "Exit status: 0 done (links that could not be made are counted); 255 for an\n"
    "error (-1 as Windows shows it); a signal's status when interrupted, or when\n"
    "the reader of a listing goes away (141 for a closed pipe, as cat).\n"
    "\n"
    "Manual: man skelvane; in a clone, man ./doc/skelvane.1 (skelvane.html on\n"
    "Windows)\n";

// Prints text as the whole output of the run and ends it.
[[noreturn]] void Answer(const char* text) {
  Trace("%s", text);
  exit(FinishTrace() ? 0 : -1);
}

// The offset as given: decimal, or hexadecimal after 0x; a value too large
// for any file becomes the largest, which lies past the end of every image.
uint64_t ParseOffset(const std::string& text) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const unsigned base = hex ? 16 : 10;
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) Fatal("\nOffset is not a number: %s\n", text.c_str());
  uint64_t value = 0;
  for (const char c : digits) {
    unsigned digit = base;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    if (digit >= base) Fatal("\nOffset is not a number: %s\n", text.c_str());
    value = value > (UINT64_MAX - digit) / base ? UINT64_MAX : value * base + digit;
  }
  return value;
}

// The options that take a value, as "--name value" or "--name=value".
constexpr const char* kValued[] = {"--offset", "--tar", "--cat", "--include", "--exclude"};

// Reads the options that lead the arguments into options and returns the
// index of the first argument after them. They are options only when an
// image name follows them; otherwise every argument is read as without
// options, and 1 is returned.
int ReadOptions(int argc, char** argv, CommandLine& options) {
  int all = 0, offsets = 0, scans = 0, lists = 0, jsons = 0, tars = 0, at = 1;
  std::string offset;
  while (at < argc) {
    const std::string argument = argv[at];
    std::string name = argument, value;
    bool valued = false;
    for (const char* option : kValued) {
      if (argument.starts_with(std::string(option) + "=")) {
        name = option;
        value = argument.substr(name.size() + 1);
        valued = true;
      } else if (argument == option && at + 1 < argc) {
        value = argv[++at];
        valued = true;
      }
    }
    if (name == "--all" && !valued) {
      ++all;
    } else if (name == "--scan" && !valued) {
      ++scans;
    } else if (name == "--list" && !valued) {
      ++lists;
    } else if (name == "--json" && !valued) {
      ++jsons;
    } else if (name == "--offset" && valued) {
      ++offsets;
      offset = value;
    } else if (name == "--tar" && valued) {
      ++tars;
      options.tarFile = value;
    } else if (name == "--cat" && valued) {
      options.cats.push_back(value);
    } else if (name == "--include" && valued) {
      options.includes.push_back(value);
    } else if (name == "--exclude" && valued) {
      options.excludes.push_back(value);
    } else {
      if (valued) --at;  // a value without its image: read as without options
      break;
    }
    at += 1;
  }
  if (at == 1 || at >= argc) return 1;
  options.scan = scans == 1;
  options.unpack.all = all == 1;
  options.list = lists == 1;
  options.json = jsons == 1;
  options.tar = tars == 1;
  const bool cat = !options.cats.empty();
  const bool selects = !options.includes.empty() || !options.excludes.empty();
  // One mode at a time; --scan takes the file alone, or with --json; --json
  // goes with a listing or a scan; a selection with what makes or lists
  // entries.
  const int modes = scans + lists + tars + (cat ? 1 : 0);
  if (all > 1 || offsets > 1 || scans > 1 || lists > 1 || jsons > 1 || tars > 1 || modes > 1 ||
      (scans == 1 && (at != 2 + jsons || argc != at + 1)) || (jsons == 1 && scans + lists == 0) ||
      (all == 1 && modes > 0) || (selects && (scans == 1 || cat)))
    usage(argc, argv);
  options.offsetAuto = offsets == 1 && offset == "auto";
  if (offsets == 1 && !options.offsetAuto) options.offset = ParseOffset(offset);
  return at;
}

// The command that unpacks the whole image, for the hint of a run that
// stops at what only --all unpacks.
std::string Rerun(const CommandLine& options, const std::string& image, bool targetGiven) {
  std::string command = "skelvane --all";
  if (options.offset != 0) command += " --offset " + std::to_string(options.offset);
  command += " " + QuotedForShell(image);
  if (targetGiven) command += " " + QuotedForShell(archiveName);
  return command;
}

bool LengthAccepted(const char* argument) {
  const size_t length = strlen(argument);
  return length >= 1 && length <= kMaxArgument;
}

// Before a run reads the file: a directory fails as no image does (on
// POSIX, at its first read), and is named so.
void TellIfDirectory(const std::string& fileName) {
  bool directory = false;
  if (SomethingExistsAt(fileName, &directory) && directory)
    TellIfFatal(fileName + " is a directory, not an image");
}

// The file cannot be opened or read: the message of an image that cannot.
// An option the run did not take is named as one.
[[noreturn]] void CannotRead(const std::string& fileName) {
  const std::string text = GetLastErrorString();  // before anything else is asked
  bool directory = false;
  if (!SomethingExistsAt(fileName, &directory) && fileName.starts_with("-") &&
      fileName != kStandardInputName)
    TellIfFatal("unknown option " + fileName + ": skelvane --help lists them");
  else if (!directory)  // a directory's line is set already
    TellIfFatal("cannot open " + fileName + ": " +
                text.substr(0, text.find_last_not_of("\r\n") + 1));
  Fatal("\nError: %s\n", text.c_str());
}

[[noreturn]] void NoImageIn(const std::string& fileName) {
  Fatal("No romfs image in %s\n", fileName.c_str());
}

// The message that ends a run, without the line ends the trace puts around it.
std::string_view Bare(std::string_view message) {
  const size_t start = std::min(message.find_first_not_of('\n'), message.size());
  const size_t end = message.find_last_not_of('\n') + 1;
  return message.substr(start, std::max(end, start) - start);
}

// --json: the message that ends a run as a JSON line.
std::string JsonMessage(std::string_view message) {
  return JsonErrorLine(Bare(message));
}

// --tar and --cat: the message goes to standard error, standard output
// holding the archive's or the file's bytes.
std::string MessageToStandardError(std::string_view message) {
  Tell("%s", std::string(Bare(message)).c_str());
  return "";
}

// --scan: a line for each image in the file, in file order; a JSON object
// each with json.
int ListImagesIn(const std::string& fileName, bool json) {
  TraceIsProduct();
  TellIfDirectory(fileName);
  hImage = OpenImageFile(fileName.c_str());
  if (!hImage) CannotRead(fileName);
  bool any = false;
  const bool read = ScanForImages(hImage, UINT64_MAX, [&](const FoundImage& image) {
    any = true;
    if (json) {
      TraceText(JsonScanLine(image));
      FlushTraceWhenDue();
      return true;
    }
    // Escaped as the listing's names are, so that every line reads back.
    Trace("%llu %u %s", static_cast<unsigned long long>(image.offset), image.size,
          Escaped(image.name, TraceToTerminal()).c_str());
    if (image.held < image.size)
      Trace(" (cut short: %llu bytes in the file)", static_cast<unsigned long long>(image.held));
    Trace("\n");
    FlushTraceWhenDue();  // the reading that follows may take long
    return true;
  });
  if (!read) CannotRead(fileName);
  CloseImageFile(hImage);
  hImage = nullptr;
  if (!any) NoImageIn(fileName);
  return FinishTrace() ? 0 : -1;
}

// How far a hint looks for an image in a file that is not one.
constexpr uint64_t kHintScanLimit = uint64_t{64} << 20;

// For a person whose file is not an image there: where it holds one near
// its start, the command that reads it as this run would have; else how to
// find one. The trace stays as it is.
void HintAtImageInside(const std::string& imageName, uint64_t origin, const CommandLine& options,
                       const std::string& target) {
  bool near = false;
  if (SeekImageFile(hImage, 0))
    ScanForImages(hImage, kHintScanLimit, [&](const FoundImage& image) {
      const auto at = static_cast<unsigned long long>(origin + image.offset);
      const char* mode = !options.list ? "--all" : options.json ? "--list --json" : "--list";
      Tell("a romfs image starts at byte %llu: try skelvane %s --offset %llu %s%s%s", at, mode, at,
           QuotedForShell(imageName).c_str(), target.empty() ? "" : " ",
           target.empty() ? "" : QuotedForShell(target).c_str());
      near = true;
      return false;
    });
  if (!near)
    Tell("%s: no romfs image at offset %llu: skelvane --scan %s lists where images are",
         Escaped(imageName, true, false).c_str(), static_cast<unsigned long long>(origin),
         QuotedForShell(imageName).c_str());
}

// Opens the image where the options place it in the file, finding it with
// --offset auto, and checks its volume: the offset of the root's first
// entry header. options.offset is where the image starts.
uint64_t OpenImage(const std::string& imageName, CommandLine& options, const std::string& target) {
  TellIfDirectory(imageName);
  // A pipe is kept in a scratch file: the walk reads the image twice.
  hImage = OpenImageFile(imageName.c_str(), true);
  if (!hImage) CannotRead(imageName);
  if (options.offsetAuto) {
    bool found = false;
    if (!ScanForImages(hImage, UINT64_MAX, [&](const FoundImage& image) {
          options.offset = image.offset;
          found = true;
          return false;
        }))
      CannotRead(imageName);
    if (!found) NoImageIn(imageName);
    // Where standard output is the product, the person is told instead.
    if (options.Product())
      Tell("Image found at offset %llu", static_cast<unsigned long long>(options.offset));
    else
      Trace("Image found at offset %llu\n", static_cast<unsigned long long>(options.offset));
  }
  if (!SetImageOrigin(hImage, options.offset))
    Fatal("\nOffset past the end of the image: %llu\n",
          static_cast<unsigned long long>(options.offset));
  const uint64_t firstHeaderOffset = CheckVolume(
      !options.Product(), [&] { HintAtImageInside(imageName, options.offset, options, target); });
  TellIfFatal("");
  return firstHeaderOffset;
}

// Names each include pattern that matched nothing, once the run has done
// all else, as tar does; false when there was one.
bool AllPatternsMet(const Selection& selection) {
  const std::vector<std::string> unmatched = UnmatchedIncludes(selection);
  for (const std::string& pattern : unmatched) Tell("%s: not in the image", pattern.c_str());
  return unmatched.empty();
}

// The run, from the arguments to the closing line.
int Run(int argc, char** argv) {
  if (argc < 2) usage(argc, argv);
  // Options only as the whole of a lone argument: any other is an image.
  if (argc == 2) {
    const std::string option = argv[1];
    if (option == "--help" || IsSystemHelpOption(option)) Answer(kHelp);
    if (option == "--version") Answer("skelvane " SKELVANE_VERSION "\n");
  }

  CommandLine options;
  const int first = ReadOptions(argc, argv, options);
  const int count = argc - first;
  if (count != 1 && count != 2) usage(argc, argv);
  // A listing, an archive or a file's bytes create no tree, so a target is a mistake.
  if (options.Product() && count != 1) usage(argc, argv);
  // From here on, a JSON product ends in JSON too; an archive or a file's
  // bytes keep the message apart.
  SetMessageForm(options.json                           ? JsonMessage
                 : options.tar || !options.cats.empty() ? MessageToStandardError
                                                        : nullptr);

  if (!LengthAccepted(argv[first]))
    Fatal(
        "\nImage file name too long or too short (make sure it's             less then 254 "
        "characters and greater then 1 character)\n");
  const std::string imageName = argv[first];
  if (options.scan) return ListImagesIn(imageName, options.json);
  if (count == 2) {
    if (!LengthAccepted(argv[first + 1]))
      Fatal(
          "\nArchive file name too long or too short (make sure it's                less then "
          "254 characters and greater then 1 character)\n");
    archiveName = argv[first + 1];
  }

  Selection selection;
  for (const std::string& pattern : options.includes) AddInclude(selection, pattern);
  for (const std::string& pattern : options.excludes) AddExclude(selection, pattern);
  Selection* selected = options.includes.empty() && options.excludes.empty() ? nullptr : &selection;

  if (options.Product()) TraceIsProduct();
  // An archive written to a file leaves standard output unused: the
  // person is told on standard error wherever it goes.
  StandardOutputUnused(options.tar && options.tarFile != kStandardInputName);
  const uint64_t firstHeaderOffset = OpenImage(imageName, options, count == 2 ? archiveName : "");
  StartProgress(
      romfsImageInfo.fullSize,
      options.unpack.all || options.Product() ? "" : Rerun(options, imageName, count == 2),
      archiveName);

  if (options.list) {
    ListImage(firstHeaderOffset, options.offset, selected,
              options.json ? ListForm::kJson : ListForm::kText);
    CloseImageFile(hImage);
    hImage = nullptr;
    return FinishTrace() && AllPatternsMet(selection) ? 0 : -1;
  }
  if (!options.cats.empty()) return CatFiles(firstHeaderOffset, options.cats) ? 0 : -1;
  if (options.tar)
    return ArchiveImage(options.tarFile, firstHeaderOffset, selected) && AllPatternsMet(selection)
               ? 0
               : -1;

  if (SomethingExistsAt(archiveName))
    TellIfFatal(archiveName + " exists: remove it, or name another target directory");
  TellIfInterrupted("interrupted: " + archiveName + " is incomplete");
  Trace("UNPACKING ROMFS IMAGE %s to %s...\n", imageName.c_str(), archiveName.c_str());
  const Unpacked unpacked = UnpackTree(archiveName, firstHeaderOffset, options.unpack, selected);
  TellIfFatal("");

  // Symbolic and hard links, in the order the walk met them; a symbolic
  // link's target is read from the image as its link is made.
  const auto links = static_cast<uint32_t>(type3Link.size());
  uint32_t unresolvedCount = 0;
  if (links != 0) {
    Trace(options.unpack.all ? "\nRESOLVING LINKS...\n" : "\nRESOLVING SYMBOLIC LINKS...\n");
    for (uint32_t i = 0; i < links; ++i)
      unresolvedCount += ResolveLinkFile(i, unpacked.target.get());
  }
  CloseImageFile(hImage);
  hImage = nullptr;

  TellIfInterrupted("");  // the tree is whole
  Trace("\nDONE.");
  if (options.unpack.all)
    Trace(" (%u symbolic links, %u hard links, %u unresolved, %u special files not made)", cntType3,
          cntType0, unresolvedCount, unpacked.specialFiles);
  else if (cntType3 != 0)
    Trace(" (%u symbolic links, %u unresolved)", cntType3, unresolvedCount);
  Trace("\n");
  // A trace that could not be written is a failed run, though the tree is whole.
  if (!FinishTrace()) return -1;
  const bool allMet = AllPatternsMet(selection);
  // What was left out, said once the run is done.
  if (unresolvedCount != 0)
    Tell("%u link%s not made (the trace says why)", unresolvedCount,
         unresolvedCount == 1 ? "" : "s");
  if (unpacked.specialFiles != 0)
    Tell("%u special file%s not made: skelvane --tar keeps them", unpacked.specialFiles,
         unpacked.specialFiles == 1 ? "" : "s");
  return allMet ? 0 : -1;
}

}  // namespace

int main(int argc, char** argv) {
  StartTrace();
  // Memory that cannot be had ends the run as every fatal error does, from
  // wherever it was asked for.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    Fatal("Memory Alloc Error\n");
  }
}
