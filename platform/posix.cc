// The POSIX backend. The output tree is created relative to open directory
// descriptors, and the image is read through a bounded read-ahead, never
// mapped: memory stays small whatever the image, and an image that shrinks
// under the run reads short instead of raising SIGBUS.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix_calls.h"
#include "platform/read_ahead.h"
#include "platform/trace.h"

PosixCalls SystemCalls() {
  return PosixCalls{::read, ::pread, ::write, ::splice, ::fstat};
}
PosixCalls posixCalls = SystemCalls();

// A regular file or a block device is sized and read with pread; anything
// else (a pipe, a character device) is read in sequence.
struct ImageFile : ReadAhead {
  int fd = -1;
};

struct OutputDir {
  int fd;
};

struct ScratchFile {
  int fd = -1;
  uint64_t size = 0;
};

struct OutputFile {
  int fd = -1;
  bool owned = true;  // not standard output
};

namespace {

// Large files move from the image to the output inside the kernel, through
// a pipe: no copy passes through this process, and, unlike copy_file_range,
// the image's 16-byte alignment costs nothing and other file systems are
// reached too. The pipe is made on first use and kept for the run.
constexpr int kPipeSize = 1 << 20;
int pipeFds[2] = {-1, -1};
size_t pipeSize = 0;
// Set once the system refused to splice: it will refuse every time.
bool spliceRefused = false;

void ClosePipe() {
  for (int& fd : pipeFds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

bool WriteAll(int fd, const uint8_t* src, size_t count) {
  while (count > 0) {
    const ssize_t w = posixCalls.write(fd, src, std::min(count, kMaxTransfer));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    src += w;
    count -= static_cast<size_t>(w);
  }
  return true;
}

bool IsRefusal(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}

// Writes the count bytes the pipe holds to out from here, through the window.
bool DrainPipe(ImageFile* image, int out, size_t count) {
  image->windowLen = 0;
  while (count > 0) {
    const ssize_t r = read(pipeFds[0], image->window.data(), std::min(count, image->window.size()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !WriteAll(out, image->window.data(), static_cast<size_t>(r))) return false;
    count -= static_cast<size_t>(r);
  }
  return true;
}

// Moves up to left bytes of the image at the position into out: the count
// moved; 0 when the image gave none (its end, an error of its own, or a
// refusal), for the plain reads to tell apart; -1 when the output failed.
int64_t SpliceSome(ImageFile* image, int out, uint64_t left) {
  if (pipeFds[0] < 0) {
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return 0;
    const int size = fcntl(pipeFds[1], F_SETPIPE_SZ, kPipeSize);
    pipeSize = static_cast<size_t>(size > 0 ? size : fcntl(pipeFds[1], F_GETPIPE_SZ));
  }
  loff_t from = static_cast<loff_t>(image->origin + image->pos);
  ssize_t in;
  do
    in = posixCalls.splice(image->fd, &from, pipeFds[1], nullptr,
                           std::min<uint64_t>(left, pipeSize), SPLICE_F_MOVE);
  while (in < 0 && errno == EINTR);
  if (in <= 0) {
    // A 0 may be the image's end or a file system that will not splice.
    if (in == 0 || IsRefusal(errno)) {
      spliceRefused = true;
      ClosePipe();
    }
    return 0;
  }
  for (size_t inPipe = static_cast<size_t>(in); inPipe > 0;) {
    const ssize_t w = posixCalls.splice(pipeFds[0], nullptr, out, nullptr, inPipe, SPLICE_F_MOVE);
    if (w > 0) {
      inPipe -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && IsRefusal(errno)) {
      // The output takes no bytes from a pipe: these go from here.
      spliceRefused = true;
      if (DrainPipe(image, out, inPipe)) {
        ClosePipe();
        break;
      }
    }
    if (w == 0) errno = EIO;
    const int error = errno;
    ClosePipe();  // what it still holds belongs nowhere now
    errno = error;
    return -1;
  }
  return in;
}

FileId IdOf(const struct stat& st) {
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

int ParentFd(const OutPath& path) {
  return path.parent ? path.parent->fd : AT_FDCWD;
}

// Removes the file at name in dir if it is still the one open at fd: it is
// this run's own, and another process may have put something else there.
// Ends the process by signal, its default action restored, as it would have
// ended without this program's handling.
[[noreturn]] void EndBySignal(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached
}

void RemoveIfStill(int dir, const std::string& name, int fd) {
  struct stat made, there;
  if (fstat(fd, &made) == 0 && fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      IdOf(made) == IdOf(there))
    unlinkat(dir, name.c_str(), 0);
}

// The interruption noted, a signal number, or 0. The handler only notes it
// (or ends the process at a later one): the run acts on it where it checks,
// outside the handler.
volatile sig_atomic_t noted = 0;
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

// When the first was noted, in milliseconds. Only the handler uses it, and
// the handler runs with the interruptions blocked.
int64_t notedAt = 0;

void NoteInterruption(int signal) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t at = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
  if (noted == 0) {
    noted = signal;
    notedAt = at;
    return;
  }
  // The same interruption, sent twice at once, counts once: timeout(1)
  // signals the run and then its process group, the run among it.
  if (at - notedAt < 100) return;
  // A later one ends the process at once, when the handler returns: the run
  // may be waiting for a reader of its trace that never comes.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

OutputDirHandle OpenDirAt(int at, const std::string& name) {
  int fd;
  do fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return OutputDirHandle(new OutputDir{fd});
}

// Waits until fd has bytes to read, or its end. A pipe may keep the run
// waiting long, and a read restarts after a signal: the wait goes in slices,
// between which the trace goes out when due and an interruption is heard.
void WaitForBytes(int fd) {
  pollfd ready = {fd, POLLIN, 0};
  for (;;) {
    const int r = poll(&ready, 1, 100);
    if (r > 0 || (r < 0 && errno != EINTR)) return;
    FlushTraceWhenDue();
    StopIfInterrupted();
  }
}

}  // namespace

int64_t ReadAtPosition(ReadAhead& reads, void* dst, size_t count) {
  auto& image = static_cast<ImageFile&>(reads);
  for (;;) {
    ssize_t r;
    if (image.sized) {
      r = posixCalls.pread(image.fd, dst, count, static_cast<off_t>(image.origin + image.pos));
    } else {
      if (image.systemPos != image.pos && !SeekSystem(image, image.pos)) return -1;
      WaitForBytes(image.fd);
      r = posixCalls.read(image.fd, dst, count);
      if (r > 0) image.systemPos += static_cast<uint64_t>(r);
    }
    if (r >= 0 || errno != EINTR) return r;
  }
}

bool SeekSystem(ReadAhead& reads, uint64_t offset) {
  const off_t to = static_cast<off_t>(reads.origin + offset);
  if (lseek(static_cast<ImageFile&>(reads).fd, to, SEEK_SET) < 0) return false;
  reads.systemPos = offset;
  return true;
}

ReadAhead& ReadsOf(ImageFile* image) {
  return *image;
}

void ForgetCopyRefusal() {
  spliceRefused = false;
  ClosePipe();
}

ImageFile* OpenImageFile(const char* path, bool spool) {
  int fd;
  if (strcmp(path, kStandardInputName) == 0)
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  else
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  auto* image = new ImageFile;
  image->fd = fd;
  image->window.resize(kReadAheadWindow);
  struct stat st;
  bool directory = false;  // fails at its first read, as it always has
  if (posixCalls.fstat(fd, &st) == 0) {
    directory = S_ISDIR(st.st_mode);
    if (S_ISREG(st.st_mode)) {
      image->sized = true;
      image->size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
      const off_t end = lseek(fd, 0, SEEK_END);
      if (end >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
        image->sized = true;
        image->size = static_cast<uint64_t>(end);
      }
    }
  }
  if (spool && !image->sized && !directory) {
    ScratchFileHandle scratch = CreateScratchFile();
    if (!scratch || !SpoolInto(*image, scratch.get())) {
      const int error = errno;
      CloseImageFile(image);
      errno = error;
      return nullptr;
    }
    close(image->fd);
    image->fd = std::exchange(scratch->fd, -1);
    ResetReads(*image, scratch->size);
  }
  return image;
}

void ScratchFileCloser::operator()(ScratchFile* file) const {
  if (file->fd >= 0) close(file->fd);
  delete file;
}

ScratchFileHandle CreateScratchFile() {
  const char* env = getenv("TMPDIR");
  const std::string dir = env && *env ? env : "/tmp";
  // No name at all where the file system allows it; else a name unlinked at once.
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = dir + "/skelvane-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    unlink(name.c_str());
  }
  return ScratchFileHandle(new ScratchFile{fd, 0});
}

bool AppendToScratchFile(ScratchFile* file, const void* src, size_t count) {
  const auto* p = static_cast<const uint8_t*>(src);
  while (count > 0) {
    const ssize_t w =
        pwrite(file->fd, p, std::min(count, kMaxTransfer), static_cast<off_t>(file->size));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    count -= static_cast<size_t>(w);
    file->size += static_cast<uint64_t>(w);
  }
  return true;
}

bool ReadScratchFile(ScratchFile* file, uint64_t offset, void* dst, size_t count, size_t* got) {
  *got = 0;
  auto* p = static_cast<uint8_t*>(dst);
  while (*got < count) {
    const ssize_t r = pread(file->fd, p + *got, std::min(count - *got, kMaxTransfer),
                            static_cast<off_t>(offset + *got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return true;
}

uint64_t ScratchFileSize(const ScratchFile* file) {
  return file->size;
}

bool SomethingExistsAt(const std::string& path, bool* directory) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (directory) *directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return true;
}

void CloseImageFile(ImageFile* image) {
  if (!image) return;
  close(image->fd);
  delete image;
}

void OutputDirCloser::operator()(OutputDir* dir) const {
  close(dir->fd);
  delete dir;
}

bool NameIsSafe(const std::string& name) {
  return name.find('/') == std::string::npos;
}

bool MakeDirectory(const OutPath& path) {
  return mkdirat(ParentFd(path), path.name.c_str(), 0777) == 0;
}

OutputDirHandle OpenDirectory(const OutPath& path) {
  return OpenDirAt(ParentFd(path), path.name);
}

OutputDirHandle OpenDirectoryBeneath(const OutputDir& top, const std::vector<std::string>& names) {
  OutputDirHandle dir = OpenDirAt(top.fd, ".");
  for (const std::string& name : names) {
    // Only names the walk could have made: never a way up or across.
    if (!dir || name == ".." || name.find('/') != std::string::npos) return nullptr;
    dir = OpenDirAt(dir->fd, name);
  }
  return dir;
}

CopyResult CopyImageToNewFile(ImageFile* image, const OutPath& path, uint64_t count,
                              bool executable, uint64_t* copied, FileId* id) {
  *copied = 0;
  // The mode is given at creation, less the umask: no later chmod could
  // follow a swapped name or leave a moment where others may write.
  int out;
  do
    out = openat(ParentFd(path), path.name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0777 : 0666);
  while (out < 0 && errno == EINTR);
  if (out < 0) return CopyResult::kCreateFailed;
  struct stat st;
  if (id && fstat(out, &st) == 0) *id = IdOf(st);
  const CopyResult result = CopyThrough(
      *image, count, copied,
      [out](const uint8_t* bytes, size_t n) { return WriteAll(out, bytes, n); },
      [image, out](uint64_t left) -> int64_t {
        // Small pieces go through the window, which the next header needs anyway.
        if (!image->sized || spliceRefused || left < kReadAheadWindow) return 0;
        return SpliceSome(image, out, left);
      });
  const int error = errno;
  if (result == CopyResult::kInterrupted) RemoveIfStill(ParentFd(path), path.name, out);
  // On Linux the descriptor is gone even when close reports EINTR.
  const bool closed = close(out) == 0 || errno == EINTR;
  if (result != CopyResult::kDone) {
    errno = error;
    return result;
  }
  return closed ? CopyResult::kDone : CopyResult::kWriteFailed;
}

CopyResult CopyImageToStandardOutput(ImageFile* image, uint64_t count, uint64_t* copied) {
  *copied = 0;
  if (fflush(stdout) != 0) return CopyResult::kWriteFailed;
  return CopyThrough(
      *image, count, copied,
      [](const uint8_t* bytes, size_t n) { return WriteAll(STDOUT_FILENO, bytes, n); },
      [image](uint64_t left) -> int64_t {
        if (!image->sized || spliceRefused || left < kReadAheadWindow) return 0;
        return SpliceSome(image, STDOUT_FILENO, left);
      });
}

// PATH_MAX less the terminator: the kernel refuses longer targets.
const uint32_t kLongestLinkTarget = 4095;

bool MakeSymbolicLink(const std::string& target, const OutPath& path) {
  return symlinkat(target.c_str(), ParentFd(path), path.name.c_str()) == 0;
}

namespace {

// True when st is the regular file id names; else false, with ESTALE kept.
bool IsTheFile(const struct stat& st, const FileId& id) {
  if (S_ISREG(st.st_mode) && IdOf(st) == id) return true;
  errno = ESTALE;
  return false;
}

// Links the file that fd holds at path. Through /proc, where it is mounted;
// else the descriptor itself, where the kernel lets this process link one;
// else by name, checked once more just before (no flag: a link that stands
// at existing is not followed), which leaves a moment for another process.
bool LinkHeld(int fd, const OutPath& existing, const FileId& id, const OutPath& path) {
  char proc[32];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, ParentFd(path), path.name.c_str(), AT_SYMLINK_FOLLOW) == 0)
    return true;
  if (errno != ENOENT || access("/proc/self/fd", X_OK) == 0) return false;
  if (linkat(fd, "", ParentFd(path), path.name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  struct stat now;
  return fstatat(ParentFd(existing), existing.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         IsTheFile(now, id) &&
         linkat(ParentFd(existing), existing.name.c_str(), ParentFd(path), path.name.c_str(), 0) ==
             0;
}

}  // namespace

bool MakeHardLink(const OutPath& existing, const FileId& id, const OutPath& path) {
  // The file is held by a descriptor, checked, and that descriptor linked:
  // never whatever has its name by then.
  const int fd = openat(ParentFd(existing), existing.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool made = fstat(fd, &st) == 0 && IsTheFile(st, id) && LinkHeld(fd, existing, id, path);
  const int error = errno;
  close(fd);
  errno = error;
  return made;
}

void OutputFileCloser::operator()(OutputFile* file) const {
  if (file->owned && file->fd >= 0) close(file->fd);
  delete file;
}

OutputFileHandle CreateNewOutputFile(const std::string& path, bool* exists) {
  int fd;
  do fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  *exists = fd < 0 && errno == EEXIST;
  if (fd < 0) return nullptr;
  return OutputFileHandle(new OutputFile{fd, true});
}

OutputFileHandle StandardOutputFile() {
  return OutputFileHandle(new OutputFile{STDOUT_FILENO, false});
}

bool WriteOutputFile(OutputFile* file, const void* src, size_t count) {
  return WriteAll(file->fd, static_cast<const uint8_t*>(src), count);
}

bool CloseOutputFile(OutputFileHandle file) {
  if (!file->owned) return true;
  const int fd = std::exchange(file->fd, -1);
  // On Linux the descriptor is gone even when close reports EINTR.
  return close(fd) == 0 || errno == EINTR;
}

bool IsSystemHelpOption(const std::string&) {
  return false;
}

bool PrepareStandardOutput() {
  signal(SIGPIPE, SIG_IGN);
  return isatty(STDOUT_FILENO) == 1;
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool StandardErrorIsSeparate() {
  if (isatty(STDERR_FILENO) == 1) return true;
  struct stat out, err;
  if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return true;
  return out.st_dev != err.st_dev || out.st_ino != err.st_ino;
}

void EndByClosedPipe() {
  EndBySignal(SIGPIPE);
}

bool ReaderHasGone(int error) {
  return error == EPIPE;
}

std::string QuotedForShell(const std::string& argument) {
  constexpr char kPlain[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
  if (!argument.empty() && argument.find_first_not_of(kPlain) == std::string::npos) return argument;
  // A control byte cannot stand in a quoted word that a person reads or
  // pastes: such a name takes the dollar-single-quote form (bash, zsh, ksh,
  // POSIX.1-2024 shells), with those bytes, as a terminal must not get them,
  // and backslashes as \ooo. Any other name takes the single quotes that
  // every shell reads.
  const bool controls = Escaped(argument, true, false) != argument;
  std::string quoted = controls ? "$'" : "'";
  for (const char c : controls ? Escaped(argument, true) : argument) {
    if (c != '\'')
      quoted += c;
    else
      quoted += controls ? "\\'" : "'\\''";
  }
  return quoted + '\'';
}

const char* GetLastErrorString() {
  static std::string text;
  text = strerror(errno);
  text += '\n';
  return text.c_str();
}

void CatchInterruptions() {
  // Calls restart after the handler: a write of the trace is never cut short.
  struct sigaction action = {};
  action.sa_handler = NoteInterruption;
  action.sa_flags = SA_RESTART;
  // While one is noted, the others wait.
  sigemptyset(&action.sa_mask);
  for (const int signal : kInterruptions) sigaddset(&action.sa_mask, signal);
  for (const int signal : kInterruptions) {
    struct sigaction before;
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(signal, &action, nullptr);
  }
}

bool InterruptionNoted() {
  return noted != 0;
}

void EndByInterruption() {
  EndBySignal(noted);
}
