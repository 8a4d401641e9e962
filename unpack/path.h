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
  return OutPath{dirShown + '\\' + name, dir, name};
}
