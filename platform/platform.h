// The operating-system services the unpacker needs: one read-only image with
// absolute seeks, the creation of directories, files and links inside the
// output tree, standard output, and the text of the last system error. Each
// system has its own backend behind this header, chosen by the build; the
// rest of the program never asks which one runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---- The image

// An open image, read-only. Reads go through a bounded read-ahead, so
// memory does not grow with the image, and a read that cannot be completed
// (the image shrank, the medium failed) comes back short, never as a signal.
struct ImageFile;

// The name that stands for standard input as the image.
constexpr char kStandardInputName[] = "-";

// Opens an existing image, or standard input for kStandardInputName; null
// with the system error kept on failure. With spool, an input that cannot be
// seeked (a pipe) is first copied whole into a ScratchFile, which is then
// read as the image: the unpack and the listing read an image twice.
ImageFile* OpenImageFile(const char* path, bool spool = false);
void CloseImageFile(ImageFile* image);

// Moves the position to an absolute offset. False with the system error kept
// when the system refuses it (a pipe, for instance).
bool SeekImageFile(ImageFile* image, uint64_t offset);

// Reads up to count bytes at the position and advances it. *got tells how
// many arrived: fewer at the end of the image, and that is not a failure.
// False with the system error kept when the system reports one.
bool ReadImageFile(ImageFile* image, void* dst, size_t count, size_t* got);

// Makes the byte at origin the image's first, as if the image had been cut
// out of the file there: every position, and the size, count from it, and
// the position is 0. What was read before counts for nothing. False when
// origin lies past the end.
bool SetImageOrigin(ImageFile* image, uint64_t origin);

// The image's size, where the system tells it without reading (a file, a
// disk); UINT64_MAX where it cannot (a pipe).
uint64_t ImageSize(ImageFile* image);

// How many of the next count bytes the image holds from the position. Where
// the system cannot tell an image's size (a pipe), the bytes are read ahead.
uint64_t ImageBytesAvailable(ImageFile* image, uint64_t count);

// ---- Scratch space

// A file without a name, in the system's temporary directory, that the system
// deletes once it is closed, or the process ends: where something that comes
// once (a pipe) must be kept, it is kept on disk, never in memory.
struct ScratchFile;
struct ScratchFileCloser {
  void operator()(ScratchFile* file) const;
};
using ScratchFileHandle = std::unique_ptr<ScratchFile, ScratchFileCloser>;

// Null with the system error kept on failure.
ScratchFileHandle CreateScratchFile();
// Appends count bytes; false with the system error kept.
bool AppendToScratchFile(ScratchFile* file, const void* src, size_t count);
// Reads up to count bytes at offset; *got tells how many (fewer past the end).
// False with the system error kept.
bool ReadScratchFile(ScratchFile* file, uint64_t offset, void* dst, size_t count, size_t* got);
// The bytes appended so far.
uint64_t ScratchFileSize(const ScratchFile* file);

// ---- The output tree

// A directory of the output tree, held open while it is filled. Where the
// system allows it, everything below is created relative to it, so renaming
// a directory or putting a link in its place cannot redirect a write.
struct OutputDir;
struct OutputDirCloser {
  void operator()(OutputDir* dir) const;
};
using OutputDirHandle = std::unique_ptr<OutputDir, OutputDirCloser>;

// A place in the output tree: its path as the trace shows it (a backslash
// between a directory and a name), and its name inside an open directory.
// The target directory has no parent; its name is the path the user gave.
struct OutPath {
  std::string shown;
  const OutputDir* parent = nullptr;
  std::string name;
};

// False for an image's entry name that this system would not take as one
// plain name inside the directory being filled.
bool NameIsSafe(const std::string& name);

// True when anything (even a dangling link) exists at path; *directory
// tells whether it is a directory (a link to one counts as one).
bool SomethingExistsAt(const std::string& path, bool* directory = nullptr);

// Creates a new directory; fails if anything exists there.
bool MakeDirectory(const OutPath& path);

// Opens the directory just made at path, without following a link there.
// Null with the system error kept on failure.
OutputDirHandle OpenDirectory(const OutPath& path);

// Opens the directory reached from top through names, one at a time, never
// following a link. Null with the system error kept on failure.
OutputDirHandle OpenDirectoryBeneath(const OutputDir& top, const std::vector<std::string>& names);

// Who a file is, whatever name it has now: its device and inode, or its
// volume and file ID.
struct FileId {
  uint64_t volume = 0;
  uint64_t file = 0;
  bool operator==(const FileId&) const = default;
};

