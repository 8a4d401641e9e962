// The Win32 backend. The A functions take whole paths and have no creation
// relative to an open directory, so every creation names the path the trace
// shows, backslashes and all; the output directory handles hold nothing.
// Links become shell links (.lnk files) in the form Cygwin reads as symbolic
// links, written here byte by byte.
#include "platform/win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/read_ahead.h"
#include "platform/trace.h"

struct ImageFile : ReadAhead {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

struct OutputDir {};

struct ScratchFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint64_t size = 0;
};

struct OutputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool owned = true;  // not standard output
};

namespace {

// Set by the console's control handler, which runs in a thread of its own.
std::atomic<bool> noted{false};

BOOL WINAPI NoteInterruption(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // A second one goes to the system's handler, which ends the process at
  // once: the run may be waiting for a reader of its trace that never comes.
  return !noted.exchange(true);
}

// The error of the last failed call, kept until its text is asked for:
// calls made in between (closing a file, say) may change GetLastError.
DWORD lastError = 0;

template <typename T>
T KeepError(T result) {
  lastError = GetLastError();
  return result;
}

bool WriteAll(HANDLE out, const void* src, size_t count) {
  const auto* p = static_cast<const uint8_t*>(src);
  while (count > 0) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min(count, kMaxTransfer));
    if (!WriteFile(out, p, piece, &written, nullptr)) return KeepError(false);
    if (written == 0) {
      lastError = ERROR_WRITE_FAULT;
      return false;
    }
    p += written;
    count -= written;
  }
  return true;
}

OutputDirHandle NoHandle() {
  return OutputDirHandle(new OutputDir);
}

// Text as Windows reads it in a code page, in UTF-16. Empty when it does
// not convert: with MB_ERR_INVALID_CHARS, when it is not valid text there;
// without, invalid bytes are replaced, as the A functions replace them.
std::wstring Widen(const std::string& text, UINT codePage, DWORD flags) {
  const int length = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (wide <= 0) return KeepError(std::wstring());
  std::wstring converted(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), length, converted.data(), wide);
  return converted;
}

// Windows takes these names as a device in every folder, in any case,
// whatever follows the first dot and whatever blanks end the rest.
bool IsDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
    if (base == device) return true;
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0))
    return false;
  // A digit, or a superscript one, two or three.
  const wchar_t number = base[3];
  return (number >= L'0' && number <= L'9') || number == L'\u00B9' || number == L'\u00B2' ||
         number == L'\u00B3';
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber,
                uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

