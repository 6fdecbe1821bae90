#include "Registration.h"

#include <oleauto.h>

#include "StandinGuids.h"
#include "ZelvarSvrLib.h"

namespace ZelvarStandin {

namespace {

const wchar_t kClassesRoot[] = L"Software\\Classes\\";

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// view: 0 for the process's own registry view, or KEY_WOW64_32KEY /
// KEY_WOW64_64KEY for that view.
LONG SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value, REGSAM view = 0) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClassesRoot + key).c_str(), 0, nullptr, 0, KEY_WRITE | view,
                              nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc;
}

// Removes the key machine-wide, in both registry views, and per user: a
// per-user registration (such as the one a client's repair writes) would
// otherwise outlive the uninstall on Windows, where HKCR shows both.
void DeleteTree(const std::wstring& key) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY classes = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_ALL_ACCESS | view, &classes) !=
            ERROR_SUCCESS)
            continue;
        RegDeleteTreeW(classes, key.c_str());
        RegCloseKey(classes);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, (kClassesRoot + key).c_str());
}

struct ServedClass {
    const CLSID* clsid;
    const wchar_t* name;
};
const ServedClass kClasses[] = {
    {&CLSID_Zelvar, L"Zelvar Class"},
    {&kClsidScenarioControl, L"Zelvar stand-in scenario control"},
};

HRESULT RegisterClasses(const wchar_t* serverKey, const std::wstring& serverValue, const wchar_t* otherServerKey,
                        bool inproc, REGSAM view) {
    for (const ServedClass& served : kClasses) {
        std::wstring key = L"CLSID\\" + GuidText(*served.clsid);
        DeleteTree(key + L"\\" + otherServerKey);
        LONG rc = SetValue(key, nullptr, served.name, view);
        if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\" + serverKey, nullptr, serverValue, view);
        if (rc == ERROR_SUCCESS && inproc) rc = SetValue(key + L"\\" + serverKey, L"ThreadingModel", L"Both", view);
        if (rc == ERROR_SUCCESS && served.clsid == &CLSID_Zelvar) {
            rc = SetValue(key + L"\\TypeLib", nullptr, GuidText(LIBID_ZelvarSvrLib), view);
            if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\Version", nullptr, L"12.0", view);
        }
        if (rc == ERROR_SUCCESS && served.clsid == &kClsidScenarioControl) {
            rc = SetValue(key + L"\\ProgID", nullptr, kScenarioControlProgId, view);
            if (rc == ERROR_SUCCESS) rc = SetValue(kScenarioControlProgId, nullptr, served.name, view);
            if (rc == ERROR_SUCCESS) {
                rc =
                    SetValue(std::wstring(kScenarioControlProgId) + L"\\CLSID", nullptr, GuidText(*served.clsid), view);
            }
        }
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    }
    return S_OK;
}

HRESULT CallProxyEntry(const std::wstring& modulePath, const char* entry) {
    std::wstring proxyPath = FolderOf(modulePath) + L"\\ZelvarSvrPS.dll";
    HMODULE proxy = LoadLibraryW(proxyPath.c_str());
    if (!proxy) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(proxy, entry)));
    HRESULT hr = function ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(proxy);
    return hr;
}

// The type library first, the proxy/stub after it: registering the library
// writes the standard dispatch marshaller for the event interface, which the
// proxy/stub's own registration then replaces.
HRESULT RegisterLibraryAndProxy(const std::wstring& modulePath) {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    std::wstring folder = FolderOf(modulePath);
    hr = RegisterTypeLib(library, const_cast<LPOLESTR>(modulePath.c_str()), const_cast<LPOLESTR>(folder.c_str()));
    library->Release();
    if (FAILED(hr)) return hr;
    return CallProxyEntry(modulePath, "DllRegisterServer");
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

// Runs the 32-bit regsvr32 on one of the 32-bit modules in the x86 folder
// beside the service, as an installer of a 64-bit service does for 32-bit
// clients: the module's own registration then writes the 32-bit registry
// view. No x86 folder, or no such module in it: nothing to do.
HRESULT RunWow64Registration(const std::wstring& modulePath, const wchar_t* module, bool unregister) {
    const std::wstring path = FolderOf(modulePath) + L"\\x86\\" + module;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return S_OK;
    wchar_t wow64[MAX_PATH] = {};
    if (GetSystemWow64DirectoryW(wow64, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring command =
        Quoted(std::wstring(wow64) + L"\\regsvr32.exe") + (unregister ? L" /s /u " : L" /s ") + Quoted(path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return HRESULT_FROM_WIN32(GetLastError());
    DWORD exitCode = 0;
    const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    if (ended) GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // regsvr32's exit code says which step failed (3 loading, 4 the entry point, 5 the registration).
    if (!ended) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    return exitCode == 0 ? S_OK : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x300 + exitCode);
}

}  // namespace

// A local server's classes go to both registry views: 32-bit clients of the
// 64-bit service find them in theirs.
HRESULT RegisterLocalServer(const std::wstring& exePath) {
    HRESULT hr = S_OK;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
        if (SUCCEEDED(hr)) hr = RegisterClasses(L"LocalServer32", Quoted(exePath), L"InprocServer32", false, view);
    return FAILED(hr) ? hr : RegisterLibraryAndProxy(exePath);
}

HRESULT RegisterForWow64Clients(const std::wstring& exePath, bool inproc) {
    return RunWow64Registration(exePath, inproc ? L"ZelvarSvrInproc.dll" : L"ZelvarSvrPS.dll", false);
}

void UnregisterForWow64Clients(const std::wstring& exePath) {
    RunWow64Registration(exePath, L"ZelvarSvrInproc.dll", true);
}

HRESULT RegisterInprocServer(const std::wstring& dllPath) {
    HRESULT hr = RegisterClasses(L"InprocServer32", dllPath, L"LocalServer32", true, 0);
    return FAILED(hr) ? hr : RegisterLibraryAndProxy(dllPath);
}

HRESULT UnregisterAll(const std::wstring& anyModulePath) {
    for (const ServedClass& served : kClasses) DeleteTree(L"CLSID\\" + GuidText(*served.clsid));
    DeleteTree(kScenarioControlProgId);
    // The library may be registered or not; both are fine here.
    UnRegisterTypeLib(LIBID_ZelvarSvrLib, 12, 0, LOCALE_NEUTRAL, SYS_WIN64);
    DeleteTree(L"TypeLib\\" + GuidText(LIBID_ZelvarSvrLib));
    CallProxyEntry(anyModulePath, "DllUnregisterServer");
    DeleteTree(L"Interface\\" + GuidText(DIID__IZelvarEvents));
    return S_OK;
}

}  // namespace ZelvarStandin
