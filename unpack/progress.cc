#include "unpack/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "platform/platform.h"
#include "platform/trace.h"
#include "platform/utf8.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The run's progress and what its hints name, set anew by StartProgress.
struct Progress {
  bool tells = false;          // standard error may take a hint (StandardErrorIsSeparate)
  bool showsProgress = false;  // standard error is a terminal and the trace goes elsewhere
  std::string rerunCommand, targetShown;
  uint64_t imageBytes = 0, reached = 0, entries = 0;
  Clock::time_point started, drawn;
  size_t shownColumns = 0;  // what the line on the screen takes; 0 when there is none
};
Progress progress;

// Within the narrowest common terminal, so that a carriage return always
// goes back to the line's start.
constexpr size_t kColumns = 79;

// The code points a terminal gives two columns: East Asian wide and
// fullwidth characters (CJK, Hangul, kana, fullwidth forms, emoji).
constexpr std::pair<char32_t, char32_t> kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F5},   {0x26FA, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C},
    {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},
    {0x2B55, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
    {0x16FE0, 0x18CFF}, {0x1AFF0, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F2FF}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};

struct Glyph {
  size_t bytes, columns;
};

// The character that starts at text[at]. A byte that starts no whole UTF-8
// sequence is one character of one column, as a terminal shows it.
Glyph GlyphAt(const std::string& text, size_t at) {
  uint32_t code = 0;
  const size_t length = Utf8Sequence(text, at, code);
  if (length == 0) return {1, 1};
  const bool wide = std::any_of(std::begin(kWide), std::end(kWide), [code](const auto& range) {
    return code >= range.first && code <= range.second;
  });
  return {length, wide ? 2u : 1u};
}

size_t Columns(const std::string& text) {
  size_t columns = 0;
  for (size_t at = 0; at < text.size();) {
    const Glyph glyph = GlyphAt(text, at);
    at += glyph.bytes;
    columns += glyph.columns;
  }
  return columns;
}

void EraseLine() {
  if (progress.shownColumns == 0) return;
  fprintf(stderr, "\r%*s\r", static_cast<int>(progress.shownColumns), "");
  fflush(stderr);
  progress.shownColumns = 0;
}

}  // namespace

void StartProgress(uint64_t imageSize, const std::string& rerun, const std::string& target) {
  progress = Progress{.tells = StandardErrorIsSeparate(),
                      .showsProgress = StandardErrorIsTerminal() && !TraceToTerminal(),
                      .rerunCommand = rerun,
                      .targetShown = target,
                      .imageBytes = imageSize,
                      .started = Clock::now(),
                      .drawn = {}};
  const bool showsProgress = progress.showsProgress;
  // However the run ends, the line goes with it: an interrupted run ends
  // without taking the exit's functions.
  static bool erasedAtExit = false;
  if (showsProgress && !erasedAtExit) erasedAtExit = atexit(EraseLine) == 0;
  if (showsProgress) CallBeforeInterruptedStop(EraseLine);
}

void ShowProgress(uint64_t offset, const std::string& path) {
  if (!progress.showsProgress) return;
  ++progress.entries;
  progress.reached = std::max(progress.reached, offset);
  const Clock::time_point now = Clock::now();
  if (now - progress.started < 1s || (progress.shownColumns != 0 && now - progress.drawn < 100ms))
    return;
  progress.drawn = now;
  const uint64_t percent =
      progress.reached >= progress.imageBytes ? 100 : progress.reached * 100 / progress.imageBytes;
  char head[64];
  snprintf(head, sizeof head, "skelvane: %3u%%, %llu entries: ", static_cast<unsigned>(percent),
           static_cast<unsigned long long>(progress.entries));
  std::string line = head, shown = Escaped(path, true, false);
  const size_t room = kColumns - line.size();
  if (size_t columns = Columns(shown); columns > room) {
    // The end of the path says most about where the run is.
    size_t cut = 0;
    while (columns > room - 3) {
      const Glyph glyph = GlyphAt(shown, cut);
      cut += glyph.bytes;
      columns -= glyph.columns;
    }
    shown = "..." + shown.substr(cut);
  }
  line += shown;
  const size_t columns = Columns(line);
  const int pad =
      static_cast<int>(progress.shownColumns > columns ? progress.shownColumns - columns : 0);
  fprintf(stderr, "\r%s%*s", line.c_str(), pad, "");
  fflush(stderr);
  progress.shownColumns = columns + static_cast<size_t>(pad);
}

void HintAll() {
  if (!progress.tells || progress.rerunCommand.empty()) return;
  EraseLine();
  // The command's names are quoted for the shell, which keeps them safe here.
  fprintf(stderr, "skelvane: --all unpacks the rest of this image: remove %s, then run %s\n",
          QuotedForShell(progress.targetShown).c_str(), progress.rerunCommand.c_str());
  fflush(stderr);
}
