// The walk in-process, seen through a consumer that records what it is
// handed: order, depth, chains, and which check stops it where.
#include <gtest/gtest.h>

#include "image/image.h"
#include "tests/test_util.h"
#include "unpack/path.h"
#include "unpack/tree.h"
#include "unpack/walk.h"

namespace {

struct Stopped {};

// Walks image by rules and records "enter <path> <parent> <depth>" and
// "<depth> <dir> <path>" lines; a damage message ends the record.
class Recorder {
 public:
  Recorder(const std::string& image, WalkRules rules, std::function<bool(const WalkedEntry&)> into)
      : rules_(rules) {
    WriteFileBytes(dir_ / "w.img", image);
    hImage = OpenImageFile((dir_ / "w.img").c_str());
    consumer_.enterDir = [this](const OutPath& dir, uint32_t parent, uint8_t depth) {
      record_.push_back("enter " + dir.shown + " " + Number(parent) + " " + std::to_string(depth));
      return EnteredDir{dirs_++};
    };
    consumer_.entry = [this, into](const WalkedEntry& e) {
      record_.push_back(std::to_string(e.depth) + " " + std::to_string(e.dir) + " " + e.path.shown);
      return into(e);
    };
    consumer_.damaged = [this](const std::string& message) {
      record_.push_back(message);
      throw Stopped{};
    };
  }
  ~Recorder() {
    CloseImageFile(hImage);
    hImage = nullptr;
  }
  // The record of a walk of the chain at root; the last line says how it ended.
  std::vector<std::string> Walk(uint64_t root) {
    try {
      record_.push_back(WalkImage(RootPath("r"), root, rules_, consumer_) ? "whole" : "stopped");
    } catch (const Stopped&) {
    }
    return record_;
  }

 private:
  static std::string Number(uint32_t n) { return n == kNoDirectory ? "-" : std::to_string(n); }
  ScratchDir dir_;
  WalkRules rules_;
  WalkConsumer consumer_;
  std::vector<std::string> record_;
  uint32_t dirs_ = 0;
};

bool IntoDirs(const WalkedEntry& e) {
  return e.header.entryType == 1;
}

TEST(Walker, DepthFirstInChainOrderAsTheConsumerChooses) {
  std::vector<Entry> root = {Dir("a", {Dir("b", {File("f", "x")}), File("g", "")}),
                             Dir("skip", {File("never", "")}), File("h", "")};
  const std::string image = BuildImage("vol", root);
  Recorder walk(image, {.separator = '/'},
                [](const WalkedEntry& e) { return IntoDirs(e) && e.name != "skip"; });
  EXPECT_EQ(walk.Walk(root[0].offset),
            (std::vector<std::string>{"enter r - 0", "0 0 r/a", "enter r/a 0 1", "1 1 r/a/b",
                                      "enter r/a/b 1 2", "2 2 r/a/b/f", "1 1 r/a/g", "0 0 r/skip",
                                      "0 0 r/h", "whole"}));
}

TEST(Walker, ChainsByInfoWordOrAfterTheName) {
  // Past padding, only the info word finds the chain; right after the name
  // lie zero bytes, read as a nameless hard link that ends the chain.
  std::vector<Entry> root = {Dir("d", {File("f", "x")})};
  root[0].padding = 32;
  const std::string image = BuildImage("vol", root);
  for (const bool info : {true, false}) {
    Recorder walk(image, {.infoChains = info, .separator = '/'}, IntoDirs);
    EXPECT_EQ(walk.Walk(root[0].offset),
              (std::vector<std::string>{"enter r - 0", "0 0 r/d", "enter r/d 0 1",
                                        info ? "1 1 r/d/f" : "1 1 r/d/", "whole"}));
  }
}

TEST(Walker, LoopsStopTheWalkOnceOrSilently) {
  std::vector<Entry> root = {File("a", ""), Dir("d", {File("b", "")})};
  std::string image = BuildImage("vol", root);
  SetNext(image, root[1].children[0].offset, root[0].offset);  // d/b leads back to a
  for (const bool silent : {false, true}) {
    Recorder walk(image, {.separator = '/', .silent = silent}, IntoDirs);
    std::vector<std::string> expected = {"enter r - 0", "0 0 r/a", "0 0 r/d", "enter r/d 0 1",
                                         "1 1 r/d/b"};
    expected.push_back(silent ? "stopped" : "Directory chain loops: r/d\n");
    EXPECT_EQ(walk.Walk(root[0].offset), expected);
  }
}

TEST(Walker, ChecksBeforeTheConsumerInOrder) {
  // The checksum before the name's safety; then, beside the unpack, what
  // no system could create.
  Entry bad = File("x/y", "");
  bad.badChecksum = true;
  const std::vector<std::pair<Entry, std::string>> cases = {
      {bad, "Checksum Error: r/x/y\n"},
      {File("x/y", ""), "Unsafe file name: r/x/y\n"},
      {Dir("..", {}), "Unable to create new directory for unpacking archive: r/..\n"},
      {Dir("", {File("f", "")}), "Unable to create new directory for unpacking archive: r/\n"},
      {File(".", ""), "Error creating file: r/.\n"}};
  for (const auto& [entry, message] : cases) {
    std::vector<Entry> root = {File("ok", ""), entry};
    const std::string image = BuildImage("vol", root);
    Recorder walk(image, {.separator = '/'}, IntoDirs);
    EXPECT_EQ(walk.Walk(root[0].offset),
              (std::vector<std::string>{"enter r - 0", "0 0 r/ok", message}));
  }
}

}  // namespace
