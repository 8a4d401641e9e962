#include "platform/tell.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::string ifFatal, ifInterrupted;
bool outputUnused = false;

}  // namespace

void Tell(const char* format, ...) {
  // Standard output is left alone: on a terminal its lines are out already,
  // and a flush here would take a failed write away from the trace's account.
  if (!outputUnused && !StandardErrorIsSeparate()) return;
  va_list args;
  va_start(args, format);
  fputs("skelvane: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  fflush(stderr);
  va_end(args);
}

void StandardOutputUnused(bool unused) {
  outputUnused = unused;
}

void TellIfFatal(const std::string& line) {
  ifFatal = line;
}

void TellIfInterrupted(const std::string& line) {
  ifInterrupted = line;
}

void TellEnding(bool interrupted) {
  const std::string& line = interrupted ? ifInterrupted : ifFatal;
  if (!line.empty()) Tell("%s", line.c_str());
}
