// skelvane: unpacks a romfs image into a directory tree, with a trace of
// every entry on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "image/image.h"
#include "image/romfs.h"
#include "image/scan.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/options.h"
#include "unpack/path.h"
#include "unpack/progress.h"
#include "unpack/walk.h"

namespace {

std::string archiveName = "ROMFS";
// --offset auto: the image starts where the first image --scan lists does.
bool offsetAuto = false;
// --scan: the run lists the images in the file and unpacks nothing.
bool scanOnly = false;

constexpr size_t kMaxArgument = 254;

[[noreturn]] void usage(const char* programName) {
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
    "Usage: skelvane [--all] [--offset N] romfsImage [target directory] [> traceFile]\n"
    "       skelvane --list [--offset N] romfsImage\n"
    "       skelvane --scan file\n"
    "       skelvane --help | --version      (on Windows, /? is --help too)\n"
    "\n"
    "  --all       hard links too, links without limit; special files only listed\n"
    "  --offset N  the image starts N bytes into the file (decimal, or 0x and hex);\n"
    "              auto: where the first image that --scan lists starts\n"
    "  --list      create nothing: a line per entry (type, size, path), read as\n"
    "              --all reads it\n"
    "  --scan      lists the romfs images in the file, one a line: offset, size\n"
    "              and volume name (it reads in sequence: a pipe will do)\n"
    "\n"
    "Unpacks a romfs image (a file that starts with \"-rom1fs-\") into a new\n"
    "directory tree: the target directory, ROMFS by default, must not exist yet.\n"
    "Files keep their bytes and, where the system has the bit, their exec flag;\n"
    "symbolic links are made last (as shortcuts on Windows). Nothing is\n"
    "overwritten, and the image is only read. The image must be a file that can\n"
    "be seeked, not a pipe.\n"
    "\n"
    "The trace on standard output lists every entry in the image's order, depth\n"
    "first, three full stops per level: [name] for a directory or hard link,\n"
    "name (size) for a file, name <SYMBOLIC LINK> (length) for a link, and (X)\n"
    "for the exec flag; then a line for each link made, and DONE. An error\n"
    "message is the last line of the trace.\n"
    "\n"
    "Exit status: 0 when the whole image was unpacked (links that could not be\n"
    "made are counted as unresolved); 255 for wrong arguments, a bad image, an\n"
    "output that could not be made, or a trace that could not be written\n"
    "(-1 as Windows shows it).\n"
    "\n"
    "Manual: man skelvane (skelvane.html on Windows)\n";

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

// Reads the options that lead the arguments into options and returns the
// index of the first argument after them. They are options only when an
// image name follows them; otherwise every argument is read as without
// options, and 1 is returned.
int ReadOptions(int argc, char** argv, UnpackOptions& options) {
  int all = 0, offsets = 0, scans = 0, lists = 0, at = 1;
  std::string offset;
  while (at < argc) {
    const std::string argument = argv[at];
    if (argument == "--all") {
      ++all;
      at += 1;
    } else if (argument == "--scan") {
      ++scans;
      at += 1;
    } else if (argument == "--list") {
      ++lists;
      at += 1;
    } else if (argument.starts_with("--offset=")) {
      ++offsets;
      offset = argument.substr(9);
      at += 1;
    } else if (argument == "--offset" && at + 1 < argc) {
      ++offsets;
      offset = argv[at + 1];
      at += 2;
    } else {
      break;
    }
  }
  if (at == 1 || at >= argc) return 1;
  // --scan takes the file alone.
  if (all > 1 || offsets > 1 || scans > 1 || lists > 1 || (scans == 1 && (at != 2 || argc != 3)))
    usage(argv[0]);
  scanOnly = scans == 1;
  options.all = all == 1;
  options.list = lists == 1;
  offsetAuto = offsets == 1 && offset == "auto";
  if (offsets == 1 && !offsetAuto) options.offset = ParseOffset(offset);
  return at;
}

// The command that unpacks the whole image, for the hint of a run that
// stops at what only --all unpacks.
std::string Rerun(const UnpackOptions& options, const std::string& image, bool targetGiven) {
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

// The file cannot be opened or read: the message of an image that cannot.
[[noreturn]] void CannotRead() {
  Fatal("\nError: %s\n", GetLastErrorString());
}

[[noreturn]] void NoImageIn(const std::string& fileName) {
  Fatal("No romfs image in %s\n", fileName.c_str());
}

// --scan: a line for each image in the file, in file order.
int ListImagesIn(const std::string& fileName) {
  hImage = OpenImageFile(fileName.c_str());
  if (!hImage) CannotRead();
  bool any = false;
  const bool read = ScanForImages(hImage, UINT64_MAX, [&any](const FoundImage& image) {
    // Escaped as the listing's names are, so that every line reads back.
    Trace("%llu %u %s", static_cast<unsigned long long>(image.offset), image.size,
          Escaped(image.name, TraceToTerminal()).c_str());
    if (image.held < image.size)
      Trace(" (cut short: %llu bytes in the file)", static_cast<unsigned long long>(image.held));
    Trace("\n");
    FlushTraceWhenDue();  // the reading that follows may take long
    any = true;
    return true;
  });
  if (!read) CannotRead();
  CloseImageFile(hImage);
  hImage = nullptr;
  if (!any) NoImageIn(fileName);
  return FinishTrace() ? 0 : -1;
}

// How far a hint looks for an image in a file that is not one.
constexpr uint64_t kHintScanLimit = uint64_t{64} << 20;

// For a person at a terminal, whose file is not an image but holds one near
// its start: a line on standard error with the command that unpacks it. The
// trace stays as it is. Only a file that can be read again gets it.
void HintAtImageInside(const std::string& imageName, uint64_t origin) {
  if (!StandardErrorIsTerminal() || !SeekImageFile(hImage, 0)) return;
  ScanForImages(hImage, kHintScanLimit, [&](const FoundImage& image) {
    const auto at = static_cast<unsigned long long>(origin + image.offset);
    fprintf(stderr,
            "skelvane: a romfs image starts at byte %llu: try skelvane --all --offset %llu %s\n",
            at, at, QuotedForShell(imageName).c_str());
    return false;
  });
}

// Opens the image where the options place it in the file, finding it with
// --offset auto, and checks its volume: the offset of the root's first
// entry header. options.offset is where the image starts.
uint64_t OpenImage(const std::string& imageName, UnpackOptions& options) {
  hImage = OpenImageFile(imageName.c_str());
  if (!hImage) CannotRead();
  if (offsetAuto) {
    bool found = false;
    if (!ScanForImages(hImage, UINT64_MAX, [&](const FoundImage& image) {
          options.offset = image.offset;
          found = true;
          return false;
        }))
      CannotRead();
    if (!found) NoImageIn(imageName);
    Trace("Image found at offset %llu\n", static_cast<unsigned long long>(options.offset));
  }
  if (!SetImageOrigin(hImage, options.offset))
    Fatal("\nOffset past the end of the image: %llu\n",
          static_cast<unsigned long long>(options.offset));
  return CheckVolume(!options.list, [&] { HintAtImageInside(imageName, options.offset); });
}

// The run, from the arguments to the closing line.
int Run(int argc, char** argv) {
  if (argc < 2) usage(argc > 0 && argv[0] ? argv[0] : "skelvane");
  // Options only as the whole of a lone argument: any other is an image.
  if (argc == 2) {
    const std::string option = argv[1];
    if (option == "--help" || IsSystemHelpOption(option)) Answer(kHelp);
    if (option == "--version") Answer("skelvane " SKELVANE_VERSION "\n");
  }

  UnpackOptions options;
  const int first = ReadOptions(argc, argv, options);
  const int count = argc - first;
  if (count != 1 && count != 2) usage(argv[0]);
  // A listing creates nothing, so a target is a mistake.
  if (options.list && count != 1) usage(argv[0]);

  if (!LengthAccepted(argv[first]))
    Fatal(
        "\nImage file name too long or too short (make sure it's             less then 254 "
        "characters and greater then 1 character)\n");
  const std::string imageName = argv[first];
  if (scanOnly) return ListImagesIn(imageName);
  if (count == 2) {
    if (!LengthAccepted(argv[first + 1]))
      Fatal(
          "\nArchive file name too long or too short (make sure it's                less then "
          "254 characters and greater then 1 character)\n");
    archiveName = argv[first + 1];
  }

  const uint64_t firstHeaderOffset = OpenImage(imageName, options);
  StartProgress(romfsImageInfo.fullSize,
                options.all || options.list ? "" : Rerun(options, imageName, count == 2),
                archiveName);

  if (options.list) {
    options.all = true;
    ListImage(firstHeaderOffset, options);
    CloseImageFile(hImage);
    hImage = nullptr;
    return FinishTrace() ? 0 : -1;
  }

  Trace("UNPACKING ROMFS IMAGE %s to %s...\n", imageName.c_str(), archiveName.c_str());
  GetFilesFromDir(RootPath(archiveName), firstHeaderOffset, 0, options);
  CloseImageFile(hImage);
  hImage = nullptr;

  // Symbolic and hard links, in the order the walk met them.
  const auto links = static_cast<uint32_t>(type3Link.size());
  uint32_t unresolvedCount = 0;
  if (links != 0) {
    Trace(options.all ? "\nRESOLVING LINKS...\n" : "\nRESOLVING SYMBOLIC LINKS...\n");
    for (uint32_t i = 0; i < links; ++i) unresolvedCount += ResolveLinkFile(i);
  }

  Trace("\nDONE.");
  if (options.all)
    Trace(" (%u symbolic links, %u hard links, %u unresolved, %u special files not made)", cntType3,
          cntType0, unresolvedCount, cntSpecialFiles);
  else if (cntType3 != 0)
    Trace(" (%u symbolic links, %u unresolved)", cntType3, unresolvedCount);
  Trace("\n");
  // A trace that could not be written is a failed run, though the tree is whole.
  return FinishTrace() ? 0 : -1;
}

}  // namespace

int main(int argc, char** argv) {
  StartTrace();
  // Memory that cannot be had ends the run as every fatal error does, from
  // wherever it was asked for.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    HoldBackTrace(false);  // it is the run that ends, not a survey
    Fatal("Memory Alloc Error\n");
  }
}
