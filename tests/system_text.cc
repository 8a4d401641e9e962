// For the tests that run the Windows program under Wine: prints the system's
// text for each error number given, as FormatMessageA gives it to skelvane,
// each followed by a zero byte.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  for (int i = 1; i < argc; ++i) {
    char* text = nullptr;
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                        strtoul(argv[i], nullptr, 10), 0x0400, reinterpret_cast<LPSTR>(&text), 0,
                        nullptr))
      return 1;
    fputs(text, stdout);
    fputc('\0', stdout);
    LocalFree(text);
  }
  return 0;
}
