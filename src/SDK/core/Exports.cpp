#include <windows.h>

extern "C" BOOL WINAPI QueryInterface(const wchar_t*, void** outInterface) {
    if (!outInterface) return FALSE;
    return FALSE;
}
