// A do-nothing GUI program that imports what the setup program imports at
// start besides the floor's kernel32 and C runtime: user32, which the setup
// program needs only for its message box. The difference to the floor is the
// cost of loading user32 (and what it pulls in) under the system it runs on.
#include "shell/win32.h"

int main(int argc, char**) {
  if (argc < 0) MessageBoxW(nullptr, L"", L"", MB_OK);  // never runs; the import is the point
  return 0;
}
