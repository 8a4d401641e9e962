// For the tests that run the Windows program under Wine. Prints, each
// followed by a zero byte: for an error number, the system's text as
// FormatMessageA gives it to skelvane; for "codepage:hex" (the name's bytes
// in hex, which Wine passes unchanged), "safe" or "unsafe" as the Win32
// backend judges that name in that code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32.h"

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  for (int i = 1; i < argc; ++i) {
    char* rest = nullptr;
    const unsigned long number = strtoul(argv[i], &rest, 10);
    char* text = nullptr;
    if (*rest == ':') {
      std::string name;
      for (++rest; rest[0] && rest[1]; rest += 2)
        name += static_cast<char>(std::stoi(std::string(rest, 2), nullptr, 16));
      fputs(NameIsSafeInCodePage(name, number) ? "safe" : "unsafe", stdout);
    } else if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                              number, 0x0400, reinterpret_cast<LPSTR>(&text), 0, nullptr)) {
      fputs(text, stdout);
      LocalFree(text);
    } else {
      return 1;
    }
    fputc('\0', stdout);
  }
  return 0;
}
