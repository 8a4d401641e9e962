// The trace on standard output: every listing line, link line and message
// goes through here, so that a failed write is noticed however it happens.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/format.h"

// Sets standard output up for the trace, and catches interruptions; called
// once, before anything is printed.
void StartTrace();

// Prints to the trace. An interruption noted stops the run here, before a
// new line starts (StopInterrupted).
void Trace(const char* format, ...) TRACE_FORMAT;
void TraceV(const char* format, va_list args);
// Text as it is, without a format: the listing's lines. It stops an
// interrupted run as Trace does.
void TraceText(std::string_view text);

// Long work between lines (a scan's reading, say) asks this: an interruption
// noted stops the run here, if the trace ends a line (StopInterrupted).
void StopIfInterrupted();

// The form of the message that ends a run (Fatal's, and "Interrupted"):
// unset, the message as it is; set (--json), what form makes of it, so
// that a product in another format ends in that format too. The message
// is the text the trace would have shown, its line ends included; a form
// that says it elsewhere gives an empty text.
using MessageForm = std::string (*)(std::string_view message);
void SetMessageForm(MessageForm form);
// Prints the message that ends the run, in the form set (Fatal).
void TraceMessageV(const char* format, va_list args);

// Where the trace is not a terminal, writes it out if a second has passed
// since it last was, so that a long run shows its progress as it goes.
// Trace asks every few lines; long work between lines asks too.
void FlushTraceWhenDue();

// Text taken from the image, as the trace shows it: unchanged, except that
// on a terminal what could drive it becomes "?": the C0 controls, DEL, the
// C1 controls, and any byte that is no part of a valid UTF-8 sequence.
// Valid UTF-8 for U+00A0 and above passes, in any script.
std::string Printable(const std::string& text);

// True when the trace goes to a terminal.
bool TraceToTerminal();

// Text taken from the image as the listing shows it: bytes below 0x20, 0x7F
// and the backslash as \ooo, so that every line reads back unambiguously;
// for a terminal, every byte that the trace's rule would not let through
// too. A path as the trace shows it keeps its backslashes where only a
// terminal is to be kept safe.
std::string Escaped(std::string_view text, bool terminal, bool backslash = true);

// Standard output is the run's product (a listing, an archive, a file's
// bytes), not a trace: a reader that has gone (a closed pipe) ends the run
// at once, quietly, as it ends cat (EndByClosedPipe).
void TraceIsProduct();

// Sets what runs just before the run ends by a fatal error or an
// interruption, ahead of its message, at most once: an archive is left cut
// short. An empty hook for none.
void BeforeEnding(std::function<void()> hook);
// Runs the hook set, if any, and forgets it (Fatal, StopInterrupted).
void RunBeforeEnding();

// Flushes the trace. If any write of it failed, says so on standard error,
// the one thing that goes there, and returns false. An interruption noted
// by then stops the run instead (StopInterrupted).
bool FinishTrace();

// Gives the function StopInterrupted calls first: what a run shows on
// standard error goes with it, as it would at exit (which an interrupted
// run does not take).
void CallBeforeInterruptedStop(void (*call)());

// Ends an interrupted run: the trace so far, then "Interrupted" as its last
// line (in the message form, if one is set), flushed; then the process ends
// as the interruption would have ended it. The file being written has been
// removed by then.
[[noreturn]] void StopInterrupted();
