// The POSIX layer's reads, seeks, creation and every path of its copies.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "platform/posix_calls.h"
#include "platform/trace.h"
#include "tests/test_util.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

std::string ReadAll(ImageFile* image, size_t count, size_t* got) {
  std::string s(count, '\0');
  EXPECT_TRUE(ReadImageFile(image, s.data(), count, got));
  s.resize(*got);
  return s;
}

// The root of an output tree inside dir, held open as the walk holds it.
OutputDirHandle OpenRoot(const std::string& dir) {
  const OutPath root{dir, nullptr, dir};
  return OpenDirectory(root);
}

OutPath In(const OutputDirHandle& dir, const std::string& name) {
  return OutPath{name, dir.get(), name};
}

// The system calls of the reads and copies, as the tests make them behave.
struct FakeCalls {
  enum { kWrite = 1, kPread = 2 };
  static inline int spliceCalls = 0;      // splices from the image
  static inline int spliceError = 0;      // a splice from the image fails with this
  static inline int drainError = 0;       // a splice into the output fails with this
  static inline bool spliceZero = false;  // a splice from the image moves nothing
  static inline size_t maxMove = 0;       // no call moves more than this, if set
  static inline int writeError = 0;
  static inline int interruptions = 0;  // the next writes and preads fail with EINTR, one each
  static inline bool unsized = false;   // an image file is not sized, as a device is not
  static inline int signalAtWrite = 0;  // the write of this number is preceded by a SIGINT

  // True for a call that a signal interrupts before it does anything.
  static bool Interrupted(int call) {
    if (!(interruptions & call)) return false;
    interruptions &= ~call;
    errno = EINTR;
    return true;
  }

  static size_t Most(size_t count) { return maxMove ? std::min(count, maxMove) : count; }
  static ssize_t Splice(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t count,
                        unsigned flags) {
    const bool fromImage = inOffset != nullptr;
    spliceCalls += fromImage;
    if (const int error = fromImage ? spliceError : drainError) return errno = error, -1;
    if (fromImage && spliceZero) return 0;
    return SystemCalls().splice(in, inOffset, out, outOffset, Most(count), flags);
  }
  static ssize_t Write(int fd, const void* buf, size_t count) {
    if (signalAtWrite && --signalAtWrite == 0) raise(SIGINT);
    if (writeError) return errno = writeError, -1;
    if (Interrupted(kWrite)) return -1;
    return SystemCalls().write(fd, buf, Most(count));
  }
  static ssize_t Pread(int fd, void* buf, size_t count, off_t offset) {
    if (Interrupted(kPread)) return -1;
    return SystemCalls().pread(fd, buf, Most(count), offset);
  }
  static int Fstat(int fd, struct stat* st) {
    const int r = SystemCalls().fstat(fd, st);
    if (r == 0 && unsized) st->st_mode = (st->st_mode & ~S_IFMT) | S_IFCHR;
    return r;
  }

  FakeCalls() {
    spliceCalls = spliceError = drainError = writeError = interruptions = signalAtWrite = 0;
    spliceZero = unsized = false;
    maxMove = 0;
    posixCalls.splice = Splice;
    posixCalls.write = Write;
    posixCalls.pread = Pread;
    posixCalls.fstat = Fstat;
    ForgetCopyRefusal();
  }
  ~FakeCalls() {
    posixCalls = SystemCalls();
    ForgetCopyRefusal();
  }
};

