// Writes the seed corpus of the fuzz target: small images of every shape the
// unpacker knows, sound and broken, made with the tests' image builder.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "tests/romfs_builder.h"

namespace {

std::string Make(std::vector<Entry> root) {
  return BuildImage("seed", root);
}

// The image, padded past the 512 bytes the volume's checksum covers, then
// the last byte, which picks the fuzz target's options.
std::string ThenOptions(std::string image, uint8_t last) {
  image.resize(std::max<size_t>(image.size(), 512), '\0');
  return image + static_cast<char>(last);
}

std::map<std::string, std::string> Seeds() {
  std::map<std::string, std::string> seeds;
  seeds["road"] = Make(
      {Dir(".", {}), HardLink(".."),
       DirWithDots("bin", {File("busybox", std::string(300, 'b'), true), Link("sh", "busybox")}),
       File("README", std::string(120, 'r'))});
  seeds["nested"] = Make({DirWithDots(
      "a", {DirWithDots("b", {File("deep", "xyz", true), File("empty", "")}), File("f", "1")})});
  seeds["links"] =
      Make({File("target", "t"), Link("rel", "target"), Link("abs", "/etc/passwd"),
            Link("up", "../../x"), Link("long", std::string(260, 'l')), Link("target", "taken")});
  seeds["names"] = Make({File(std::string(15, 'p'), "15"), File(std::string(16, 'q'), "16"),
                         File(std::string(255, 'r'), "255"), File("a b\\c", "blank"),
                         File("\xc3\xa9t\xe9", "non-ASCII")});
  seeds["dots"] = Make({Dir("..", {File("x", "x")}), File("..", "x"), Link("..", "x")});
  seeds["unsafe"] = Make({File("../x", "x"), Dir("a/../../x", {})});
  seeds["hardlink"] = Make({HardLink("other")});
  Entry device = File("dev", "");
  device.type = 4;
  seeds["device"] = Make({device});

  // One level deeper than the walk goes, and one link more than the table holds.
  std::vector<Entry> chain = {File("innermost", "i")};
  for (int i = 0; i < 256; ++i) chain = {Dir("d", std::move(chain))};
  seeds["deep"] = Make(chain);
  std::vector<Entry> links;
  for (int i = 0; i < 257; ++i) links.push_back(Link(std::to_string(i), "t"));
  seeds["many-links"] = Make(links);

  std::vector<Entry> looping = {File("a", "a"), File("b", "b")};
  std::string loop = BuildImage("seed", looping);
  SetNext(loop, looping[1].offset, looping[0].offset);
  seeds["loop"] = loop;

  Entry bad = File("bad", "data");
  bad.badChecksum = true;
  seeds["checksum"] = Make({File("good", "g"), bad});

  Entry huge = File("huge", "h");
  huge.size = 0xFFFFFFF0;
  Entry hugeLink = Link("hugelink", "h");
  hugeLink.size = 0xFFFFFFF0;
  seeds["sizes"] = Make({huge});
  seeds["linksize"] = Make({hugeLink});

  // A root file system for --all, which an odd last byte picks: hard links
  // to a file, a directory and a header past the end; every special type.
  std::vector<Entry> rootfs = {
      DirWithDots("bin", {File("busybox", "b", true), Link("sh", "busybox"), HardLink("again")}),
      HardLink("to dir"), HardLink("nowhere")};
  for (uint8_t type = 4; type <= 7; ++type) {
    Entry special = File("special" + std::to_string(type), "");
    special.type = type;
    special.specInfo = 0x00050001;
    rootfs.push_back(special);
  }
  std::string all = BuildImage("seed", rootfs);
  SetSpecInfo(all, rootfs[0].children[4].offset, rootfs[0].children[2].offset);
  SetSpecInfo(all, rootfs[1].offset, rootfs[0].offset);
  SetSpecInfo(all, rootfs[2].offset, 0xFFFFFFF0);
  seeds["rootfs-all"] = ThenOptions(all, 1);
  seeds["many-links-all"] = ThenOptions(seeds["many-links"], 1);

  // The same at an offset, after bytes that hold the magic too: the last
  // byte picks 45 and nothing, or --list; 44 and --all.
  const std::string before = "-rom1fs-" + std::string(37, '\xff');
  seeds["road-at-offset"] = before + ThenOptions(seeds["road"], 45 << 1);
  seeds["rootfs-list-at-offset"] = before + ThenOptions(all, 45 << 1 | 1);
  seeds["rootfs-all-at-offset"] = before.substr(1) + ThenOptions(all, 44 << 1 | 1);

  const std::string whole = seeds["road"];
  seeds["cut-header"] = whole.substr(0, 40);
  seeds["cut-data"] = whole.substr(0, whole.size() - 100);
  seeds["empty"] = "";
  seeds["volume-only"] = Make({});
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds DIRECTORY\n";
    return 2;
  }
  for (const auto& [name, image] : Seeds()) {
    std::ofstream out(std::string(argv[1]) + "/" + name + ".img", std::ios::binary);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    if (!out) return 1;
  }
  return 0;
}
