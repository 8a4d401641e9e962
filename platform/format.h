// The format checks of the printf that runs: under mingw-w64 it is mingw's
// own, which takes the C99 conversions (%zu) that the system's does not.
#pragma once

#include <cstdio>  // defines __MINGW_PRINTF_FORMAT under mingw-w64

#ifdef __MINGW_PRINTF_FORMAT
#define PRINTF_FORMAT(formatAt, firstAt) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, formatAt, firstAt)))
#else
#define PRINTF_FORMAT(formatAt, firstAt) __attribute__((format(printf, formatAt, firstAt)))
#endif
#define TRACE_FORMAT PRINTF_FORMAT(1, 2)