TEST(Platform, ReadsStopAtTheEnd) {
  // An image 1001 bytes into its file, in a file that is sized, and in one
  // that can be seeked but, like a character device, not sized: read in
  // sequence, each seek adds the origin too.
  for (const bool sized : {true, false}) {
    ScratchDir dir;
    FakeCalls fake;
    FakeCalls::unsized = !sized;
    const std::string before(1001, '\xff'), bytes = Pattern(300000);
    WriteFileBytes(dir / "i", before + bytes);
    ImageFile* image = OpenImageFile((dir / "i").c_str());
    ASSERT_TRUE(image);
    ASSERT_TRUE(SetImageOrigin(image, before.size()));
    size_t got;
    ASSERT_TRUE(SeekImageFile(image, 299990));
    EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(299990)) << sized;
    EXPECT_EQ(ReadAll(image, 16, &got), "");
    ASSERT_TRUE(SeekImageFile(image, 1ull << 33));  // far past the end reads nothing
    EXPECT_EQ(ReadAll(image, 4, &got), "");
    // Within and across the read-ahead, and larger than it.
    ASSERT_TRUE(SeekImageFile(image, 10));
    EXPECT_EQ(ReadAll(image, 100, &got), bytes.substr(10, 100)) << sized;
    EXPECT_EQ(ReadAll(image, 200000, &got), bytes.substr(110, 200000)) << sized;
    EXPECT_EQ(ImageBytesAvailable(image, 5000), 5000u);
    EXPECT_EQ(ImageBytesAvailable(image, 100000), 300000u - 200110);
    CloseImageFile(image);
  }
}

TEST(Platform, PipeReadsLoopOverPiecesAndRefuseSeeks) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string bytes = Pattern(400000);
  std::thread writer([&] {
    // Small pieces with pauses: the reader must gather them.
    for (size_t at = 0; at < bytes.size(); at += 7000) {
      const size_t n = std::min<size_t>(7000, bytes.size() - at);
      (void)!write(fds[1], bytes.data() + at, n);
      if (at < 30000) usleep(1000);
    }
    close(fds[1]);
  });
  ScratchDir dir;
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  ImageFile* image = OpenImageFile(path.c_str());
  ASSERT_TRUE(image);
  size_t got;
  EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(0, 16));
  EXPECT_EQ(ReadAll(image, 512, &got), bytes.substr(16, 512));
  EXPECT_EQ(ReadAll(image, 150000, &got), bytes.substr(528, 150000));
  // A size that cannot be known is found by reading ahead; the copy then
  // takes the bytes read, and only those.
  EXPECT_EQ(ImageBytesAvailable(image, 200000), 200000u);
  const OutputDirHandle out = OpenRoot(dir.path());
  uint64_t copied;
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "o"), 200000, false, &copied), CopyResult::kDone);
  EXPECT_EQ(ImageBytesAvailable(image, 1u << 30), 400000u - 350528);
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "p"), 1u << 30, false, &copied),
            CopyResult::kImageShort);
  EXPECT_EQ(copied, 400000u - 350528);
  EXPECT_EQ(ScanTree(dir.path()), (Tree{{"o", "file:" + bytes.substr(150528, 200000)},
                                        {"p", "file:" + bytes.substr(350528)}}));
  EXPECT_FALSE(SeekImageFile(image, 0));
  EXPECT_EQ(std::string(GetLastErrorString()), "Illegal seek\n");
  writer.join();
  CloseImageFile(image);
  close(fds[0]);
}

TEST(Platform, SpooledPipeIsReadAnywhereFromAFileWithoutAName) {
  // A pipe opened to be spooled is kept whole in a scratch file in $TMPDIR,
  // which leaves no name there, and is then an image of known size.
  ScratchDir tmp, dir;
  const char* before = getenv("TMPDIR");
  const std::string saved = before ? before : "";
  setenv("TMPDIR", tmp.path().c_str(), 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string bytes = Pattern(400000);
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size(); at += 7000)
      (void)!write(fds[1], bytes.data() + at, std::min<size_t>(7000, bytes.size() - at));
    close(fds[1]);
  });
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  ImageFile* image = OpenImageFile(path.c_str(), true);
  writer.join();
  close(fds[0]);
  ASSERT_TRUE(image);
  EXPECT_TRUE(ScanTree(tmp.path()).empty());
  EXPECT_EQ(ImageSize(image), 400000u);
  size_t got;
  ASSERT_TRUE(SeekImageFile(image, 300000));
  EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(300000, 16));
  ASSERT_TRUE(SetImageOrigin(image, 1001));
  const OutputDirHandle out = OpenRoot(dir.path());
  uint64_t copied;
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "o"), 300000, false, &copied), CopyResult::kDone);
  EXPECT_EQ(ScanTree(dir.path()), (Tree{{"o", "file:" + bytes.substr(1001, 300000)}}));
  CloseImageFile(image);
  // The scratch file as others use it: appended to, read anywhere.
  ScratchFileHandle scratch = CreateScratchFile();
  ASSERT_TRUE(scratch);
  ASSERT_TRUE(AppendToScratchFile(scratch.get(), "abc", 3));
  ASSERT_TRUE(AppendToScratchFile(scratch.get(), "defg", 4));
  EXPECT_EQ(ScratchFileSize(scratch.get()), 7u);
  char back[8] = {};
  ASSERT_TRUE(ReadScratchFile(scratch.get(), 2, back, sizeof back, &got));
  EXPECT_EQ(std::string(back, got), "cdefg");
  EXPECT_TRUE(ScanTree(tmp.path()).empty());
  // Nowhere to keep it: the open fails with the system's reason.
  setenv("TMPDIR", (tmp / "missing").c_str(), 1);
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  EXPECT_EQ(OpenImageFile(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), true), nullptr);
  EXPECT_EQ(std::string(GetLastErrorString()), "No such file or directory\n");
  close(fds[0]);
  if (before)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

