// Output paths: the one place where a path is composed, a directory, a
// separator and a name, as the trace shows it (a backslash) or the listing
// (a slash, from the image's root, which has no name).
#pragma once

#include <string>

#include "platform/platform.h"

// The target directory as the user gave it.
inline OutPath RootPath(const std::string& dir) {
  return OutPath{dir, nullptr, dir};
}

// name inside the directory shown as dirShown, held open as dir. Inside the
// nameless root, the path is the name alone.
inline OutPath ChildPath(const std::string& dirShown, const OutputDir* dir, const std::string& name,
                         char separator = '\\') {
  // Exactly as long as it is: a path per level of a deep tree is held
  // while the level is filled.
  std::string shown;
  shown.reserve(dirShown.size() + 1 + name.size());
  if (!dirShown.empty()) shown.append(dirShown).append(1, separator);
  shown.append(name);
  return OutPath{std::move(shown), dir, name};
}
