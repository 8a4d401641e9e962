#include "tests/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

// True while the process waits in a write to its standard output. Under
// Wine the trace goes out from another descriptor: there any write must do,
// numbered as the 32-bit system numbers it (4) for the 32-bit program.
bool WaitsToWriteStandardOutput(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long call = -1;
  std::string fd;
  in >> call >> fd;
#ifdef SKELVANE_EMULATOR
  return call == SYS_write || call == 4;
#else
  return call == SYS_write && fd == "0x1";
#endif
}

// A terminal that passes bytes unchanged: the test's end, the program's.
void OpenRawTerminal(int fds[2]) {
  struct termios raw;
  if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty");
  tcgetattr(fds[1], &raw);
  cfmakeraw(&raw);
  tcsetattr(fds[1], TCSANOW, &raw);
}

}  // namespace

RunResult RunSkelvane(const std::vector<std::string>& args, const std::string& cwd,
                      const RunOptions& options) {
  using Out = RunOptions::Out;
  int outFds[2];  // what the program writes to, what the test reads from
  if (options.out == Out::kTerminal) {
    OpenRawTerminal(outFds);
  } else if (pipe2(outFds, O_CLOEXEC) != 0) {  // left to no process the run starts
    throw std::runtime_error("pipe");
  }
  if (options.out == Out::kReaderGone) close(outFds[0]);
  FILE* err = tmpfile();
  if (!err) throw std::runtime_error("tmpfile");
  int errFds[2] = {-1, -1};  // a terminal for standard error: the test's end, the program's
  if (options.errTerminal) OpenRawTerminal(errFds);
  int inFds[2] = {-1, -1};
  if (options.input && pipe2(inFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(options.out == Out::kFull ? open("/dev/full", O_WRONLY) : outFds[1], 1);
    if (options.errToOut)
      dup2(1, 2);
    else
      dup2(options.errTerminal ? errFds[1] : fileno(err), 2);
    if (options.input) dup2(inFds[0], 0);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    // As from an interactive shell, even where the tests run in the background.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
    alarm(options.timeLimit);  // the timer survives exec; the program does not catch SIGALRM
    if (options.memoryLimit) {
      const rlimit limit{options.memoryLimit, options.memoryLimit};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(122);
    }
    std::vector<char*> argv{const_cast<char*>(options.program.c_str())};
#ifdef SKELVANE_EMULATOR
    // Wine's system texts follow the locale, and non-ASCII arguments need a UTF-8 one.
    setenv("WINEPREFIX", WINEPREFIX_PATH, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("LC_ALL", options.locale.c_str(), 1);
    argv.insert(argv.begin(), const_cast<char*>(SKELVANE_EMULATOR));
#endif
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(121);
  }
  close(outFds[1]);
  if (options.errTerminal) close(errFds[1]);
  std::thread feeder;
  if (options.input) {
    close(inFds[0]);
    signal(SIGPIPE, SIG_IGN);  // a program that reads no further is no failure
    feeder = std::thread([fd = inFds[1], &bytes = *options.input] {
      for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(fd);
    });
  }
  RunResult result{"", -1, ""};
  if (options.out != Out::kReaderGone) {
    if (options.whenStalled || options.stallSignal) {
      // Held up when the run waits to write more into a pipe full to within
      // a write: the trace goes out in pieces that need not fill its pages
      // (it is flushed every second, and Wine writes line by line). A run
      // that ends first fails the test.
      const int full = fcntl(outFds[0], F_GETPIPE_SZ) - PIPE_BUF;
      int held = 0;
      while (ioctl(outFds[0], FIONREAD, &held) == 0 &&
             (held < full || !WaitsToWriteStandardOutput(pid)) &&
             waitpid(pid, nullptr, WNOHANG) == 0)
        usleep(1000);
      EXPECT_GE(held, full) << "the run was never held up by its trace";
      if (options.whenStalled) options.whenStalled();
      if (options.stallSignal) kill(pid, options.stallSignal);
    }
    result.out = ReadFd(outFds[0]);
    close(outFds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (feeder.joinable()) feeder.join();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
    ADD_FAILURE() << options.program << " was killed after running for " << options.timeLimit
                  << " s";
  result.err = ReadFileBytes("/proc/self/fd/" + std::to_string(fileno(err)));
  fclose(err);
  if (options.errTerminal) {
    // What the program wrote waits in the terminal; its end reads as an error.
    result.err = ReadFd(errFds[0]);
    close(errFds[0]);
  }
  return result;
}

namespace {

// Plain lstat and readdir: nothing here follows a link the run created.
void ScanInto(const std::string& dir, const std::string& prefix,
              std::map<std::string, std::string>& tree, const std::string& skip = "") {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == skip) continue;
    const std::string path = dir + "/" + name, rel = prefix + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
      target.resize(static_cast<size_t>(
          std::max<ssize_t>(0, readlink(path.c_str(), target.data(), target.size()))));
      tree[rel] = "link:" + target;
    } else if (S_ISDIR(st.st_mode)) {
      tree[rel] = "dir";
      ScanInto(path, rel + "/", tree);
    } else if (S_ISREG(st.st_mode)) {
      tree[rel] = "file:" + ReadFileBytes(path);
    } else {
      tree[rel] = "other";
    }
  }
  closedir(d);
}

}  // namespace

std::map<std::string, std::string> ScanTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  ScanInto(root, "", tree);
  return tree;
}