// True when nothing has the name path: no file, and no shortcut of it.
bool NameIsFree(const std::string& path) {
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

constexpr NTSTATUS kNameInvalid = static_cast<NTSTATUS>(0xC0000033);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

// Gives the file open as file the further name path, which the A functions
// would read as the same full path.
NTSTATUS LinkFromHandle(HANDLE file, const std::string& path) {
  const std::wstring wide = Widen(path, CP_ACP, 0);
  DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(length, L'\0');
  if (length > 0) length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return kNameInvalid;
  full.resize(length);
  const std::wstring name = L"\\??\\" + full;
  std::vector<char> buffer(offsetof(FILE_LINK_INFORMATION, FileName) + name.size() * sizeof(WCHAR));
  auto* link = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
  link->ReplaceIfExists = FALSE;
  link->RootDirectory = nullptr;
  link->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  memcpy(link->FileName, name.data(), link->FileNameLength);
  IO_STATUS_BLOCK io;
  return NtSetInformationFile(file, &io, link, static_cast<ULONG>(buffer.size()),
                              FileLinkInformation);
}

void PutLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// The shell link header (MS-SHLLINK) with these LinkFlags; the rest of it
// (attributes, times, size, icon, hot key) unknown, 0.
std::string ShellLinkHeader(uint32_t flags) {
  constexpr uint32_t kShowNormal = 1;
  static const char kLinkClsid[16] = {0x01,   0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      '\xC0', 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  std::string link;
  PutLittleEndian(link, 0x4C, 4);  // HeaderSize
  link.append(kLinkClsid, sizeof kLinkClsid);
  PutLittleEndian(link, flags, 4);
  // FileAttributes, the three times, FileSize and IconIndex.
  link.append(4 + 3 * 8 + 4 + 4, '\0');
  PutLittleEndian(link, kShowNormal, 4);
  link.append(2 + 2 + 4 + 4, '\0');  // HotKey and the reserved fields
  return link;
}

constexpr uint32_t kHasName = 0x04, kHasRelativePath = 0x08, kIsUnicode = 0x80;

// A shortcut whose only target is a path relative to its folder, in UTF-16:
// the header, the counted relative path, the terminal block of the (empty)
// extra data. Explorer follows it; Cygwin sees a plain file.
std::string UnicodeShellLink(const std::wstring& relativePath) {
  std::string link = ShellLinkHeader(kHasRelativePath | kIsUnicode);
  PutLittleEndian(link, static_cast<uint32_t>(relativePath.size()), 2);
  for (const wchar_t c : relativePath) PutLittleEndian(link, static_cast<uint16_t>(c), 2);
  PutLittleEndian(link, 0, 4);  // TerminalBlock
  return link;
}

// A shortcut in the form Cygwin and MSYS2 write and read back as a symbolic
// link: 8-bit strings, the target as the description (a placeholder when
// long) and as the relative path in the system's ANSI code page, which is how
// Explorer reads them; then Cygwin's own block, the target in UTF-16 behind a
// byte count and a byte-order mark. No terminal block: Cygwin would read it
// as an empty target.
std::string CygwinShellLink(const std::string& target, const std::string& relativePath,
                            const std::wstring& wideTarget) {
  std::string link = ShellLinkHeader(kHasName | kHasRelativePath);
  const std::string description = target.size() <= 260 ? target : "[path too long]";
  for (const std::string* text : {&description, &relativePath}) {
    PutLittleEndian(link, static_cast<uint32_t>(text->size()), 2);
    link += *text;
  }
  PutLittleEndian(link, static_cast<uint32_t>(2 * (wideTarget.size() + 1)), 2);
  for (const wchar_t c : L"\uFEFF" + wideTarget) PutLittleEndian(link, static_cast<uint16_t>(c), 2);
  PutLittleEndian(link, 0, 2);
  return link;
}

// The target as Cygwin keeps it in UTF-16: valid UTF-8 decoded, any other
// byte as U+F000 + the byte, which Cygwin turns back into that byte.
std::wstring CygwinTarget(const std::string& target) {
  std::wstring wide;
  for (size_t at = 0; at < target.size();) {
    const auto lead = static_cast<uint8_t>(target[at]);
    const size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::wstring piece = Widen(target.substr(at, length), CP_UTF8, MB_ERR_INVALID_CHARS);
    if (piece.empty()) {
      wide += static_cast<wchar_t>(0xF000 + lead);
      ++at;
    } else {
      wide += piece;
      at += length;
    }
  }
  return wide;
}

// The code page of the system's locale: the one Explorer reads a shortcut's
// 8-bit strings in, whatever the manifest makes this process's own. A locale
// with none of its own (Hindi, say) leaves the system in UTF-8.
UINT SystemAnsiCodePage() {
  DWORD codePage = 0;
  GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<LPWSTR>(&codePage), sizeof codePage / sizeof(wchar_t));
  return codePage ? codePage : CP_UTF8;
}

// The text in a code page, exactly: empty when a character has no exact
// counterpart there.
std::string Narrow(const std::wstring& text, UINT codePage) {
  // UTF-8 holds everything, and takes neither the flag nor the question.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const askUsedDefault = codePage == CP_UTF8 ? nullptr : &usedDefault;
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr,
                                        askUsedDefault);
  if (bytes <= 0 || usedDefault) return {};
  std::string converted(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, flags, text.data(), length, converted.data(), bytes, nullptr,
                      nullptr);
  return converted;
}

// The target text as the A functions read it, in the process code page (UTF-8
// under the manifest), so that it names what they made of the same bytes,
// with "/" read as "\". Empty when it is empty, and when it leaves the
// shortcut's own drive: two separators start a network or a device path, ":"
// names another drive or a stream, "?" an NT path ("\??\UNC\host",
// "\??\pipe\x") that Windows passes through as it is; no file name holds "?"
// or "*". Explorer resolves a shortcut merely to draw its icon, and would
// offer a host that the image names the user's credentials.
std::wstring ShortcutTarget(const std::string& target) {
  std::wstring converted = Widen(target, CP_ACP, 0);
  std::replace(converted.begin(), converted.end(), L'/', L'\\');
  if (converted.starts_with(L"\\\\") || converted.find_first_of(L":?*") != std::wstring::npos)
    return {};
  return converted;
}

// The shortcut for the target: Cygwin's form when the system's code page
// holds its relative path, else the Unicode one. Empty when refused.
std::string Shortcut(const std::string& target) {
  const std::wstring relativePath = ShortcutTarget(target);
  if (relativePath.empty()) return {};
  const std::string narrow = Narrow(relativePath, SystemAnsiCodePage());
  if (narrow.empty()) return UnicodeShellLink(relativePath);
  return CygwinShellLink(target, narrow, CygwinTarget(target));
}

}  // namespace

