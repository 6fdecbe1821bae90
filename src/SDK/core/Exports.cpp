#include <windows.h>

extern "C" BOOL WINAPI QueryInterface(const wchar_t*, void** outInterface) {
    if (!outInterface) return FALSE;
    return FALSE;
}
extern "C" HRESULT WINAPI DllRegisterServer() { return E_UNEXPECTED; }
extern "C" HRESULT WINAPI DllUnregisterServer() { return E_UNEXPECTED; }