// Copies two files, each from the middle of the image and starting inside
// the read-ahead, and checks their bytes exactly. The image starts 1001
// bytes into its file: every way of copying adds that origin.
void CopyTwoFiles(const std::string& imageDir, const std::string& outDir) {
  const std::string before(1001, '\xff'), bytes = Pattern(3 << 20);
  WriteFileBytes(imageDir + "/i", before + bytes);
  ImageFile* image = OpenImageFile((imageDir + "/i").c_str());
  ASSERT_TRUE(image);
  ASSERT_TRUE(SetImageOrigin(image, before.size()));
  size_t got;
  ASSERT_TRUE(SeekImageFile(image, 12345));
  EXPECT_EQ(ReadAll(image, 16, &got), bytes.substr(12345, 16));
  const OutputDirHandle out = OpenRoot(outDir);
  uint64_t copied;
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "a"), 2 << 20, false, &copied), CopyResult::kDone);
  EXPECT_EQ(copied, 2u << 20);
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "b"), 700001, false, &copied), CopyResult::kDone);
  size_t after;
  EXPECT_EQ(ReadAll(image, 4, &after), bytes.substr(12361 + (2 << 20) + 700001, 4));
  CloseImageFile(image);
  EXPECT_EQ(ScanTree(outDir), (Tree{{"a", "file:" + bytes.substr(12361, 2 << 20)},
                                    {"b", "file:" + bytes.substr(12361 + (2 << 20), 700001)}}));
}

TEST(Platform, CopiesInTheKernelInPieces) {
  ScratchDir dir;
  FakeCalls fake;
  FakeCalls::maxMove = 100000;
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
  CopyTwoFiles(dir.path(), dir / "out");
  EXPECT_GT(FakeCalls::spliceCalls, 20);
}

TEST(Platform, RefusedKernelCopiesFallBackOnceForTheRun) {
  // Refused by the image's side, or by the output's with bytes in the pipe.
  for (const auto& [onImage, error] : {std::pair{true, EXDEV}, std::pair{true, EINVAL},
                                       std::pair{true, ENOSYS}, std::pair{false, EINVAL}}) {
    ScratchDir dir;
    FakeCalls fake;
    (onImage ? FakeCalls::spliceError : FakeCalls::drainError) = error;
    FakeCalls::maxMove = 50000;  // short reads and writes too
    // and a signal: each call is tried again.
    FakeCalls::interruptions = FakeCalls::kWrite | FakeCalls::kPread;
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
    CopyTwoFiles(dir.path(), dir / "out");
    EXPECT_EQ(FakeCalls::spliceCalls, 1) << error;
    EXPECT_EQ(FakeCalls::interruptions, 0) << error;
  }
}

TEST(Platform, KernelCopyOfNothingIsNotTakenForTheEnd) {
  ScratchDir dir;
  FakeCalls fake;
  FakeCalls::spliceZero = true;
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
  CopyTwoFiles(dir.path(), dir / "out");
  // Nor tried again: a system that moves nothing once will not later.
  EXPECT_EQ(FakeCalls::spliceCalls, 1);
}

