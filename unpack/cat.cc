// Path resolution inside the image, for --cat.
#include "unpack/cat.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "image/image.h"
#include "image/romfs.h"
#include "platform/fatal.h"
#include "platform/platform.h"
#include "platform/tell.h"
#include "platform/trace.h"
#include "unpack/links.h"
#include "unpack/path.h"
#include "unpack/walk.h"

CatResult ResolveCatPath(std::string_view path, const CatNode& root, const CatLookup& lookup,
                         CatNode& found) {
  // The directories from the root to where the resolution stands; ".." pops.
  std::vector<CatNode> at{root};
  // What is left to resolve: the path, with a link's target put before the
  // rest of it when the walk meets a link.
  std::string left(path);
  size_t next = 0;
  int links = 0;
  while (next <= left.size()) {
    size_t end = left.find('/', next);
    if (end == std::string::npos) end = left.size();
    const std::string_view name = std::string_view(left).substr(next, end - next);
    next = end + 1;
    if (name.empty()) continue;
    // A file has no "." or ".." either.
    if (at.back().kind != CatNode::Kind::kDirectory) return CatResult::kNotADirectory;
    if (name == ".") continue;
    if (name == "..") {
      if (at.size() > 1) at.pop_back();
      continue;
    }
    CatNode child;
    if (!lookup(at.back(), name, child)) return CatResult::kNotFound;
    if (child.kind != CatNode::Kind::kSymlink) {
      at.push_back(std::move(child));
      continue;
    }
    if (++links > kMaxCatLinks) return CatResult::kTooManyLinks;
    // As a system: an empty target names nothing.
    if (child.target.empty()) return CatResult::kNotFound;
    if (child.target.starts_with('/')) at.resize(1);
    // The target then what followed the link.
    const bool last = next > left.size();
    std::string rest = last ? std::string() : left.substr(next);
    left = std::move(child.target);
    if (!last) left.append(1, '/').append(rest);
    next = 0;
  }
  found = std::move(at.back());
  return CatResult::kFound;
}

namespace {

// A link target longer than any system follows is no way through.
constexpr uint32_t kLongestFollowed = 4096;

// Damage ends the run with the unpack's message, which the driver puts on
// standard error: standard output holds the files' bytes.
[[noreturn]] void CatDamaged(const std::string& message) {
  Fatal("%s\n", message.c_str());
}

// The entry header at offset as resolution sees it: a hard link stands for
// its file.
CatNode NodeAt(const EntryHeader& header, uint64_t headerOffset, uint64_t dataOffset) {
  switch (header.entryType) {
    case kDirectory:
      return {header.specInfo & ~uint64_t{15}, CatNode::Kind::kDirectory};
    case kRegularFile:
      return {headerOffset, CatNode::Kind::kFile};
    case kSymbolicLink: {
      if (header.size > kLongestFollowed) return {headerOffset, CatNode::Kind::kOther};
      CatNode link{headerOffset, CatNode::Kind::kSymlink, std::string(header.size, '\0')};
      SetFilePointerFromBegin(hImage, dataOffset);
      GetType3FileName(link.target.data(), header.size);
      return link;
    }
    case kHardLink: {
      // Its file, once, however it is reached: a hard link to a hard link is no file.
      EntryHeader file;
      std::string name;
      const uint64_t at = header.specInfo & ~uint64_t{15};
      uint64_t data = at + 16;
      if (ReadEntryHeader(at, file) && file.entryType == kRegularFile &&
          GetFileNameAndSetOffsetData(name, data))
        return {at, CatNode::Kind::kFile};
      return {at, CatNode::Kind::kOther};
    }
    default:
      return {headerOffset, CatNode::Kind::kOther};
  }
}

// Finds name in the directory whose chain starts at dir.id, reading and
// checking that chain, and no other.
bool LookUp(const CatNode& dir, std::string_view name, CatNode& child) {
  bool found = false;
  WalkConsumer consumer{.enterDir = [](const OutPath&, uint32_t, uint8_t) { return EnteredDir{}; },
                        .entry =
                            [&](const WalkedEntry& entry) {
                              if (!found && entry.name == name) {
                                child = NodeAt(entry.header, entry.headerOffset, entry.dataOffset);
                                found = true;
                              }
                              return false;
                            },
                        .damaged = CatDamaged};
  WalkImage(RootPath(""), dir.id, kProductRules, consumer);
  return found;
}

// Writes the regular file whose header is at header to standard output.
void WriteFile(uint64_t headerOffset) {
  EntryHeader header;
  std::string name;
  uint64_t data = headerOffset + 16;
  if (!ReadEntryHeader(headerOffset, header) || !GetFileNameAndSetOffsetData(name, data))
    CatDamaged("Read file header failed");
  SetFilePointerFromBegin(hImage, data);
  uint64_t copied = 0;
  switch (CopyImageToStandardOutput(hImage, header.size, &copied)) {
    case CopyResult::kDone:
    case CopyResult::kCreateFailed:
      return;
    case CopyResult::kInterrupted:
      StopInterrupted();
    case CopyResult::kImageShort:
      CatDamaged("Read file buffer failed (" + std::to_string(header.size) + ", " +
                 std::to_string(copied) + ")");
    case CopyResult::kWriteFailed:
      if (ReaderHasGone(errno)) EndByClosedPipe();
      CatDamaged(std::string("cannot write the file: ") + GetLastErrorString());
  }
}

}  // namespace

bool CatFiles(uint64_t firstHeader, const std::vector<std::string>& paths) {
  bool all = true;
  for (const std::string& path : paths) {
    CatNode found;
    const char* failure = nullptr;
    switch (ResolveCatPath(path, CatNode{firstHeader, CatNode::Kind::kDirectory}, LookUp, found)) {
      case CatResult::kFound:
        if (found.kind == CatNode::Kind::kDirectory) failure = "is a directory";
        if (found.kind == CatNode::Kind::kOther) failure = "is not a regular file";
        break;
      case CatResult::kNotFound:
        failure = "not in the image";
        break;
      case CatResult::kNotADirectory:
        failure = "a name on its way is not a directory";
        break;
      case CatResult::kTooManyLinks:
        failure = "too many symbolic links (a loop?)";
        break;
    }
    // As cat: a file that cannot be written is said, and the next one follows.
    if (failure) {
      Tell("%s: %s", Escaped(path, true).c_str(), failure);
      all = false;
      continue;
    }
    WriteFile(found.id);
  }
  return FinishTrace() && all;
}
