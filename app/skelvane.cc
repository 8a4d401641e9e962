// skelvane: unpacks a romfs image into a directory tree, with a trace of
// every entry on standard output.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "image/image.h"
#include "image/romfs.h"
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
    "       skelvane --help | --version      (on Windows, /? is --help too)\n"
    "\n"
    "  --all       hard links too, links without limit; special files only listed\n"
    "  --offset N  the image starts N bytes into the file (decimal, or 0x and hex)\n"
    "  --list      create nothing: a line per entry (type, size, path), read as\n"
    "              --all reads it\n"
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
  int all = 0, offsets = 0, lists = 0, at = 1;
  std::string offset;
  while (at < argc) {
    const std::string argument = argv[at];
    if (argument == "--all") {
      ++all;
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
  if (all > 1 || offsets > 1 || lists > 1) usage(argv[0]);
  options.all = all == 1;
  options.list = lists == 1;
  if (offsets == 1) options.offset = ParseOffset(offset);
  return at;
}

// An argument as a command line shows it, quoted when it holds a space.
std::string Quoted(const std::string& argument) {
  return argument.find(' ') == std::string::npos ? argument : '"' + argument + '"';
}

// The command that unpacks the whole image, for the hint of a run that
// stops at what only --all unpacks.
std::string Rerun(const UnpackOptions& options, const std::string& image, bool targetGiven) {
  std::string command = "skelvane --all";
  if (options.offset != 0) command += " --offset " + std::to_string(options.offset);
  command += " " + Quoted(image);
  if (targetGiven) command += " " + Quoted(archiveName);
  return command;
}

bool LengthAccepted(const char* argument) {
  const size_t length = strlen(argument);
  return length >= 1 && length <= kMaxArgument;
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
  if (count == 2) {
    if (!LengthAccepted(argv[first + 1]))
      Fatal(
          "\nArchive file name too long or too short (make sure it's                less then "
          "254 characters and greater then 1 character)\n");
    archiveName = argv[first + 1];
  }

  hImage = OpenImageFile(imageName.c_str());
  if (!hImage) Fatal("\nError: %s\n", GetLastErrorString());
  if (!SetImageOrigin(hImage, options.offset))
    Fatal("\nOffset past the end of the image: %llu\n",
          static_cast<unsigned long long>(options.offset));
  const uint64_t firstHeaderOffset = CheckVolume(!options.list);
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
