// Standard error, which speaks to the person: one line each, "skelvane: "
// first, wherever it goes, unless it is the open file the trace goes to, so
// that the trace stays exact (StandardErrorIsSeparate).
#pragma once

#include <string>

#include "platform/format.h"

// With unused, standard output carries nothing this run (an archive goes to
// a file): every line is said, even where standard error is that file.
void StandardOutputUnused(bool unused);

// Says one line; the format has no line end of its own.
void Tell(const char* format, ...) TRACE_FORMAT;

// The line that a run ending from here on by a fatal error, or by an
// interruption, says after its trace: what failed and the next step. Empty
// for none. Fatal and StopInterrupted say it (TellEnding).
void TellIfFatal(const std::string& line);
void TellIfInterrupted(const std::string& line);
void TellEnding(bool interrupted);