std::string ReadFd(int fd) {
  std::string bytes;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  return bytes;
}

unsigned PermissionsOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return st.st_mode & 07777;
}

unsigned CreatedWith(unsigned mode) {
  const mode_t mask = umask(0);
  umask(mask);
  return mode & ~mask;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) throw std::runtime_error("cannot read " + path);
  return bytes.str();
}

void WriteBytesAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
  const bool ok = fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                                 static_cast<ssize_t>(bytes.size());
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string LoneEntry(Entry entry, uint32_t next) {
  std::vector<Entry> chain = {std::move(entry)};
  std::string image = BuildImage("", chain);  // the entry sits at 32
  SetNext(image, 32, next);
  return image.substr(32);
}

std::vector<Entry> ManyFiles(std::string& listing, const std::string& indent) {
  std::vector<Entry> files;
  for (int i = 0; i < 700; ++i) {
    const std::string name = std::to_string(i) + std::string(100, 'f');
    files.push_back(File(name, "x"));
    listing += indent + name + " (1) \n";
  }
  return files;
}

Tree ManyFilesListed(const std::string& trace, std::string& last) {
  Tree tree = {{"out", "dir"}};
  last.clear();
  for (size_t at = kHead.size(), end; (end = trace.find(" (1) \n", at)) != trace.npos;
       at = end + 6) {
    if (!last.empty()) tree["out/" + last] = "file:x";
    last = trace.substr(at, end - at);
  }
  return tree;
}

std::thread FeedFifo(const std::string& path, const std::string& bytes) {
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
  signal(SIGPIPE, SIG_IGN);
  return std::thread([path, bytes] {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(fd);
  });
}

namespace {

const std::string busybox = std::string(100, 'b') + "-rom1fs-" + std::string(192, 'b'),
                  readme(120, 'r');

}  // namespace

std::string ExampleImage() {
  std::vector<Entry> root = {
      Dir(".", {}),
      HardLink(".."),
      Dir("bin",
          {HardLink("."), HardLink(".."), File("busybox", busybox, true), Link("sh", "busybox")}),
      File("README", readme),
  };
  return BuildImage("rootfs", root);
}

void WriteFourGigabyteImage(const std::string& path, uint32_t lastSize, uint64_t at) {
  Entry last = File("end", "");
  last.size = lastSize;
  std::vector<Entry> root = {File("low", "l")};
  std::string image = BuildImage("vol", root);
  SetNext(image, root[0].offset, 0x80000000u);
  WriteBytesAt(path, at, image);
  WriteBytesAt(path, at + 0x80000000u, LoneEntry(File("mid", "past 2^31"), 0xC0000000u));
  WriteBytesAt(path, at + 0xC0000000u, LoneEntry(File("high", "3/4"), 0xFFFFFFE0u));
  WriteBytesAt(path, at + 0xFFFFFFE0u, LoneEntry(last, 0));
  if (fs::file_size(path) != at + (1ull << 32)) throw std::runtime_error("not 4 GiB: " + path);
}

RunResult RunExample(const ScratchDir& dir, const RunOptions& options) {
  WriteFileBytes(dir / "fw.img", ExampleImage());
  return RunSkelvane({"fw.img"}, dir.path(), options);
}