TEST(Platform, CopiesToAnotherFileSystem) {
  // The image in the build tree, the output on tmpfs.
  const std::string shm = "/dev/shm";
  struct stat here, there;
  if (stat(".", &here) != 0 || stat(shm.c_str(), &there) != 0 || here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system at " << shm;
  ScratchDir out;  // for its name only
  const std::string outDir = shm + "/" + std::filesystem::path(out.path()).filename().string();
  ASSERT_EQ(mkdir(outDir.c_str(), 0777), 0);
  const std::string imageDir = std::filesystem::current_path() / "platform-test-image";
  std::filesystem::create_directory(imageDir);
  CopyTwoFiles(imageDir, outDir);
  std::filesystem::remove_all(outDir);
  std::filesystem::remove_all(imageDir);
}

TEST(Platform, ImageThatShrankOrOutputThatFailedEndsTheCopy) {
  ScratchDir dir;
  const std::string bytes = Pattern(1 << 20);
  WriteFileBytes(dir / "i", bytes);
  ImageFile* image = OpenImageFile((dir / "i").c_str());
  ASSERT_TRUE(image);
  ASSERT_EQ(truncate((dir / "i").c_str(), 300000), 0);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
  const OutputDirHandle out = OpenRoot(dir / "out");
  uint64_t copied;
  ASSERT_TRUE(SeekImageFile(image, 1000));
  EXPECT_EQ(CopyImageToNewFile(image, In(out, "short"), 500000, false, &copied),
            CopyResult::kImageShort);
  EXPECT_EQ(copied, 299000u);

  // A full output, written from here or, after what the read-ahead held,
  // from the pipe: the file and the pipe, which holds bytes that belong
  // nowhere, are closed.
  FakeCalls fake;
  const auto openFiles = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  for (const bool fromPipe : {false, true}) {
    ForgetCopyRefusal();
    FakeCalls::spliceError = fromPipe ? 0 : EXDEV;
    FakeCalls::writeError = fromPipe ? 0 : ENOSPC;
    FakeCalls::drainError = fromPipe ? ENOSPC : 0;
    ASSERT_TRUE(SeekImageFile(image, 0));
    EXPECT_EQ(
        CopyImageToNewFile(image, In(out, fromPipe ? "full2" : "full"), 290000, false, &copied),
        CopyResult::kWriteFailed);
    EXPECT_EQ(std::string(GetLastErrorString()), "No space left on device\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), openFiles);
  }
  CloseImageFile(image);
  EXPECT_EQ(ScanTree(dir / "out"), (Tree{{"short", "file:" + bytes.substr(1000, 299000)},
                                         {"full", "file:"},
                                         {"full2", "file:" + bytes.substr(0, 128 << 10)}}));
}

TEST(Platform, TraceWriteThatFailedOnceFailsTheRun) {
  // A non-blocking standard output, full for a moment: the lines that met it
  // full are lost, so the run fails though the final flush goes through.
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK) != 0) _exit(2);
        fflush(stdout);
        dup2(fds[1], STDOUT_FILENO);
        StartTrace();
        const std::string line(99, 'x');
        for (int i = 0; i * 100 < 2 * fcntl(fds[0], F_GETPIPE_SZ); ++i) Trace("%s\n", line.c_str());
        ReadFd(fds[0]);
        Trace("last\n");
        const bool finished = FinishTrace();
        if (!ReadFd(fds[0]).ends_with("last\n")) _exit(3);  // the flush did go through
        exit(finished ? 0 : 255);
      },
      ::testing::ExitedWithCode(255),
      "^skelvane: cannot write the trace: Resource temporarily unavailable\n$");
}

// Makes fd standard output, fully buffered as off a terminal, and starts the trace.
void TraceTo(int fd) {
  fflush(stdout);
  dup2(fd, STDOUT_FILENO);
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  StartTrace();
}