enum class CopyResult {
  kDone,
  kCreateFailed,  // the file could not be made (something exists there, say)
  kImageShort,    // the image ran out or its read failed; *copied tells how far it got
  kWriteFailed,   // the output refused the bytes
  kInterrupted,   // an interruption was noted; the file, incomplete, is removed
};

// Creates a new file at path (never replacing or following anything) and
// copies count bytes of the image from the position into it, then closes
// it. An executable file is created so where the system keeps that in the
// file's mode. The position ends after the bytes copied. On failure the
// file is closed and the system error kept. A copy stops between pieces
// once an interruption is noted, and removes the file, if it is still the
// one it made. Where id is given, it receives the new file's identity.
CopyResult CopyImageToNewFile(ImageFile* image, const OutPath& path, uint64_t count,
                              bool executable, uint64_t* copied, FileId* id = nullptr);

// Copies count bytes of the image from the position to standard output,
// after what the trace holds: in the kernel where the system can, else in
// pieces. kCreateFailed is never given; kWriteFailed keeps the system error.
CopyResult CopyImageToStandardOutput(ImageFile* image, uint64_t count, uint64_t* copied);

// Creates a link at path with the target text unchanged; fails if anything
// exists there.
bool MakeSymbolicLink(const std::string& target, const OutPath& path);

// The longest target, in bytes, that a link made here can hold.
extern const uint32_t kLongestLinkTarget;

// Creates a second name at path for the file at existing, only while that
// is still the regular file id names: whatever another process put there
// in the meantime is never linked. Fails if anything exists at path.
bool MakeHardLink(const OutPath& existing, const FileId& id, const OutPath& path);

// ---- A file written from start to end (an archive)

// A new file, or standard output, that bytes are appended to.
struct OutputFile;
struct OutputFileCloser {
  void operator()(OutputFile* file) const;
};
using OutputFileHandle = std::unique_ptr<OutputFile, OutputFileCloser>;

// Creates a new file at path, never replacing or following anything there;
// null with the system error kept on failure, *exists true when the name
// was taken.
OutputFileHandle CreateNewOutputFile(const std::string& path, bool* exists);
// Standard output as such a file: the bytes unchanged, past the C library's
// buffer, which holds nothing of them.
OutputFileHandle StandardOutputFile();
// Writes all count bytes; false with the system error kept (and, for
// ReaderHasGone, errno).
bool WriteOutputFile(OutputFile* file, const void* src, size_t count);
// Closes a new file; false with the system error kept when the system
// reports that its bytes may not all be written. Standard output stays open.
bool CloseOutputFile(OutputFileHandle file);

// ---- Standard output and errors

// True for the system's own way of asking a program for help, besides
// --help: "/?" on Windows.
bool IsSystemHelpOption(const std::string& argument);

// Sets standard output up for the trace: bytes written unchanged, and a
// closed reader reported as a write error rather than ending the process.
// True when it is a terminal.
bool PrepareStandardOutput();

// True when standard error is a terminal (a console on Windows): a person
// reads it, and progress and hints there may help.
bool StandardErrorIsTerminal();

// True when standard error is not the open file standard output is: a
// person may read it, and nothing said there can get into the trace. So
// `> trace 2>&1` keeps the trace exact, and so does `2>&1 | tee trace`. A
// terminal always counts as separate: nothing is kept there, and a person
// reads both. Where the system cannot tell, they count as separate.
bool StandardErrorIsSeparate();

// Ends the process as a closed pipe ends a program that writes to it: by
// SIGPIPE, its default action restored (on Windows, status 255), nothing said.
[[noreturn]] void EndByClosedPipe();

// True when a write to standard output that failed with error (errno) failed
// because its reader has gone; asked at once, while the system's own error
// is still that write's.
bool ReaderHasGone(int error);

// An argument as this system's shell reads it back, for a command that a
// hint suggests: unchanged where it is a plain word, quoted otherwise. No
// control byte is left in it, so it is also safe to show on a terminal.
std::string QuotedForShell(const std::string& argument);

// The system's text for the last error kept, with the system's own line end.
const char* GetLastErrorString();

// ---- Interruptions

// From here on, SIGINT, SIGTERM and SIGHUP (on Windows, Ctrl+C and
// Ctrl+Break) are only noted, for the run to stop where it checks; a
// second one ends the process at once, as it would have without this (one
// that comes with the first, as the same sent twice, counts once). A signal
// ignored from the start stays ignored.
void CatchInterruptions();

// True once an interruption has been noted; cheap enough to ask often.
bool InterruptionNoted();

// Ends the process as the interruption noted would have: by the same signal,
// its default action restored (on Windows, with the status of a Ctrl+C).
[[noreturn]] void EndByInterruption();
