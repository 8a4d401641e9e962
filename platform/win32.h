// What the Win32 backend offers beyond platform.h: the name check in any code
// page, which the tests' helper under Wine asks about (tests/system_text.cc).
#pragma once

#include <windows.h>

#include <string>

// NameIsSafe as Windows reads the name in codePage; CP_ACP is the process's own.
bool NameIsSafeInCodePage(const std::string& name, UINT codePage);
