#include "unpack/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/trace.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool toTerminal = false;     // standard error is a terminal
bool tells = false;          // standard error may take a hint (StandardErrorIsSeparate)
bool showsProgress = false;  // ... and the trace goes elsewhere
std::string rerunCommand, targetShown;
uint64_t imageBytes = 0, reached = 0, entries = 0;
Clock::time_point started, drawn;
size_t shownColumns = 0;  // what the line on the screen takes; 0 when there is none

// Within the narrowest common terminal, so that a carriage return always
// goes back to the line's start.
constexpr size_t kColumns = 79;

// UTF-8 continuation bytes take no column of their own.
size_t Columns(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

void EraseLine() {
  if (shownColumns == 0) return;
  fprintf(stderr, "\r%*s\r", static_cast<int>(shownColumns), "");
  fflush(stderr);
  shownColumns = 0;
}

}  // namespace

void StartProgress(uint64_t imageSize, const std::string& rerun, const std::string& target) {
  toTerminal = StandardErrorIsTerminal();
  tells = StandardErrorIsSeparate();
  showsProgress = toTerminal && !TraceToTerminal();
  rerunCommand = rerun;
  targetShown = target;
  imageBytes = imageSize;
  reached = entries = 0;
  shownColumns = 0;
  started = Clock::now();
  // However the run ends, the line goes with it.
  static bool erasedAtExit = false;
  if (showsProgress && !erasedAtExit) erasedAtExit = atexit(EraseLine) == 0;
}

void ShowProgress(uint64_t offset, const std::string& path) {
  if (!showsProgress) return;
  ++entries;
  reached = std::max(reached, offset);
  const Clock::time_point now = Clock::now();
  if (now - started < 1s || (shownColumns != 0 && now - drawn < 100ms)) return;
  drawn = now;
  const uint64_t percent = reached >= imageBytes ? 100 : reached * 100 / imageBytes;
  char head[64];
  snprintf(head, sizeof head, "skelvane: %3u%%, %llu entries: ", static_cast<unsigned>(percent),
           static_cast<unsigned long long>(entries));
  std::string line = head, shown = Escaped(path, true, false);
  const size_t room = kColumns - line.size();
  if (Columns(shown) > room) {
    // The end of the path says most about where the run is.
    size_t keep = shown.size();
    for (size_t columns = 0; keep > 0 && columns < room - 3;)
      if ((shown[--keep] & 0xC0) != 0x80) ++columns;
    shown = "..." + shown.substr(keep);
  }
  line += shown;
  const size_t columns = Columns(line);
  const int pad = static_cast<int>(shownColumns > columns ? shownColumns - columns : 0);
  fprintf(stderr, "\r%s%*s", line.c_str(), pad, "");
  fflush(stderr);
  shownColumns = columns + static_cast<size_t>(pad);
}

void HintAll() {
  if (!tells || rerunCommand.empty()) return;
  EraseLine();
  fprintf(stderr, "skelvane: --all unpacks the rest of this image: remove %s, then run %s\n",
          Escaped(targetShown, true, false).c_str(), Escaped(rerunCommand, true, false).c_str());
  fflush(stderr);
}
