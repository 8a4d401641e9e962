// Fatal for the fuzz build, in place of platform/fatal.cc: the message is
// printed as in the program (the fuzz target sends standard output to
// /dev/null), then an exception takes the place of exit(-1), so that the
// fuzzer goes on with its next input.
#include "platform/fatal.h"

#include <cstdarg>

#include "fuzz/fatal_error.h"
#include "platform/trace.h"

void Fatal(const char* format, ...) {
  RunBeforeEnding();
  va_list args;
  va_start(args, format);
  TraceMessageV(format, args);
  va_end(args);
  throw FatalError{};
}
