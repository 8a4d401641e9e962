// Writes the sample image kept in the repository: a directory, a program
// with the exec flag, a symbolic link to it and a text file.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "tests/romfs_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_sample OUTPUT.img\n";
    return 2;
  }
  std::vector<Entry> root = {
      Dir(".", {}),
      HardLink(".."),
      DirWithDots("bin", {File("hello", "#!/bin/sh\necho hello from the sample image\n", true),
                          Link("hi", "hello")}),
      File("README", "This tree was unpacked from sample.img by skelvane.\n"),
  };
  const std::string image = BuildImage("sample", root);
  std::ofstream out(argv[1], std::ios::binary);
  out.write(image.data(), static_cast<std::streamsize>(image.size()));
  return out.good() ? 0 : 1;
}
