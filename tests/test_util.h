// What the end-to-end tests share: a scratch directory, running the built
// program, and a listing of the tree it left behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/romfs_builder.h"

// A tree on disk as ScanTree lists it.
using Tree = std::map<std::string, std::string>;

// The first two trace lines of a run of Unpack on an image whose volume is "vol".
inline const std::string kHead = "Image name=vol (3)\nUNPACKING ROMFS IMAGE image.img to out...\n";

struct RunResult {
  std::string out;  // the whole standard output
  int status;       // exit status, or 128 + signal
  std::string err;  // the whole standard error
};

// No image may make a run hang: a run still going after this many seconds is
// killed and fails the test. Wine takes its time to start.
#ifdef SKELVANE_EMULATOR
constexpr unsigned kRunTimeLimit = 30;
#else
constexpr unsigned kRunTimeLimit = 5;
#endif

struct RunOptions {
  unsigned timeLimit = kRunTimeLimit;
  // Where standard output goes: a pipe read to its end, a terminal (raw, so
  // bytes arrive unchanged), /dev/full, or a pipe whose reader has left.
  enum class Out { kPipe, kTerminal, kFull, kReaderGone } out = Out::kPipe;
  // With a pipe: called while the run is held up writing to the full pipe,
  // before anything is read from it.
  std::function<void()> whenStalled = {};
  // With a pipe: a signal sent to the run while it is held up, after whenStalled.
  int stallSignal = 0;
  std::string program = SKELVANE_PATH;
  // The address space the program may take, in bytes; 0 for the system's limit.
  uint64_t memoryLimit = 0;
  // Under Wine, the locale sets Windows' system locale too, and with it the
  // system's ANSI code page (1252 for this one).
  std::string locale = "C.UTF-8";
  // Standard error a terminal (raw) instead of a file; err holds what came.
  bool errTerminal = false;
  // Standard error the very file standard output is (2>&1); err is empty.
  bool errToOut = false;
  // Standard input a pipe that a thread fills with these bytes; else the test's own.
  std::optional<std::string> input = std::nullopt;
};

// Runs the built skelvane (or another program) with args in directory cwd.
// Built with SKELVANE_EMULATOR, the tests run the Windows programs under Wine.
RunResult RunSkelvane(const std::vector<std::string>& args, const std::string& cwd,
                      const RunOptions& options = {});

// Every entry under root, by path relative to root: "dir", "file:" and the
// bytes, "link:" and the target, or "other".
std::map<std::string, std::string> ScanTree(const std::string& root);

// The permission bits of path, and the bits a creation asking for mode gets
// under this process's umask, which the program inherits.
unsigned PermissionsOf(const std::string& path);
unsigned CreatedWith(unsigned mode);

// What fd gives until its end, or, when it does not block, until it is empty.
std::string ReadFd(int fd);

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
// Writes bytes at offset into a file, creating it if needed: holes stay holes,
// so images of gigabytes cost little disk.
void WriteBytesAt(const std::string& path, uint64_t offset, const std::string& bytes);

// A fresh directory under the system's temporary directory, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One entry laid out alone, to be written at any offset, linked to next.
std::string LoneEntry(Entry entry, uint32_t next);

// A sparse image of exactly 2^32 bytes, written at offset at of the file:
// entries past 2^31 and 3 * 2^30, and a last one, "end", whose lastSize bytes
// of data would start at 2^32, the end of the image. The trace of unpacking it into "out" up to the
// size of "end", and the tree it leaves when "end" is empty.
void WriteFourGigabyteImage(const std::string& path, uint32_t lastSize, uint64_t at = 0);
inline const std::string kFourGigabyteListing = kHead + "low (1) \nmid (9) \nhigh (3) \nend (";
inline const Tree kFourGigabyteTree = {{"out", "dir"},
                                       {"out/low", "file:l"},
                                       {"out/mid", "file:past 2^31"},
                                       {"out/high", "file:3/4"},
                                       {"out/end", "file:"}};

// Files enough for a trace that fills a pipe, so that a run can be held up
// part way through them: 700 files of one byte, whose lines are added to
// listing with indent before them.
std::vector<Entry> ManyFiles(std::string& listing, const std::string& indent);
// The tree that the files of ManyFiles listed in trace leave in "out", all
// but the last one listed, whose name goes to last.
Tree ManyFilesListed(const std::string& trace, std::string& last);
// Makes a FIFO at path and writes bytes into it from a thread, for a run to
// read; a reader that leaves early is no failure. Join it after the run.
std::thread FeedFifo(const std::string& path, const std::string& bytes);

// The example image (bin/busybox, a link bin/sh to it, README): writes it as
// fw.img in dir and unpacks it there into the default target; the trace of
// that run, and the tree it leaves.
RunResult RunExample(const ScratchDir& dir, const RunOptions& options = {});
extern const std::string kExampleTrace;
extern const Tree kExampleTree;
// Its image (volume "rootfs"; busybox holds "-rom1fs-" in its bytes), and the
// trace of unpacking it from a file named image into target.
std::string ExampleImage();
std::string ExampleTrace(const std::string& image, const std::string& target, bool all);

// A firmware file as vendors ship them: a header, a kernel whose bytes hold
// "-rom1fs-" too, the example image at kFirmwareImageAt, and padding.
std::string FirmwareFile();
constexpr uint64_t kFirmwareImageAt = 64 + 4099;

// A file of images for --scan, and what --scan lists for it: a false ident
// at 0 (its checksum fails), images at odd offsets, one inside another's file,
// one across the scan's first 1 MiB block and one whose ident is split by the
// second, one cut short by the end of the file, and in its last 12 bytes an
// ident whose checksum holds but whose header is not whole.
std::string ScanFile(std::string& listing);

// The scratch directory of an end-to-end case: the image is written as
// "image.img", the program runs inside it with options and unpacks into "out".
struct Unpack {
  ScratchDir dir{};
  std::vector<std::string> options = {};
  RunOptions run = {};
  RunResult Run(const std::string& image, std::vector<std::string> extraArgs = {"out"});
  RunResult Run(const std::string& volume, std::vector<Entry> root);
  std::map<std::string, std::string> Tree() const { return ScanTree(dir / "out"); }
  // Everything the run left in the scratch directory besides the image.
  std::map<std::string, std::string> Left() const;
};
