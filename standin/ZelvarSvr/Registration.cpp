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

LONG SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClassesRoot + key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc;
}

// Removes the key machine-wide and per user: a per-user registration (such as
// the one a client's repair writes) would otherwise outlive the uninstall on
// Windows, where HKCR shows both.
void DeleteTree(const std::wstring& key) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClassesRoot + key).c_str());
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
                        bool inproc) {
    for (const ServedClass& served : kClasses) {
        std::wstring key = L"CLSID\\" + GuidText(*served.clsid);
        DeleteTree(key + L"\\" + otherServerKey);
        LONG rc = SetValue(key, nullptr, served.name);
        if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\" + serverKey, nullptr, serverValue);
        if (rc == ERROR_SUCCESS && inproc) rc = SetValue(key + L"\\" + serverKey, L"ThreadingModel", L"Both");
        if (rc == ERROR_SUCCESS && served.clsid == &CLSID_Zelvar) {
            rc = SetValue(key + L"\\TypeLib", nullptr, GuidText(LIBID_ZelvarSvrLib));
            if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\Version", nullptr, L"12.0");
        }
        if (rc == ERROR_SUCCESS && served.clsid == &kClsidScenarioControl) {
            rc = SetValue(key + L"\\ProgID", nullptr, kScenarioControlProgId);
            if (rc == ERROR_SUCCESS) rc = SetValue(kScenarioControlProgId, nullptr, served.name);
            if (rc == ERROR_SUCCESS) {
                rc = SetValue(std::wstring(kScenarioControlProgId) + L"\\CLSID", nullptr, GuidText(*served.clsid));
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

}  // namespace

HRESULT RegisterLocalServer(const std::wstring& exePath) {
    HRESULT hr = RegisterClasses(L"LocalServer32", Quoted(exePath), L"InprocServer32", false);
    return FAILED(hr) ? hr : RegisterLibraryAndProxy(exePath);
}

HRESULT RegisterInprocServer(const std::wstring& dllPath) {
    HRESULT hr = RegisterClasses(L"InprocServer32", dllPath, L"LocalServer32", true);
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
