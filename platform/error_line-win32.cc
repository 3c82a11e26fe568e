// A console shows the line as UTF-16, whatever its code page. Redirected (a
// file, a pipe, PowerShell capturing it), the line is in the console's output
// code page, which is how cmd and PowerShell read a console program's bytes;
// the ANSI code page of the system's messages differs from it in most
// languages.
#include "platform/error_line.h"

#include <windows.h>

#include <cstdio>

void WriteErrorLine(const char* line) {
  wchar_t wide[1024];
  int length = MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 1024 - 2);
  if (length == 0) {
    std::fprintf(stderr, "%s\n", line);
    return;
  }
  --length;  // the terminating null
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (GetConsoleMode(handle, &mode)) {
    wide[length++] = L'\r';
    wide[length++] = L'\n';
    DWORD written;
    WriteConsoleW(handle, wide, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  UINT code_page = GetConsoleOutputCP();
  if (code_page == 0)
    code_page = GetOEMCP();
  char narrow[4096];
  int size = WideCharToMultiByte(code_page, 0, wide, length, narrow, sizeof narrow, nullptr, nullptr);
  std::fprintf(stderr, "%.*s\n", size, narrow);
}