int64_t ReadAtPosition(ReadAhead& reads, void* dst, size_t count) {
  auto& image = static_cast<ImageFile&>(reads);
  if (image.systemPos != image.pos && !SeekSystem(image, image.pos)) return -1;
  DWORD got = 0;
  if (!ReadFile(image.handle, dst, static_cast<DWORD>(std::min(count, kMaxTransfer)), &got,
                nullptr)) {
    // A pipe whose writer has gone has reached its end.
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return KeepError(-1);
  }
  image.systemPos += got;
  return got;
}

bool SeekSystem(ReadAhead& reads, uint64_t offset) {
  const HANDLE handle = static_cast<ImageFile&>(reads).handle;
  // Windows leaves a seek on a pipe undefined, so it is refused here.
  if (!reads.sized && GetFileType(handle) != FILE_TYPE_DISK) {
    lastError = ERROR_SEEK_ON_DEVICE;
    return false;
  }
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(reads.origin + offset);
  if (!SetFilePointerEx(handle, to, nullptr, FILE_BEGIN)) return KeepError(false);
  reads.systemPos = offset;
  return true;
}

ReadAhead& ReadsOf(ImageFile* image) {
  return *image;
}

ImageFile* OpenImageFile(const char* path, bool spool) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (strcmp(path, kStandardInputName) == 0) {
    // A handle of its own, which closing the image may close.
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(),
                         &handle, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return KeepError(nullptr);
  } else {
    handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return KeepError(nullptr);
  auto* image = new ImageFile;
  image->handle = handle;
  image->window.resize(kReadAheadWindow);
  LARGE_INTEGER size;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size)) {
    image->sized = true;
    image->size = static_cast<uint64_t>(size.QuadPart);
  }
  if (spool && !image->sized) {
    ScratchFileHandle scratch = CreateScratchFile();
    if (!scratch || !SpoolInto(*image, scratch.get())) {
      const DWORD error = lastError;
      CloseImageFile(image);
      lastError = error;
      return nullptr;
    }
    CloseHandle(image->handle);
    image->handle = std::exchange(scratch->handle, INVALID_HANDLE_VALUE);
    ResetReads(*image, scratch->size);
  }
  return image;
}

void ScratchFileCloser::operator()(ScratchFile* file) const {
  if (file->handle != INVALID_HANDLE_VALUE) CloseHandle(file->handle);
  delete file;
}

ScratchFileHandle CreateScratchFile() {
  char dir[MAX_PATH + 1], name[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof dir, dir);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(dir, "skv", 0, name) == 0)
    return KeepError(nullptr);
  // The name GetTempFileNameA made goes with the last handle, however the
  // process ends.
  const HANDLE handle =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    KeepError(0);
    DeleteFileA(name);
    return nullptr;
  }
  return ScratchFileHandle(new ScratchFile{handle, 0});
}

namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

bool AppendToScratchFile(ScratchFile* file, const void* src, size_t count) {
  const auto* p = static_cast<const uint8_t*>(src);
  while (count > 0) {
    DWORD written = 0;
    OVERLAPPED at = At(file->size);
    if (!WriteFile(file->handle, p, static_cast<DWORD>(std::min(count, kMaxTransfer)), &written,
                   &at))
      return KeepError(false);
    if (written == 0) {
      lastError = ERROR_WRITE_FAULT;
      return false;
    }
    p += written;
    count -= written;
    file->size += written;
  }
  return true;
}

