// Output paths: the one place where a path is composed, a directory, a
// backslash and a name, as the trace shows it.
#pragma once

#include <string>

#include "platform/platform.h"

// The target directory as the user gave it.
inline OutPath RootPath(const std::string& dir) {
  return OutPath{dir, nullptr, dir};
}

// name inside the directory shown as dirShown, held open as dir.
inline OutPath ChildPath(const std::string& dirShown, const OutputDir* dir,
                         const std::string& name) {
  // Exactly as long as it is: a path per level of a deep tree is held
  // while the level is filled.
  std::string shown;
  shown.reserve(dirShown.size() + 1 + name.size());
  shown.append(dirShown).append(1, '\\').append(name);
  return OutPath{std::move(shown), dir, name};
}
