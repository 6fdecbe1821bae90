// Placeholder until self-registration lands.
#include <windows.h>

extern "C" HRESULT WINAPI DllRegisterServer() { return E_UNEXPECTED; }
extern "C" HRESULT WINAPI DllUnregisterServer() { return E_UNEXPECTED; }
