// The JSON lines, appended key by key in the order the header lists them.
#include "unpack/json.h"

#include <charconv>

#include "image/romfs.h"
#include "platform/utf8.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// True when the bytes at the end of a piece begin a UTF-8 sequence that
// more bytes could complete.
bool CutShortSequence(std::string_view tail) {
  if (tail.empty() || tail.size() > 3) return false;
  const uint8_t lead = static_cast<uint8_t>(tail[0]);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (tail.size() >= length) return false;
  // One of these second bytes is in every lead's range.
  for (const char second : {'\x80', '\x90', '\xA0'}) {
    std::string whole(tail);
    if (whole.size() == 1) whole.push_back(second);
    whole.resize(length, '\x80');
    uint32_t code;
    if (Utf8Sequence(whole, 0, code) == length) return true;
  }
  return false;
}

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// ,"key": (no comma right after the object's opening)
void AppendKey(std::string& out, const char* key) {
  out.append(!out.empty() && out.back() == '{' ? "\"" : ",\"").append(key).append("\":");
}

// "key":"text" and, when text is not UTF-8, "key_hex":"its bytes".
void AppendText(std::string& out, const char* key, std::string_view text) {
  AppendKey(out, key);
  out.push_back('"');
  uint64_t replaced = 0;
  AppendJsonText(out, text, true, replaced);
  out.push_back('"');
  if (replaced == 0) return;
  out.append(",\"").append(key).append("_hex\":\"");
  AppendHex(out, text);
  out.push_back('"');
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case kHardLink:
      return "\"hardlink\"";
    case kDirectory:
      return "\"dir\"";
    case kRegularFile:
      return "\"file\"";
    case kSymbolicLink:
      return "\"symlink\"";
    case kBlockDevice:
      return "\"block\"";
    case kCharacterDevice:
      return "\"char\"";
    case kSocket:
      return "\"socket\"";
    default:
      return "\"fifo\"";
  }
}

bool IsDevice(uint8_t type) {
  return type == kBlockDevice || type == kCharacterDevice;
}

}  // namespace

size_t AppendJsonText(std::string& out, std::string_view text, bool last, uint64_t& replaced) {
  // Runs of bytes that need no escape go in whole.
  size_t plain = 0, at = 0;
  const auto flush = [&] { out.append(text.substr(plain, at - plain)); };
  while (at < text.size()) {
    const uint8_t byte = static_cast<uint8_t>(text[at]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      ++at;
      continue;
    }
    uint32_t code = byte;
    const size_t length = byte < 0x80 ? 1 : Utf8Sequence(text, at, code);
    // DEL and the C1 controls are escaped too, so that the lines are safe
    // on a terminal: one may read U+009B as CSI.
    if (length > 1 && code > 0x9F) {
      at += length;
      continue;
    }
    flush();
    if (length == 0) {
      if (!last && CutShortSequence(text.substr(at))) return at;
      out.append("\xEF\xBF\xBD");
      ++replaced;
    } else if (byte == '"' || byte == '\\') {
      out.append(1, '\\').append(1, static_cast<char>(byte));
    } else {
      static const char* const kShort[] = {"\\b", "\\t", "\\n", nullptr, "\\f", "\\r"};
      if (byte >= '\b' && byte <= '\r' && kShort[byte - '\b'])
        out.append(kShort[byte - '\b']);
      else
        out.append("\\u00").append(1, kDigits[code >> 4]).append(1, kDigits[code & 0xF]);
      at += length - 1;
    }
    plain = ++at;
  }
  flush();
  return at;
}

void AppendHex(std::string& out, std::string_view bytes) {
  const size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* hex = out.data() + start;
  for (const char c : bytes) {
    *hex++ = kDigits[static_cast<uint8_t>(c) >> 4];
    *hex++ = kDigits[c & 0xF];
  }
}

namespace {

void AppendHead(std::string& line, const JsonEntry& entry) {
  line.push_back('{');
  AppendText(line, "path", entry.path);
  AppendKey(line, "type");
  line.append(TypeName(entry.type));
  AppendKey(line, "exec");
  line.append(entry.exec ? "true" : "false");
  if (!IsDevice(entry.type)) {
    AppendKey(line, "size");
    AppendNumber(line, entry.size);
  }
  if (entry.type == kSymbolicLink) line.append(",\"target\":\"");
}

// After the head: the first key has its comma.
void AppendTail(std::string& line, const JsonEntry& entry) {
  if (entry.type == kHardLink) {
    if (entry.link) {
      AppendText(line, "link", *entry.link);
    } else {
      AppendKey(line, "link");
      line.append("null");
    }
    if (entry.copied) {
      AppendKey(line, "copied");
      line.append("true");
    }
  }
  if (IsDevice(entry.type)) {
    AppendKey(line, "major");
    AppendNumber(line, entry.major);
    AppendKey(line, "minor");
    AppendNumber(line, entry.minor);
  }
  AppendKey(line, "offset");
  AppendNumber(line, entry.offset);
  if (entry.type == kRegularFile) {
    AppendKey(line, "data_offset");
    AppendNumber(line, entry.dataOffset);
  }
  line.append("}\n");
}

// Room for the keys and numbers of any line.
constexpr size_t kLineRoom = 192;

}  // namespace

std::string JsonEntryHead(const JsonEntry& entry) {
  std::string line;
  line.reserve(kLineRoom + entry.path.size());
  AppendHead(line, entry);
  return line;
}

std::string JsonEntryTail(const JsonEntry& entry) {
  std::string line;
  line.reserve(kLineRoom + (entry.link ? entry.link->size() : 0));
  AppendTail(line, entry);
  return line;
}

std::string JsonEntryLine(const JsonEntry& entry) {
  std::string line;
  line.reserve(kLineRoom + entry.path.size() + entry.target.size() +
               (entry.link ? entry.link->size() : 0));
  AppendHead(line, entry);
  if (entry.type == kSymbolicLink) {
    uint64_t replaced = 0;
    AppendJsonText(line, entry.target, true, replaced);
    line.push_back('"');
    if (replaced) {
      line.append(",\"target_hex\":\"");
      AppendHex(line, entry.target);
      line.push_back('"');
    }
  }
  AppendTail(line, entry);
  return line;
}

std::string JsonScanLine(const FoundImage& found) {
  std::string line = "{";
  AppendKey(line, "offset");
  AppendNumber(line, found.offset);
  AppendKey(line, "size");
  AppendNumber(line, found.size);
  AppendKey(line, "held");
  AppendNumber(line, found.held);
  AppendText(line, "name", found.name);
  return line.append("}\n");
}

std::string JsonErrorLine(std::string_view message) {
  std::string line = "{";
  AppendText(line, "error", message);
  return line.append("}\n");
}