bool ReadScratchFile(ScratchFile* file, uint64_t offset, void* dst, size_t count, size_t* got) {
  *got = 0;
  auto* p = static_cast<uint8_t*>(dst);
  while (*got < count) {
    DWORD read = 0;
    OVERLAPPED at = At(offset + *got);
    if (!ReadFile(file->handle, p + *got, static_cast<DWORD>(std::min(count - *got, kMaxTransfer)),
                  &read, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return KeepError(false);
    }
    if (read == 0) break;
    *got += read;
  }
  return true;
}

uint64_t ScratchFileSize(const ScratchFile* file) {
  return file->size;
}

bool SomethingExistsAt(const std::string& path, bool* directory) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (directory) *directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

void CloseImageFile(ImageFile* image) {
  if (!image) return;
  CloseHandle(image->handle);
  delete image;
}

void OutputDirCloser::operator()(OutputDir* dir) const {
  delete dir;
}

// The name check in a given code page: NameIsSafe passes the process's own,
// as the A functions convert with it; the tests pass others.
bool NameIsSafeInCodePage(const std::string& name, UINT codePage) {
  if (codePage == CP_ACP) codePage = GetACP();
  // In a double-byte code page a lead byte left at the end would take the
  // separator that follows as its second byte. UTF-8 has no such bytes.
  size_t at = 0;
  if (codePage != CP_UTF8)
    while (at < name.size()) at += IsDBCSLeadByteEx(codePage, static_cast<BYTE>(name[at])) ? 2 : 1;
  if (at > name.size()) return false;
  const std::wstring wide = Widen(name, codePage, 0);
  if (wide.empty() != name.empty()) return false;
  // "\" and "/" would reach outside the directory being filled, ":" a drive
  // or a stream hidden in another file; a device would swallow the data.
  return wide.find_first_of(L"\\/:") == std::wstring::npos && !IsDeviceName(wide);
}

bool NameIsSafe(const std::string& name) {
  return NameIsSafeInCodePage(name, CP_ACP);
}

bool MakeDirectory(const OutPath& path) {
  return CreateDirectoryA(path.shown.c_str(), nullptr) || KeepError(false);
}

OutputDirHandle OpenDirectory(const OutPath&) {
  return NoHandle();
}

OutputDirHandle OpenDirectoryBeneath(const OutputDir&, const std::vector<std::string>&) {
  return NoHandle();
}

CopyResult CopyImageToNewFile(ImageFile* image, const OutPath& path, uint64_t count,
                              bool /*executable: Windows has no such bit*/, uint64_t* copied,
                              FileId* id) {
  *copied = 0;
  // DELETE: an interrupted copy removes the file through its handle, so
  // whatever may stand at its name by then.
  const HANDLE out = CreateFileA(path.shown.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return KeepError(CopyResult::kCreateFailed);
  BY_HANDLE_FILE_INFORMATION info;
  if (id && GetFileInformationByHandle(out, &info)) *id = IdOf(info);
  const CopyResult result =
      CopyThrough(*image, count, copied,
                  [out](const uint8_t* bytes, size_t n) { return WriteAll(out, bytes, n); });
  if (result == CopyResult::kInterrupted) {
    FILE_DISPOSITION_INFO remove = {TRUE};
    SetFileInformationByHandle(out, FileDispositionInfo, &remove, sizeof remove);
  }
  if (!CloseHandle(out) && result == CopyResult::kDone) return KeepError(CopyResult::kWriteFailed);
  return result;
}

CopyResult CopyImageToStandardOutput(ImageFile* image, uint64_t count, uint64_t* copied) {
  *copied = 0;
  if (fflush(stdout) != 0) return CopyResult::kWriteFailed;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return CopyThrough(*image, count, copied,
                     [out](const uint8_t* bytes, size_t n) { return WriteAll(out, bytes, n); });
}

// As much as Cygwin reads back from a shortcut.
const uint32_t kLongestLinkTarget = 4095;

bool MakeSymbolicLink(const std::string& target, const OutPath& path) {
  // The link's own name must be free too, or the shortcut would stand beside
  // an entry of the same name.
  if (!NameIsFree(path.shown)) return KeepError(false);
  // No shortcut points nowhere, nor off the drive.
  const std::string link = Shortcut(target), linkPath = path.shown + ".lnk";
  if (link.empty()) return false;
  const HANDLE out = CreateFileA(linkPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return KeepError(false);
  bool written = WriteAll(out, link.data(), link.size());
  if (!CloseHandle(out) && written) written = KeepError(false);
  // Read-only only once whole, as Cygwin's reader requires: a shortcut cut
  // short is no shortcut, and the file, this run's own, must still go.
  if (written && !SetFileAttributesA(linkPath.c_str(), FILE_ATTRIBUTE_READONLY))
    written = KeepError(false);
  if (!written) DeleteFileA(linkPath.c_str());
  return written;
}

bool MakeHardLink(const OutPath& existing, const FileId& id, const OutPath& path) {
  // As a shortcut may not stand beside a name, a name may not stand beside
  // a shortcut.
  if (!NameIsFree(path.shown + ".lnk")) return KeepError(false);
  // The file is held open, never through a reparse point, checked, and
  // linked from the handle: whatever has its name by then is not linked.
  const HANDLE file =
      CreateFileA(existing.shown.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return KeepError(false);
  BY_HANDLE_FILE_INFORMATION info;
  bool made = GetFileInformationByHandle(file, &info) || KeepError(false);
  if (made &&
      ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
       IdOf(info) != id)) {
    lastError = ERROR_FILE_INVALID;
    made = false;
  }
  if (made) {
    const NTSTATUS status = LinkFromHandle(file, path.shown);
    made = status >= 0;
    lastError = RtlNtStatusToDosError(status);
    // A system that cannot link a handle: by name, which the handle,
    // shared for neither renaming nor deleting, keeps other Windows programs
    // from swapping meanwhile (Wine cannot lock a name against the host's
    // own programs).
    if (!made && status != kNameCollision)
      made =
          CreateHardLinkA(path.shown.c_str(), existing.shown.c_str(), nullptr) || KeepError(false);
  }
  CloseHandle(file);
  return made;
}

void OutputFileCloser::operator()(OutputFile* file) const {
  if (file->owned && file->handle != INVALID_HANDLE_VALUE) CloseHandle(file->handle);
  delete file;
}

OutputFileHandle CreateNewOutputFile(const std::string& path, bool* exists) {
  // CREATE_NEW fails on anything at the name, a link included.
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    KeepError(0);
    *exists = lastError == ERROR_FILE_EXISTS || lastError == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  *exists = false;
  return OutputFileHandle(new OutputFile{handle, true});
}

OutputFileHandle StandardOutputFile() {
  // Written with WriteFile: bytes as they are, whatever the C library's mode.
  return OutputFileHandle(new OutputFile{GetStdHandle(STD_OUTPUT_HANDLE), false});
}

bool WriteOutputFile(OutputFile* file, const void* src, size_t count) {
  if (WriteAll(file->handle, src, count)) return true;
  errno = 0;  // the system's own error tells (ReaderHasGone)
  return false;
}

bool CloseOutputFile(OutputFileHandle file) {
  if (!file->owned) return true;
  const HANDLE handle = std::exchange(file->handle, INVALID_HANDLE_VALUE);
  return CloseHandle(handle) || KeepError(false);
}

bool IsSystemHelpOption(const std::string& argument) {
  return argument == "/?";
}

std::string QuotedForShell(const std::string& argument) {
  // cmd ends a word at a space, a tab, a comma, a semicolon or an equals
  // sign, and acts on the others outside double quotes; a name cannot hold
  // a double quote. The bytes a console must not get (no Windows name holds
  // them) are shown as \ooo.
  const std::string shown = Escaped(argument, true, false);
  if (!shown.empty() && shown.find_first_of(" \t,;=&|<>^()") == std::string::npos) return shown;
  return '"' + shown + '"';
}

bool PrepareStandardOutput() {
  // Binary mode: the trace's bytes as they are, "\n" without a "\r".
  _setmode(_fileno(stdout), _O_BINARY);
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool StandardErrorIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StandardErrorIsSeparate() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (GetConsoleMode(err, &mode)) return true;  // a person reads a console
  if (out == err) return false;
  // Two handles of one pipe or file: the system compares them where it can
  // (Windows 10 on); else two opens of one file tell by volume and index.
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const HMODULE kernel = GetModuleHandleA("kernelbase.dll");
  const auto compare = kernel ? reinterpret_cast<Compare>(reinterpret_cast<void (*)()>(
                                    GetProcAddress(kernel, "CompareObjectHandles")))
                              : nullptr;
  if (compare && compare(out, err)) return false;
  // Where the system gives a pipe an index too (Wine does), it tells the
  // same; an index of 0 tells nothing.
  BY_HANDLE_FILE_INFORMATION a, b;
  if (GetFileType(out) != GetFileType(err) || !GetFileInformationByHandle(out, &a) ||
      !GetFileInformationByHandle(err, &b) || (a.nFileIndexHigh == 0 && a.nFileIndexLow == 0))
    return true;
  return a.dwVolumeSerialNumber != b.dwVolumeSerialNumber || a.nFileIndexHigh != b.nFileIndexHigh ||
         a.nFileIndexLow != b.nFileIndexLow;
}

void EndByClosedPipe() {
  ExitProcess(255);
}

bool ReaderHasGone(int error) {
  // The C library reports a pipe without a reader as EINVAL; the system's
  // own error tells.
  const DWORD system = GetLastError();
  return error == EPIPE || system == ERROR_NO_DATA || system == ERROR_BROKEN_PIPE ||
         system == ERROR_PIPE_NOT_CONNECTED;
}

const char* GetLastErrorString() {
  static char* text = nullptr;
  static char number[32];
  if (text) LocalFree(text);
  text = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                     lastError, 0x0400, reinterpret_cast<LPSTR>(&text), 0, nullptr))
    return text;
  // No text for this error: its number, ended as the system ends its texts.
  text = nullptr;
  snprintf(number, sizeof number, "System error %lu\r\n", lastError);
  return number;
}

void CatchInterruptions() {
  SetConsoleCtrlHandler(NoteInterruption, TRUE);
}

bool InterruptionNoted() {
  return noted;
}

void EndByInterruption() {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}
