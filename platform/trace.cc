#include "platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

bool toTerminal = false;
int traceError = 0;  // the first error a write of the trace reported

void NoteError() {
  if (traceError == 0 && ferror(stdout)) traceError = errno ? errno : EIO;
}

}  // namespace

void StartTrace() {
  toTerminal = PrepareStandardOutput();
}

void TraceV(const char* format, va_list args) {
  vprintf(format, args);
  NoteError();
}

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceV(format, args);
  va_end(args);
}

std::string Printable(const std::string& text) {
  if (!toTerminal) return text;
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

bool FinishTrace() {
  if (fflush(stdout) != 0) NoteError();
  if (traceError == 0) return true;
  fprintf(stderr, "skelvane: cannot write the trace: %s\n", strerror(traceError));
  return false;
}
