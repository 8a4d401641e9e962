// Output paths, each kept in two forms: as the trace shows it, with a
// backslash between directory and name, and as it reaches the file system.
#pragma once

#include <string>

struct OutPath {
  std::string shown;
  std::string real;
};

// The target directory as the user gave it, the same in both forms.
inline OutPath RootPath(const std::string& dir) {
  return OutPath{dir, dir};
}

// dir, a separator and name.
inline OutPath ChildPath(const OutPath& dir, const std::string& name) {
  return OutPath{dir.shown + '\\' + name, dir.real + '/' + name};
}
