#include "platform/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void Fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  exit(-1);
}