TEST(Platform, TraceOffATerminalIsWrittenOutEverySecond) {
  ScratchDir dir;
  WriteFileBytes(dir / "i", Pattern(300000));
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK) != 0) _exit(2);
        const int trace = fds[0];
        TraceTo(fds[1]);
        // Between lines: the clock is read every 64 of them, printed with a
        // format or as text.
        Trace("first\n");
        usleep(1100000);
        for (int i = 0; i < 64; ++i) Trace("%d\n", i);
        if (!ReadFd(trace).starts_with("first\n0\n")) _exit(3);
        TraceText("text\n");
        usleep(1100000);
        for (int i = 0; i < 64; ++i) TraceText("line\n");
        if (ReadFd(trace).find("text\nline\n") == std::string::npos) _exit(6);
        // And between the pieces of a copy (a file of one piece reads no clock).
        FakeCalls fake;
        FakeCalls::maxMove = 100000;
        Trace("copying\n");
        usleep(1100000);
        ImageFile* image = OpenImageFile((dir / "i").c_str());
        const OutputDirHandle out = OpenRoot(dir.path());
        uint64_t copied;
        const CopyResult result = CopyImageToNewFile(image, In(out, "o"), 300000, false, &copied);
        CloseImageFile(image);
        if (result != CopyResult::kDone) _exit(4);
        if (!ReadFd(trace).ends_with("copying\n")) _exit(5);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Platform, InterruptedCopyRemovesItsFileAndEndsByTheSignal) {
  ScratchDir dir;
  const std::string bytes = Pattern(1 << 20);
  WriteFileBytes(dir / "i", bytes);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
  int trace[2];
  ASSERT_EQ(pipe(trace), 0);
  EXPECT_EXIT(
      {
        TraceTo(trace[1]);
        FakeCalls fake;
        FakeCalls::spliceError = EXDEV;  // the copies go through the window, ...
        FakeCalls::signalAtWrite = 4;    // ... and the signal comes during the second
        ImageFile* image = OpenImageFile((dir / "i").c_str());
        const OutputDirHandle out = OpenRoot(dir / "out");
        uint64_t copied;
        Trace("kept\n");
        if (CopyImageToNewFile(image, In(out, "kept"), 300000, false, &copied) != CopyResult::kDone)
          _exit(3);
        Trace("cut\n");
        if (CopyImageToNewFile(image, In(out, "cut"), 700000, false, &copied) !=
                CopyResult::kInterrupted ||
            copied == 0 || copied == 700000)
          _exit(4);
        StopInterrupted();  // as the walk does then
      },
      ::testing::KilledBySignal(SIGINT), "");
  close(trace[1]);
  EXPECT_EQ(ReadFd(trace[0]), "kept\ncut\nInterrupted\n");
  close(trace[0]);
  EXPECT_EQ(ScanTree(dir / "out"), (Tree{{"kept", "file:" + bytes.substr(0, 300000)}}));
}

TEST(Platform, CreationNeverReplacesOrFollows) {
  ScratchDir dir;
  ASSERT_EQ(symlink("elsewhere", (dir / "link").c_str()), 0);
  const OutputDirHandle root = OpenRoot(dir.path());
  uint64_t copied;
  ImageFile* image = OpenImageFile("/dev/null");
  EXPECT_EQ(CopyImageToNewFile(image, In(root, "link"), 0, false, &copied),
            CopyResult::kCreateFailed);
  CloseImageFile(image);
  EXPECT_FALSE(MakeDirectory(In(root, "link")));
  EXPECT_FALSE(MakeSymbolicLink("x", In(root, "link")));
  EXPECT_EQ(std::string(GetLastErrorString()), "File exists\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
  // A directory on the way to a link that is now a link is not followed.
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((dir / "real/sub").c_str(), 0777), 0);
  ASSERT_EQ(symlink("real", (dir / "swapped").c_str()), 0);
  EXPECT_TRUE(OpenDirectoryBeneath(*root, {"real", "sub"}));
  EXPECT_FALSE(OpenDirectoryBeneath(*root, {"swapped", "sub"}));
  EXPECT_FALSE(OpenDirectoryBeneath(*root, {"real", "..", "real"}));
}

}  // namespace
