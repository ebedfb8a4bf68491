// The module entry: accepts every load and unload notification and does
// nothing else. The stream state needs no initialisation beyond being zero.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
