// The stand-in for the loader library the application ships beside it: just
// enough of a DLL to be installed, loaded and told apart from the real one.
#include "shell/win32.h"

// Also the entry point: the library is linked without the C runtime, so it
// carries nothing but these two functions.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// Tells tests they are looking at the stand-in, and which revision of it.
extern "C" __declspec(dllexport) int LbwStandInLoaderVersion() { return 1; }
