// The JSON lines, read back by jq and Python's json.
#include "unpack/json.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <set>

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
  // Controls, DEL and C1 controls escaped; U+2028 as it is; a stray byte as U+FFFD
  // beside the bytes in hex, one U+FFFD for each of a sequence cut short.
  JsonEntry symlink{.path = "q\"\\\n\x01\x1f\x7f\xc2\x9b\xe2\x80\xa8",
                    .type = kSymbolicLink,
                    .target =
                        "a\xe2\x82"
                        "b\xff",
                    .offset = 0};
  EXPECT_EQ(
      JsonEntryLine(symlink),
      "{\"path\":\"q\\\"\\\\\\n\\u0001\\u001f\\u007f\\u009b\xe2\x80\xa8\",\"type\":\"symlink\","
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

// --list --json and --scan --json on an image whose names the text forms
// must escape, 100 bytes into its file: jq gives every line back as it is;
// Python gets each path's exact bytes, the paths --list lists, and finds
// each entry's name and each file's bytes at the offsets the lines give. A
// damaged image ends both listings with its message; an interrupted one
// ends JSON with JSON.
TEST(Json, ListAndScanReadBack) {
  // A target longer than a read, a UTF-8 sequence across two reads, and
  // a byte that is not UTF-8 in the second: its hex is read again.
  const std::string longTarget =
      std::string(4095, 't') + "\xc3\xa9" + std::string(5000, 'u') + "\xff" + "end";
  const std::vector<std::string> names = {"a b -> c",    "new\nline",   "q\"uo\\te",
                                          "bad\xff\xfe", "caf\xc3\xa9", "ctl\x01\x7f"};
  std::vector<Entry> sub;
  for (const std::string& name : names) sub.push_back(File(name, "data of " + name));
  Entry early = HardLink("early");  // before its file: named after a survey
  Entry nowhere = HardLink("nowhere");
  nowhere.specInfo = 16;
  Entry device = HardLink("tty\xff"), fifo = HardLink("fifo");
  device.type = kCharacterDevice;
  device.specInfo = 4 << 16 | 65;
  fifo.type = kFifo;
  std::vector<Entry> root = {
      early,  nowhere, Link("long", longTarget),    Link("sym \\ \"", "a b -> c"),
      device, fifo,    DirWithDots("d i\xe9r", sub)};
  std::string image = BuildImage("vol \xff", root);
  // The survey finds "d i\xe9r/a b -> c" for the first link.
  const uint32_t file = root[6].children[2].offset;
  SetSpecInfo(image, root[0].offset, file);
  ScratchDir dir;
  WriteFileBytes(dir / "fw.bin", std::string(100, 'x') + image);
  WriteFileBytes(dir / "cut.bin",
                 std::string(100, 'x') + image.substr(0, root[6].children.back().offset + 36));

  const RunResult text = RunSkelvane({"--list", "--offset", "100", "fw.bin"}, dir.path());
  const RunResult json = RunSkelvane({"--list", "--json", "--offset", "100", "fw.bin"}, dir.path());
  const RunResult scan = RunSkelvane({"--scan", "--json", "fw.bin"}, dir.path());
  ASSERT_EQ(text.status, 0) << text.out;
  ASSERT_EQ(json.status, 0) << json.out;
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(scan.out, "{\"offset\":100,\"size\":" + std::to_string(image.size()) +
                          ",\"held\":" + std::to_string(image.size()) +
                          ",\"name\":\"vol \xef\xbf\xbd\",\"name_hex\":\"766f6c20ff\"}\n");
  EXPECT_EQ(scan.status, 0);
  WriteFileBytes(dir / "list.json", json.out);
  WriteFileBytes(dir / "list.txt", text.out);
  WriteFileBytes(dir / "scan.json", scan.out);

  const RunResult jq =
      RunSkelvane({"-c", ".", "list.json", "scan.json"}, dir.path(), {.program = "/usr/bin/jq"});
  if (jq.status != 121) {
    EXPECT_EQ(jq.status, 0) << jq.err;
    EXPECT_EQ(jq.out, json.out + scan.out);
  }
  // Prints what differs; nothing when all holds.
  const RunResult python = RunSkelvane({"-c", R"(
import json, re, sys
def raw(o, key):
    return bytes.fromhex(o[key + '_hex']) if key + '_hex' in o else o[key].encode()
unescape = lambda text: re.sub(rb'\\([0-7]{3})', lambda m: bytes([int(m.group(1), 8)]), text)
listed = {unescape(re.split(rb' ', line[14:], 1)[0] if line[0:1] in b'l' else line[14:])
          for line in open('list.txt', 'rb').read().split(b'\n')[:-1] if line[0:1] not in b'hl'}
fw = open('fw.bin', 'rb').read()
paths = set()
for line in open('list.json', encoding='utf-8'):
    o = json.loads(line)
    path = raw(o, 'path')
    paths.add(path)
    name = fw[o['offset'] + 16:].split(b'\0')[0]
    if name != path.split(b'/')[-1]: print('name at offset', path, name)
    if o['type'] == 'file' and fw[o['data_offset']:o['data_offset'] + o['size']] != b'data of ' + name:
        print('data at data_offset', path)
    if o['type'] == 'symlink':
        print('target', path, len(raw(o, 'target')), raw(o, 'target')[-12:], o['target'].count('\ufffd'))
    if o['type'] == 'hardlink': print('link', path, o['link'] and raw(o, 'link'))
    if o['type'] == 'char': print('device', path, o['major'], o['minor'], 'size' in o)
hard = {unescape(line[14:].split(b' link to ')[0])
        for line in open('list.txt', 'rb').read().split(b'\n')[:-1] if line[0:1] == b'h'}
sym = {unescape(line[14:].split(b' -> ')[0])
       for line in open('list.txt', 'rb').read().split(b'\n')[:-1] if line[0:1] == b'l'}
if paths != listed | hard | sym: print('paths', sorted(paths ^ (listed | hard | sym)))
)"},
                                       dir.path(), {.program = "/usr/bin/python3"});
  if (python.status == 121) GTEST_SKIP() << "no /usr/bin/python3";
  EXPECT_EQ(python.status, 0) << python.err;
  EXPECT_EQ(python.out,
            "link b'early' b'd i\\xe9r/a b -> c'\n"
            "link b'nowhere' None\n"
            "target b'long' 9101 b'uuuuuuuu\\xffend' 1\n"
            "target b'sym \\\\ \"' 8 b'a b -> c' 0\n"
            "device b'tty\\xff' 4 65 False\n");

  // Damage: the text listing's last line, as the JSON listing's error.
  const RunResult cutText = RunSkelvane({"--list", "--offset", "100", "cut.bin"}, dir.path());
  const RunResult cutJson =
      RunSkelvane({"--list", "--json", "--offset", "100", "cut.bin"}, dir.path());
  EXPECT_EQ(cutText.status, 255);
  EXPECT_EQ(cutJson.status, 255);
  ASSERT_TRUE(cutText.out.ends_with("\nRead file buffer failed (13, 4)\n"));
  const std::string error = "{\"error\":\"Read file buffer failed (13, 4)\"}\n";
  EXPECT_TRUE(cutJson.out.ends_with("}\n" + error));
  EXPECT_TRUE(json.out.starts_with(cutJson.out.substr(0, cutJson.out.size() - error.size())));
  const RunResult none = RunSkelvane({"--scan", "--json", "list.txt"}, dir.path());
  EXPECT_EQ(none.out, "{\"error\":\"No romfs image in list.txt\"}\n");
  EXPECT_EQ(none.status, 255);

  // Interrupted while the reader holds up the listing: the lines so far,
  // then JSON's last line.
  std::string unused;
  std::vector<Entry> many = ManyFiles(unused, "");
  WriteFileBytes(dir / "many.img", BuildImage("vol", many));
  const std::string whole = RunSkelvane({"--list", "--json", "many.img"}, dir.path()).out;
  const RunResult stopped =
      RunSkelvane({"--list", "--json", "many.img"}, dir.path(), {.stallSignal = SIGINT});
  EXPECT_EQ(stopped.status, 128 + SIGINT);
  const std::string last = "{\"error\":\"Interrupted\"}\n";
  ASSERT_TRUE(stopped.out.ends_with("}\n" + last)) << stopped.out.substr(0, 200);
  const std::string before = stopped.out.substr(0, stopped.out.size() - last.size());
  EXPECT_TRUE(whole.starts_with(before));
  EXPECT_LT(before.size(), whole.size());
  if (jq.status == 121) GTEST_SKIP() << "no /usr/bin/jq (package jq)";
}

}  // namespace
