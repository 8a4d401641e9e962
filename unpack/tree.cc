#include "unpack/tree.h"

#include <algorithm>
#include <cstring>

char* TextStore::Reserve(size_t size) {
  if (blocks_.empty() || size > room_ - used_) {
    room_ = std::max(size, kBlock);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(room_));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  used_ += size;
  return at;
}

std::string_view TextStore::Keep(std::string_view text) {
  char* at = Reserve(text.size());
  if (!text.empty()) memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

uint32_t TreeIndex::NoteDirectory(uint32_t parent, const std::string& name) {
  dirs_.push_back(Dir{parent, texts_.Keep(name)});
  return static_cast<uint32_t>(dirs_.size() - 1);
}

void TreeIndex::NoteFile(uint64_t header, uint32_t dir, const std::string& name, const FileId& id,
                         bool made) {
  if (!files_.empty() && header < files_.back().header) filesSorted_ = false;
  files_.push_back(File{header, dir, texts_.Keep(name), id, made});
}

TreeIndex::File* TreeIndex::FindFile(uint64_t header) {
  if (!filesSorted_)
    std::sort(files_.begin(), files_.end(),
              [](const File& a, const File& b) { return a.header < b.header; });
  filesSorted_ = true;
  const auto file = std::lower_bound(files_.begin(), files_.end(), header,
                                     [](const File& f, uint64_t at) { return f.header < at; });
  return file != files_.end() && file->header == header ? &*file : nullptr;
}

std::string TreeIndex::DirPath(uint32_t dir, char separator) const {
  std::vector<uint32_t> way;
  for (; dir != kNoDirectory; dir = dirs_[dir].parent) way.push_back(dir);
  std::string shown;
  for (auto at = way.rbegin(); at != way.rend(); ++at) {
    if (!shown.empty()) shown += separator;
    shown += dirs_[*at].name;
  }
  return shown;
}

std::vector<std::string> TreeIndex::NamesBelowRoot(uint32_t dir) const {
  std::vector<std::string> names;
  for (; dirs_[dir].parent != kNoDirectory; dir = dirs_[dir].parent)
    names.emplace_back(dirs_[dir].name);
  std::reverse(names.begin(), names.end());
  return names;
}
