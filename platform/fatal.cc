#include "platform/fatal.h"

#include <cstdarg>
#include <cstdlib>

#include "platform/tell.h"
#include "platform/trace.h"

void Fatal(const char* format, ...) {
  RunBeforeEnding();
  va_list args;
  va_start(args, format);
  TraceMessageV(format, args);
  va_end(args);
  FinishTrace();
  TellEnding(false);
  exit(-1);
}
