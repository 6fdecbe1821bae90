/* Class factory and self-registration of the event proxy/stub DLL. The proxy
   class gets an identifier of its own instead of the event interface's. */
#define REGISTER_PROXY_DLL
#define PROXY_DELEGATION /* the event interface derives from IDispatch: its stub delegates */
#define PROXY_CLSID_IS \
    { 0x3f2cc53c, 0x9c3d, 0x4087, { 0x9c, 0x50, 0x0e, 0x26, 0x77, 0x78, 0xd9, 0xeb } }

#ifdef ZV_PS_CARRIES_TYPELIB
/* The 32-bit proxy/stub that a 64-bit service installs for its 32-bit clients
   also carries the service's 32-bit type library (resource 1 TYPELIB) and
   registers it first: 32-bit clients marshal the service's interfaces with it.
   The generated registration routines get other names and are called from the
   exported ones below. */
#define DllRegisterServer ProxyDllRegisterServer
#define DllUnregisterServer ProxyDllUnregisterServer
#endif

#include "ZelvarEventsProxy_dlldata.c"

#ifdef ZV_PS_CARRIES_TYPELIB
#undef DllRegisterServer
#undef DllUnregisterServer
#include <oleauto.h>

/* The service's type library, ZelvarSvrLib 12.0. */
static const GUID kLibidZelvarSvrLib = {
    0xa2e3cd1c, 0xc98a, 0x4f62, {0x9f, 0x6b, 0xca, 0x40, 0xe8, 0xe5, 0xca, 0x34}};

static HRESULT OwnPath(WCHAR* path) {
    HMODULE self = NULL;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void*)OwnPath, &self) ||
        !GetModuleFileNameW(self, path, MAX_PATH))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

HRESULT WINAPI DllRegisterServer(void) {
    WCHAR path[MAX_PATH] = {0};
    ITypeLib* library = NULL;
    HRESULT hr = OwnPath(path);
    if (SUCCEEDED(hr)) hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (SUCCEEDED(hr)) {
        hr = RegisterTypeLib(library, path, NULL);
        library->lpVtbl->Release(library);
    }
    return FAILED(hr) ? hr : ProxyDllRegisterServer();
}

HRESULT WINAPI DllUnregisterServer(void) {
    ProxyDllUnregisterServer();
    UnRegisterTypeLib(&kLibidZelvarSvrLib, 12, 0, LOCALE_NEUTRAL, SYS_WIN32);
    return S_OK;
}
#endif
