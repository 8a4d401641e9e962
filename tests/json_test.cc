// The JSON lines, read back by jq and Python's json.
#include "unpack/json.h"

#include <gtest/gtest.h>

#include "image/romfs.h"
#include "tests/test_util.h"

namespace {

TEST(Json, Lines) {
  JsonEntry file{.path = "d/f", .type = kRegularFile, .size = 5, .offset = 96, .dataOffset = 128};
  EXPECT_EQ(JsonEntryLine(file),
            R"({"path":"d/f","type":"file","exec":false,"size":5,"offset":96,"data_offset":128})"
            "\n");
  JsonEntry device{.path = "dev/sda",
                   .type = kBlockDevice,
                   .exec = true,
                   .major = 8,
                   .minor = 1,
                   .offset = 4294967296};
  EXPECT_EQ(JsonEntryLine(device),
            R"({"path":"dev/sda","type":"block","exec":true,"major":8,"minor":1,)"
            R"("offset":4294967296})"
            "\n");
  JsonEntry link{.path = "h", .type = kHardLink, .offset = 32};
  EXPECT_EQ(JsonEntryLine(link),
            R"({"path":"h","type":"hardlink","exec":false,"size":0,"link":null,"offset":32})"
            "\n");
  // Controls as JSON writes them; U+2028 as it is; a stray byte as U+FFFD
  // beside the bytes in hex, one U+FFFD for each of a sequence cut short.
  JsonEntry symlink{.path = "q\"\\\n\x01\x1f\x7f\xe2\x80\xa8",
                    .type = kSymbolicLink,
                    .target =
                        "a\xe2\x82"
                        "b\xff",
                    .offset = 0};
  EXPECT_EQ(JsonEntryLine(symlink),
            "{\"path\":\"q\\\"\\\\\\n\\u0001\\u001f\x7f\xe2\x80\xa8\",\"type\":\"symlink\","
            "\"exec\":false,\"size\":0,\"target\":\"a\xef\xbf\xbd\xef\xbf\xbd"
            "b\xef\xbf\xbd\",\"target_hex\":\"61e28262ff\",\"offset\":0}\n");
  EXPECT_EQ(JsonScanLine({.offset = 7, .size = 1024, .held = 1000, .name = "v\xc0"}),
            R"({"offset":7,"size":1024,"held":1000,"name":"v)"
            "\xef\xbf\xbd"
            R"(","name_hex":"76c0"})"
            "\n");
  EXPECT_EQ(JsonErrorLine("Read file buffer failed (4, 2)"),
            R"x({"error":"Read file buffer failed (4, 2)"})x"
            "\n");
}

// A text written in pieces of any size, a UTF-8 sequence split between two,
// gives the string the whole text gives.
TEST(Json, TextInPieces) {
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff\xe2\x82\"\n\xf0\x9f";
  std::string whole;
  uint64_t wholeReplaced = 0;
  EXPECT_EQ(AppendJsonText(whole, text, true, wholeReplaced), text.size());
  EXPECT_EQ(wholeReplaced, 5u);
  for (size_t size = 1; size <= 5; ++size) {
    std::string out, carried;
    uint64_t replaced = 0;
    for (size_t at = 0; at < text.size(); at += size) {
      carried += text.substr(at, size);
      const bool last = at + size >= text.size();
      carried.erase(0, AppendJsonText(out, carried, last, replaced));
      EXPECT_LE(carried.size(), 3u);
    }
    EXPECT_EQ(out, whole) << size;
    EXPECT_EQ(replaced, wholeReplaced);
  }
}

// Every line parses with jq and Python, and a text with its hex gives back
// the exact bytes.
TEST(Json, ReadersGetTheExactBytes) {
  const std::vector<std::string> names = {"plain",
                                          "caf\xc3\xa9",
                                          "\xe9t\xe9",
                                          "ctl\x01\x1f\x7f\t",
                                          "\xed\xa0\x80",
                                          "\xf4\x90\x80\x80",
                                          "\xc0\xaf",
                                          "sep\xe2\x80\xa8\xe2\x80\xa9",
                                          "\xf0\x9f\x98\x80",
                                          "\"\\/"};
  std::string lines, expected;
  for (const std::string& name : names) {
    for (const uint8_t type :
         {kDirectory, kRegularFile, kSymbolicLink, kHardLink, kCharacterDevice, kSocket, kFifo}) {
      const JsonEntry entry{.path = name, .type = type, .target = name, .link = name};
      lines += JsonEntryLine(entry);
      expected += "path " + name + "\n";
      if (type == kSymbolicLink) expected += "target " + name + "\n";
      if (type == kHardLink) expected += "link " + name + "\n";
    }
    lines += JsonScanLine({.name = name});
    lines += JsonErrorLine(name);
    expected += "name " + name + "\nerror " + name + "\n";
  }
  ScratchDir dir;
  WriteFileBytes(dir / "lines.json", lines);
  const RunResult jq =
      RunSkelvane({"-c", ".", "lines.json"}, dir.path(), {.program = "/usr/bin/jq"});
  if (jq.status != 121) {  // jq is there
    EXPECT_EQ(jq.status, 0) << jq.err;
    EXPECT_EQ(std::count(jq.out.begin(), jq.out.end(), '\n'),
              std::count(lines.begin(), lines.end(), '\n'));
  }
  const RunResult python = RunSkelvane({"-c", R"(
import json, sys
for line in open(sys.argv[1], encoding='utf-8'):
    o = json.loads(line)
    for key in ('path', 'target', 'link', 'name', 'error'):
        if key in o:
            raw = bytes.fromhex(o[key + '_hex']) if key + '_hex' in o else o[key].encode()
            sys.stdout.buffer.write(key.encode() + b' ' + raw + b'\n')
)",
                                        "lines.json"},
                                       dir.path(), {.program = "/usr/bin/python3"});
  if (python.status == 121) GTEST_SKIP() << "no /usr/bin/python3";
  EXPECT_EQ(python.status, 0) << python.err;
  EXPECT_EQ(python.out, expected);
  if (jq.status == 121) GTEST_SKIP() << "no /usr/bin/jq (package jq)";
}

}  // namespace
