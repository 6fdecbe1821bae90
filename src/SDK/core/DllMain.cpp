#include <windows.h>

// The entry point does no work of its own: static objects are built and torn
// down by the C runtime around it.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
