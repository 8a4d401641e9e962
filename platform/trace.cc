#include "platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

bool toTerminal = false;
int traceError = 0;  // the first error a write of the trace reported
bool heldBack = false;

void NoteError() {
  if (traceError == 0 && ferror(stdout)) traceError = errno ? errno : EIO;
}

}  // namespace

void StartTrace() {
  toTerminal = PrepareStandardOutput();
}

void TraceV(const char* format, va_list args) {
  if (heldBack) return;
  vprintf(format, args);
  NoteError();
}

void TraceText(std::string_view text) {
  if (heldBack) return;
  fwrite(text.data(), 1, text.size(), stdout);
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

bool TraceToTerminal() {
  return toTerminal;
}

std::string Escaped(std::string_view text, bool terminal, bool backslash) {
  std::string shown;
  shown.reserve(text.size());
  unsigned continuing = 0;  // the bytes the UTF-8 sequence under way still takes
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    bool escape = c < 0x20 || c == 0x7F || (backslash && c == '\\');
    if (terminal) {
      if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
        escape = true;  // so is the byte after it: a C1 control on its own
        continuing = 0;
      } else if (c >= 0x80 && c <= 0xBF && continuing > 0) {
        --continuing;
      } else {
        escape = escape || (c >= 0x80 && c <= 0x9F);
        continuing = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
      }
    }
    if (!escape) {
      shown += static_cast<char>(c);
      continue;
    }
    const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                          static_cast<char>('0' + (c >> 3 & 7)), static_cast<char>('0' + (c & 7))};
    shown.append(octal, sizeof octal);
  }
  return shown;
}

void HoldBackTrace(bool held) {
  heldBack = held;
}

bool TraceIsHeldBack() {
  return heldBack;
}

bool FinishTrace() {
  if (fflush(stdout) != 0) NoteError();
  if (traceError == 0) return true;
  fprintf(stderr, "skelvane: cannot write the trace: %s\n", strerror(traceError));
  return false;
}
