#include "tests/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

RunResult RunSkelvane(const std::vector<std::string>& args, const std::string& cwd,
                      const RunOptions& options) {
  using Out = RunOptions::Out;
  int outFds[2];  // what the program writes to, what the test reads from
  if (options.out == Out::kTerminal) {
    struct termios raw;
    if (openpty(&outFds[0], &outFds[1], nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    tcgetattr(outFds[1], &raw);
    cfmakeraw(&raw);
    tcsetattr(outFds[1], TCSANOW, &raw);
  } else if (pipe(outFds) != 0) {
    throw std::runtime_error("pipe");
  }
  if (options.out == Out::kReaderGone) close(outFds[0]);
  FILE* err = tmpfile();
  if (!err) throw std::runtime_error("tmpfile");
  int errTerminal[2] = {-1, -1};  // the side the test reads, the program's
  if (options.errTerminal) {
    struct termios raw;
    if (openpty(&errTerminal[0], &errTerminal[1], nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    tcgetattr(errTerminal[1], &raw);
    cfmakeraw(&raw);
    tcsetattr(errTerminal[1], TCSANOW, &raw);
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(options.out == Out::kFull ? open("/dev/full", O_WRONLY) : outFds[1], 1);
    dup2(options.errTerminal ? errTerminal[1] : fileno(err), 2);
    if (chdir(cwd.c_str()) != 0) _exit(120);
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
    setenv("LC_ALL", "C.UTF-8", 1);
    argv.insert(argv.begin(), const_cast<char*>(SKELVANE_EMULATOR));
#endif
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(121);
  }
  close(outFds[1]);
  if (options.errTerminal) close(errTerminal[1]);
  RunResult result{"", -1, ""};
  if (options.out != Out::kReaderGone) {
    if (options.whenStalled) {
      // Full when it holds a pipe's capacity; a run that ends first fails the test.
      const int capacity = fcntl(outFds[0], F_GETPIPE_SZ);
      int held = 0;
      while (ioctl(outFds[0], FIONREAD, &held) == 0 && held < capacity &&
             waitpid(pid, nullptr, WNOHANG) == 0)
        usleep(1000);
      EXPECT_EQ(held, capacity) << "the run was never held up by its trace";
      options.whenStalled();
    }
    result.out = ReadFd(outFds[0]);
    close(outFds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
    ADD_FAILURE() << options.program << " was killed after running for " << options.timeLimit
                  << " s";
  result.err = ReadFileBytes("/proc/self/fd/" + std::to_string(fileno(err)));
  fclose(err);
  if (options.errTerminal) {
    // Read once the program has ended: it writes a line or two at most.
    result.err = ReadFd(errTerminal[0]);
    close(errTerminal[0]);
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

namespace {

const std::string busybox(300, 'b'), readme(120, 'r');

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

}  // namespace

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

const std::string kExampleTrace =
    "Image name=rootfs (6)\n"
    "UNPACKING ROMFS IMAGE fw.img to ROMFS...\n"
    "[.] \n"
    "[..] \n"
    "[bin] \n"
    "...[.] \n"
    "...[..] \n"
    "...busybox (300) (X)\n"
    "...sh <SYMBOLIC LINK> (7) \n"
    "README (120) \n"
    "\n"
    "RESOLVING SYMBOLIC LINKS...\n"
    "-> create symbolic link ROMFS\\bin\\sh with busybox (done)\n"
    "\n"
    "DONE. (1 symbolic links, 0 unresolved)\n";

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
