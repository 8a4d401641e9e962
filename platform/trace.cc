#include "platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "platform/tell.h"
#include "platform/utf8.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFlushEvery = std::chrono::seconds(1);
constexpr unsigned kLinesPerClockReading = 64;

// The trace of one run, set anew by StartTrace.
struct TraceState {
  bool toTerminal = false;
  int traceError = 0;  // the first error a write of the trace reported
  // The format of the last print: an interrupted run stops only where the
  // trace ends a line, so a link's line always shows its outcome. Formats
  // are literals; only the pointer is kept, the check costs nothing till then.
  const char* lastFormat = "\n";
  // Off a terminal the trace is fully buffered; it is written out once a
  // second, the clock read only every few lines, which costs next to nothing.
  Clock::time_point flushDue;
  unsigned linesSinceClock = 0;
  bool product = false;
  // What StopInterrupted calls first: whatever the run shows on standard
  // error (a progress line) goes before the run does.
  void (*beforeInterruptedStop)() = nullptr;
  MessageForm messageForm = nullptr;
  // What a run that ends (Fatal, StopInterrupted) does first: an archive
  // left cut short, say.
  std::function<void()> beforeEnding;
};
TraceState trace;

void NoteError() {
  if (trace.traceError != 0 || !ferror(stdout)) return;
  trace.traceError = errno ? errno : EIO;
  if (trace.product && ReaderHasGone(trace.traceError)) EndByClosedPipe();
}

bool FlushAndReport() {
  if (fflush(stdout) != 0) NoteError();
  if (trace.traceError == 0) return true;
  fprintf(stderr, "skelvane: cannot write the trace: %s\n", strerror(trace.traceError));
  return false;
}

bool EndsLine(const char* format) {
  const size_t length = strlen(format);
  return length > 0 && format[length - 1] == '\n';
}

// The terminal's rule, for the trace and the listing alike: a byte at or
// above 0x80 passes only as part of a valid UTF-8 sequence for U+00A0 or
// above. The C1 controls (U+0080 to U+009F, C2 80 to C2 9F in UTF-8), bytes
// that are no part of a sequence, overlong forms and surrogates do not: a
// terminal may read any of them as a control (0x9B is CSI). The length of
// the sequence that passes at text[at], or 0.
size_t PassingLength(std::string_view text, size_t at) {
  uint32_t code = 0;
  const size_t length = Utf8Sequence(text, at, code);
  return code >= 0xA0 ? length : 0;
}

// After a print: every few lines the trace is written out if due.
void Printed() {
  if (++trace.linesSinceClock == kLinesPerClockReading) {
    trace.linesSinceClock = 0;
    FlushTraceWhenDue();
  }
}

}  // namespace

void StartTrace() {
  trace = TraceState{};
  trace.toTerminal = PrepareStandardOutput();
  trace.flushDue = Clock::now() + kFlushEvery;
  CatchInterruptions();
}

void TraceV(const char* format, va_list args) {
  StopIfInterrupted();
  vprintf(format, args);
  NoteError();
  trace.lastFormat = format;
  Printed();
}

void TraceText(std::string_view text) {
  StopIfInterrupted();
  fwrite(text.data(), 1, text.size(), stdout);
  NoteError();
  // A literal that tells where the text ended, as a format would.
  if (!text.empty()) trace.lastFormat = text.ends_with('\n') ? "\n" : "";
  Printed();
}

void StopIfInterrupted() {
  if (InterruptionNoted() && EndsLine(trace.lastFormat)) StopInterrupted();
}

void SetMessageForm(MessageForm form) {
  trace.messageForm = form;
}

void TraceMessageV(const char* format, va_list args) {
  if (!trace.messageForm) return TraceV(format, args);
  va_list again;
  va_copy(again, args);
  std::string message(static_cast<size_t>(std::max(vsnprintf(nullptr, 0, format, args), 0)), '\0');
  vsnprintf(message.data(), message.size() + 1, format, again);
  va_end(again);
  // A form may put the message elsewhere, and nothing here.
  const std::string shown = trace.messageForm(message);
  if (shown.empty()) return;
  // A line cut short by the failure stays apart from the message's.
  if (!EndsLine(trace.lastFormat)) TraceText("\n");
  TraceText(shown);
}

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceV(format, args);
  va_end(args);
}

void FlushTraceWhenDue() {
  if (trace.toTerminal) return;  // where every line goes out at once
  const Clock::time_point now = Clock::now();
  if (now < trace.flushDue) return;
  if (fflush(stdout) != 0) NoteError();
  trace.flushDue = now + kFlushEvery;
}

std::string Printable(const std::string& text) {
  if (!trace.toTerminal) return text;
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t passing = c < 0x80 ? c >= 0x20 && c != 0x7F : PassingLength(text, i);
    if (passing > 0) {
      shown.append(text, i, passing);
      i += passing;
      continue;
    }
    // A C1 control in UTF-8 is one character: one mark.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80;
    shown += '?';
    i += c1 ? 2 : 1;
  }
  return shown;
}

bool TraceToTerminal() {
  return trace.toTerminal;
}

std::string Escaped(std::string_view text, bool terminal, bool backslash) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (terminal && c >= 0x80) {
      if (const size_t passing = PassingLength(text, i)) {
        shown.append(text.substr(i, passing));
        i += passing - 1;
        continue;
      }
    } else if (c >= 0x20 && c != 0x7F && !(backslash && c == '\\')) {
      shown += static_cast<char>(c);
      continue;
    }
    const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                          static_cast<char>('0' + (c >> 3 & 7)), static_cast<char>('0' + (c & 7))};
    shown.append(octal, sizeof octal);
  }
  return shown;
}

void TraceIsProduct() {
  trace.product = true;
}

bool FinishTrace() {
  if (InterruptionNoted()) StopInterrupted();
  return FlushAndReport();
}

void CallBeforeInterruptedStop(void (*call)()) {
  trace.beforeInterruptedStop = call;
}

void BeforeEnding(std::function<void()> hook) {
  trace.beforeEnding = std::move(hook);
}

void RunBeforeEnding() {
  // Forgotten first: a failure inside the hook ends the run without it.
  const std::function<void()> hook = std::exchange(trace.beforeEnding, nullptr);
  if (hook) hook();
}

void StopInterrupted() {
  RunBeforeEnding();
  if (trace.beforeInterruptedStop) trace.beforeInterruptedStop();
  const std::string message = "Interrupted\n";
  fputs(trace.messageForm ? trace.messageForm(message).c_str() : message.c_str(), stdout);
  NoteError();
  FlushAndReport();
  TellEnding(true);
  EndByInterruption();
}
