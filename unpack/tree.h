// An index of the tree a walk went through: each directory by its parent
// and its name, each regular file by its header, so that a hard link can
// name its file by path. A path is composed only when asked for. What it
// keeps costs a few words and the name per entry, whatever the depth.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// The number no directory has: the parent of the walk's root.
constexpr uint32_t kNoDirectory = UINT32_MAX;

// Texts end to end in blocks that never move, so that records hold views
// of them and no allocation of their own.
class TextStore {
 public:
  char* Reserve(size_t size);
  std::string_view Keep(std::string_view text);

 private:
  static constexpr size_t kBlock = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0, room_ = 0;
};

class TreeIndex {
 public:
  struct File {
    uint64_t header;
    uint32_t dir;
    std::string_view name;
    FileId id;
    bool made;  // false: walked but not made (not selected)
  };

  // Records a directory named name in parent (kNoDirectory for the root,
  // whose name is the path as given). Returns its number.
  uint32_t NoteDirectory(uint32_t parent, const std::string& name);
  // Records the regular file whose header is at header, named name in dir.
  void NoteFile(uint64_t header, uint32_t dir, const std::string& name, const FileId& id = {},
                bool made = true);
  // The file whose header is at header, or null when none was noted.
  File* FindFile(uint64_t header);
  // Keeps text for as long as the index, for a record's name.
  std::string_view Keep(std::string_view text) { return texts_.Keep(text); }
  // True when the files were noted in the order of their headers, so that a
  // lookup costs no sort.
  bool FilesInOrder() const { return filesSorted_; }

  // Directory dir's path from the root's, names joined by separator.
  std::string DirPath(uint32_t dir, char separator) const;
  // The names from below the root down to directory dir.
  std::vector<std::string> NamesBelowRoot(uint32_t dir) const;

 private:
  struct Dir {
    uint32_t parent;
    std::string_view name;
  };
  TextStore texts_;
  std::deque<Dir> dirs_;
  std::deque<File> files_;
  bool filesSorted_ = true;
};
