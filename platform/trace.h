// The trace on standard output: every listing line, link line and message
// goes through here, so that a failed write is noticed however it happens.
#pragma once

#include <cstdarg>
#include <cstdio>  // defines __MINGW_PRINTF_FORMAT under mingw-w64
#include <string>

// Sets standard output up for the trace; called once, before anything is printed.
void StartTrace();

// The format checks of the printf that runs: under mingw-w64 it is mingw's
// own, which takes the C99 conversions (%zu) that the system's does not.
#ifdef __MINGW_PRINTF_FORMAT
#define TRACE_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#else
#define TRACE_FORMAT __attribute__((format(printf, 1, 2)))
#endif

void Trace(const char* format, ...) TRACE_FORMAT;
void TraceV(const char* format, va_list args);

// Text taken from the image, as the trace shows it: unchanged, except that
// on a terminal control bytes become "?", so an image cannot drive it.
std::string Printable(const std::string& text);

// Flushes the trace. If any write of it failed, says so on standard error,
// the one thing that goes there, and returns false.
bool FinishTrace();
