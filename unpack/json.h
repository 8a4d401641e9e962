// JSON Lines for --list --json and --scan --json: one object per line.
// A text that is well-formed UTF-8 is a JSON string; any other keeps its
// exact bytes in lowercase hex under the key with "_hex" after it, beside
// the string with U+FFFD for each byte that is not UTF-8.
//
// Written here, not by a JSON library: a line costs a few appends (a
// library's object per line made --list --json more than twice as slow as
// --list), and a symbolic link's target, which may be as long as the image,
// can be written in pieces as it is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/scan.h"

// An entry as --list knows it.
struct JsonEntry {
  std::string_view path = {};  // from the image's root, names joined by slashes
  uint8_t type = 0;            // kHardLink to kFifo (image/romfs.h)
  bool exec = false;
  uint32_t size = 0;                          // left out for devices
  std::string_view target = {};               // a symbolic link's, exact bytes
  std::optional<std::string_view> link = {};  // a hard link's file path; null when not known
  bool copied = false;            // a hard link that stands for a copy: its file is not selected
  uint16_t major = 0, minor = 0;  // a device's
  uint64_t offset = 0;            // the header's, in the input file (counting --offset)
  uint64_t dataOffset = 0;        // a regular file's data, in the input file
};

// {"path", "type", "exec", "size", "target", "link", "copied", "major",
// "minor", "offset", "data_offset"}, each key where the type has it
// ("copied" only where true), and "\n".
std::string JsonEntryLine(const JsonEntry& entry);

// A symbolic link's line in three parts, for a target written in pieces:
// the head ends inside the opening of "target"'s string, the tail starts
// after the target's string and its hex, if any. Between them: the target
// through AppendJsonText, a '"', and, when the text was not all UTF-8,
// ",\"target_hex\":\"", the target again through AppendHex, and a '"'.
std::string JsonEntryHead(const JsonEntry& entry);
std::string JsonEntryTail(const JsonEntry& entry);

// {"offset", "size", "held", "name"} of an image a scan found, and "\n".
std::string JsonScanLine(const FoundImage& found);

// {"error": message} and "\n".
std::string JsonErrorLine(std::string_view message);

// Appends text inside a JSON string: JSON's escapes for '"', '\' and the
// controls, U+FFFD for each byte that is not UTF-8 (counted in replaced).
// Returns how many bytes of text it took: all, or, unless last, all but a
// UTF-8 sequence that the end of text cuts short, which the caller puts
// before the next piece.
size_t AppendJsonText(std::string& out, std::string_view text, bool last, uint64_t& replaced);

// Appends bytes in lowercase hex.
void AppendHex(std::string& out, std::string_view bytes);