std::string ExampleTrace(const std::string& image, const std::string& target, bool all) {
  return "Image name=rootfs (6)\n"
         "UNPACKING ROMFS IMAGE " +
         image + " to " + target +
         "...\n"
         "[.] \n"
         "[..] \n"
         "[bin] \n"
         "...[.] \n"
         "...[..] \n"
         "...busybox (300) (X)\n"
         "...sh <SYMBOLIC LINK> (7) \n"
         "README (120) \n"
         "\n" +
         (all ? "RESOLVING LINKS...\n" : "RESOLVING SYMBOLIC LINKS...\n") +
         "-> create symbolic link " + target +
         "\\bin\\sh with busybox (done)\n"
         "\n" +
         (all ? "DONE. (1 symbolic links, 0 hard links, 0 unresolved, 0 special files not made)\n"
              : "DONE. (1 symbolic links, 0 unresolved)\n");
}

const std::string kExampleTrace = ExampleTrace("fw.img", "ROMFS", false);

std::string FirmwareFile() {
  std::string head = "HDR0" + std::string(60, '\x11');
  std::string kernel(4099, '\0');
  uint32_t x = 1;
  for (char& c : kernel) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  kernel.replace(1000, 8, "-rom1fs-");
  return head + kernel + ExampleImage() + std::string(2000, '\xff');
}

std::string ScanFile(std::string& listing) {
  std::string file = "-rom1fs-" + std::string(993, 'Z');
  auto put = [&](size_t at, const std::string& image, const std::string& volume) {
    file.resize(at, '\xff');
    file += image;
    // As makers pad them: the checksum covers 512 bytes.
    file.resize(std::max(file.size(), at + 512), '\0');
    listing += std::to_string(at) + " " + std::to_string(image.size()) + " " + volume + "\n";
  };
  std::vector<Entry> inner = {File("f", "x")};
  std::string innerImage = BuildImage("inner", inner);
  const size_t innerSize = innerImage.size();
  innerImage.resize(512, '\0');
  std::vector<Entry> outer = {File("inner.img", innerImage)};
  const std::string first = BuildImage("first", outer);
  put(1001, first, "first");
  const size_t innerAt = 1001 + DataOffset(first, outer[0].offset);
  listing += std::to_string(innerAt) + " " + std::to_string(innerSize) + " inner\n";
  std::vector<Entry> across = {File("f", std::string(600, 'a'))};
  put((1 << 20) - 301, BuildImage("across blocks", across), "across blocks");
  std::vector<Entry> split = {File("f", "s")};
  put((2 << 20) - 3, BuildImage("split ident", split), "split ident");
  std::vector<Entry> cut = {File("f", std::string(2000, 'c'))};
  const std::string last = BuildImage("cut", cut);
  const size_t lastAt = file.size() + 7;
  file.resize(lastAt, '\xff');
  file += last.substr(0, 700);
  listing += std::to_string(lastAt) + " " + std::to_string(last.size()) +
             " cut (cut short: 712 bytes in the file)\n";
  // "-rom1fs-" and a word that makes the three sum to 0.
  std::string tail = "-rom1fs-" + std::string(4, '\0');
  WriteWordAt(tail, 8, 0u - ReadWordAt(tail, 0) - ReadWordAt(tail, 4));
  return file + tail;
}

const Tree kExampleTree = {{"ROMFS", "dir"},
                           {"ROMFS/README", "file:" + readme},
                           {"ROMFS/bin", "dir"},
                           {"ROMFS/bin/busybox", "file:" + busybox},
                           {"ROMFS/bin/sh", "link:busybox"}};

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "skelvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

RunResult Unpack::Run(const std::string& image, std::vector<std::string> extraArgs) {
  WriteFileBytes(dir / "image.img", image);
  extraArgs.insert(extraArgs.begin(), "image.img");
  extraArgs.insert(extraArgs.begin(), options.begin(), options.end());
  return RunSkelvane(extraArgs, dir.path(), run);
}

RunResult Unpack::Run(const std::string& volume, std::vector<Entry> root) {
  return Run(BuildImage(volume, root));
}

std::map<std::string, std::string> Unpack::Left() const {
  // The image is not read: it may be gigabytes of holes.
  std::map<std::string, std::string> left;
  ScanInto(dir.path(), "", left, "image.img");
  return left;
}
