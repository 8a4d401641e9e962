#pragma once

#include "platform/trace.h"

// Prints a message on standard output, where the whole trace goes, and ends
// the run with exit status -1 (255 to the shell). Fatal conditions are
// handled where they are found; nothing is unwound or removed.
[[noreturn]] void Fatal(const char* format, ...) TRACE_FORMAT;
