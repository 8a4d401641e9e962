// libFuzzer target: runs the whole program, its driver included, on each
// input as an image file in a fresh directory, then checks that the run left
// nothing outside its target directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz/fatal_error.h"
#include "image/image.h"
#include "tests/romfs_builder.h"
#include "unpack/links.h"
#include "unpack/walk.h"

// app/skelvane.cc's main, renamed in this build.
int SkelvaneMain(int argc, char** argv);

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace fs = std::filesystem;

namespace {

std::string scratchRoot;

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "skelvane_fuzz: %s\n", what.c_str());
  abort();
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

void WriteImage(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) Fail("cannot write " + path);
}

// Runs "skelvane [--all] BASE/image.img BASE/a/b/out" in a fresh BASE: an odd
// last byte, which lies past a sound image, picks --all, and one of 3 modulo
// 4 "skelvane --list BASE/image.img" instead, which creates nothing. Entries
// that escaped the target would show up in BASE/a/b, BASE/a or BASE.
void Unpack(const uint8_t* data, size_t size) {
  std::string base = scratchRoot + "/skelvane-fuzz-XXXXXX";
  if (!mkdtemp(base.data())) Fail("mkdtemp in " + scratchRoot);
  std::string program = "skelvane", image = base + "/image.img", a = base + "/a", b = a + "/b",
              out = b + "/out";
  WriteImage(image, data, size);
  if (mkdir(a.c_str(), 0700) != 0 || mkdir(b.c_str(), 0700) != 0) Fail("mkdir in " + base);

  std::string all = "--all", list = "--list";
  std::vector<char*> argv = {program.data(), image.data(), out.data()};
  if (size > 0 && data[size - 1] % 4 == 3)
    argv = {program.data(), list.data(), image.data()};
  else if (size > 0 && data[size - 1] % 2)
    argv.insert(argv.begin() + 1, all.data());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  try {
    SkelvaneMain(argc, argv.data());
  } catch (const FatalError&) {
  }
  // What the process's end would have done after a fatal error, and the
  // state one run leaves for the next.
  CloseImageFile(hImage);
  hImage = nullptr;
  ClearLinkTable();
  ForgetReadHeaders();

  const std::set<std::string> inB = Names(b);
  if (Names(base) != std::set<std::string>{"a", "image.img"} ||
      Names(a) != std::set<std::string>{"b"} ||
      !(inB.empty() || inB == std::set<std::string>{"out"}))
    Fail("the run created something outside " + out);
  std::error_code error;
  fs::remove_all(base, error);
  if (error) Fail("cannot remove " + base + ": " + error.message());
}

// The run checks each checksum before it goes on, so nearly every random
// change would end at a checksum error. The entries the walk would reach get
// their checksums repaired, then the volume's.
void RepairChecksums(std::string& image) {
  if (image.size() < 16) return;
  const size_t volumeName = strnlen(image.data() + 16, std::min<size_t>(image.size() - 16, 512));
  std::vector<uint32_t> pending{16 + SetToBoundary16(static_cast<uint32_t>(volumeName) + 1)};
  std::unordered_set<uint32_t> seen;
  while (!pending.empty()) {
    const uint32_t at = pending.back();
    pending.pop_back();
    if (size_t{at} + 16 > image.size() || !seen.insert(at).second) continue;
    FixEntryChecksum(image, at);
    const uint32_t word = ReadWordAt(image, at);
    if (word & ~15u) pending.push_back(word & ~15u);
    // A directory's chain, where it starts without --all and with it.
    if ((word & 7) == 1 && image.compare(at + 16, 2, std::string(".\0", 2)) != 0) {
      pending.push_back(DataOffset(image, at));
      if (const uint32_t info = ReadWordAt(image, at + 4) & ~15u) pending.push_back(info);
    }
  }
  FixVolumeChecksum(image);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The trace is not checked here, and printing it would slow every run.
  if (!freopen("/dev/null", "w", stdout)) Fail("cannot send standard output to /dev/null");
  // Every input writes a tree: on tmpfs where there is one.
  scratchRoot = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Unpack(data, size);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  // One mutation in eight keeps its broken checksums, for the checksum errors.
  if (seed % 8 == 0) return size;
  std::string image(reinterpret_cast<const char*>(data), size);
  RepairChecksums(image);
  memcpy(data, image.data(), size);
  return size;
}
