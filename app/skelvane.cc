// skelvane: unpacks a romfs image into a directory tree, with a trace of
// every entry on standard output.
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"
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
    "Usage: skelvane romfsImage [target directory] [ > traceFile]\n"
    "       skelvane --help | --version\n"
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
    "output that could not be made, or a trace that could not be written.\n"
    "\n"
    "Manual: man skelvane (skelvane.html on Windows)\n";

// Prints text as the whole output of the run and ends it.
[[noreturn]] void Answer(const char* text) {
  Trace("%s", text);
  exit(FinishTrace() ? 0 : -1);
}

bool LengthAccepted(const char* argument) {
  const size_t length = strlen(argument);
  return length >= 1 && length <= kMaxArgument;
}

}  // namespace

int main(int argc, char** argv) {
  StartTrace();
  if (argc != 2 && argc != 3) usage(argc > 0 && argv[0] ? argv[0] : "skelvane");
  // Options only as the whole of a lone argument: any other is an image.
  if (argc == 2) {
    const std::string option = argv[1];
    if (option == "--help" || IsSystemHelpOption(option)) Answer(kHelp);
    if (option == "--version") Answer("skelvane " SKELVANE_VERSION "\n");
  }

  if (!LengthAccepted(argv[1]))
    Fatal(
        "\nImage file name too long or too short (make sure it's             less then 254 "
        "characters and greater then 1 character)\n");
  const std::string imageName = argv[1];
  if (argc == 3) {
    if (!LengthAccepted(argv[2]))
      Fatal(
          "\nArchive file name too long or too short (make sure it's                less then "
          "254 characters and greater then 1 character)\n");
    archiveName = argv[2];
  }

  hImage = OpenImageFile(imageName.c_str());
  if (!hImage) Fatal("\nError: %s\n", GetLastErrorString());
  const uint64_t firstHeaderOffset = CheckVolume();

  Trace("UNPACKING ROMFS IMAGE %s to %s...\n", imageName.c_str(), archiveName.c_str());
  GetFilesFromDir(RootPath(archiveName), firstHeaderOffset, 0);
  CloseImageFile(hImage);
  hImage = nullptr;

  uint32_t unresolvedCount = 0;
  if (cntType3 != 0) {
    Trace("\nRESOLVING SYMBOLIC LINKS...\n");
    for (uint32_t i = 0; i < cntType3; ++i) unresolvedCount += ResolveLinkFile(i);
  }

  Trace("\nDONE.");
  if (cntType3 != 0) Trace(" (%u symbolic links, %u unresolved)", cntType3, unresolvedCount);
  Trace("\n");
  // A trace that could not be written is a failed run, though the tree is whole.
  return FinishTrace() ? 0 : -1;
}
