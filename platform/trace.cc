#include "platform/trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

bool toTerminal = false;
int traceError = 0;  // the first error a write of the trace reported
// The format of the last print: an interrupted run stops only where the
// trace ends a line, so a link's line always shows its outcome. Formats are
// literals; only the pointer is kept, the check costs nothing till then.
const char* lastFormat = "\n";

// Off a terminal the trace is fully buffered; it is written out once a
// second, the clock read only every few lines, which costs next to nothing.
using Clock = std::chrono::steady_clock;
constexpr auto kFlushEvery = std::chrono::seconds(1);
constexpr unsigned kLinesPerClockReading = 64;
Clock::time_point flushDue;
unsigned linesSinceClock = 0;
bool heldBack = false;
// What StopInterrupted calls first: whatever the run shows on standard error
// (a progress line) goes before the run does.
void (*beforeInterruptedStop)() = nullptr;

void NoteError() {
  if (traceError == 0 && ferror(stdout)) traceError = errno ? errno : EIO;
}

bool FlushAndReport() {
  if (fflush(stdout) != 0) NoteError();
  if (traceError == 0) return true;
  fprintf(stderr, "skelvane: cannot write the trace: %s\n", strerror(traceError));
  return false;
}

bool EndsLine(const char* format) {
  const size_t length = strlen(format);
  return length > 0 && format[length - 1] == '\n';
}

// After a print: every few lines the trace is written out if due.
void Printed() {
  if (++linesSinceClock == kLinesPerClockReading) {
    linesSinceClock = 0;
    FlushTraceWhenDue();
  }
}

// A C1 control: the byte itself, or after 0xC2 in UTF-8.
bool IsC1(unsigned char c) {
  return c >= 0x80 && c <= 0x9F;
}

}  // namespace

void StartTrace() {
  toTerminal = PrepareStandardOutput();
  flushDue = Clock::now() + kFlushEvery;
  CatchInterruptions();
}

void TraceV(const char* format, va_list args) {
  if (heldBack) return;
  StopIfInterrupted();
  vprintf(format, args);
  NoteError();
  lastFormat = format;
  Printed();
}

void TraceText(std::string_view text) {
  if (heldBack) return;
  StopIfInterrupted();
  fwrite(text.data(), 1, text.size(), stdout);
  NoteError();
  // A literal that tells where the text ended, as a format would.
  if (!text.empty()) lastFormat = text.ends_with('\n') ? "\n" : "";
  Printed();
}

void StopIfInterrupted() {
  if (InterruptionNoted() && EndsLine(lastFormat)) StopInterrupted();
}

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceV(format, args);
  va_end(args);
}

void FlushTraceWhenDue() {
  if (toTerminal) return;  // where every line goes out at once
  const Clock::time_point now = Clock::now();
  if (now < flushDue) return;
  if (fflush(stdout) != 0) NoteError();
  flushDue = now + kFlushEvery;
}

std::string Printable(const std::string& text) {
  if (!toTerminal) return text;
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xC2 && i + 1 < text.size() && IsC1(static_cast<unsigned char>(text[i + 1]))) {
      shown += '?';
      ++i;
    } else {
      shown += c < 0x20 || c == 0x7F || IsC1(c) ? '?' : static_cast<char>(c);
    }
  }
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
  if (InterruptionNoted()) StopInterrupted();
  return FlushAndReport();
}

void CallBeforeInterruptedStop(void (*call)()) {
  beforeInterruptedStop = call;
}

void StopInterrupted() {
  if (beforeInterruptedStop) beforeInterruptedStop();
  fputs("Interrupted\n", stdout);
  NoteError();
  FlushAndReport();
  EndByInterruption();
}
