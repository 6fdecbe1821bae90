#include "service/ComRegistration.h"

#include <oleauto.h>
#include <shlwapi.h>

#include "support/Trace.h"

// The import library has this entry point but mingw-w64's oleauto.h does not
// declare it.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* typeLibrary, OLECHAR* fullPath, OLECHAR* helpDirectory);

namespace BrennicZelvarSDK {

const ComBinaryRegistration g_ComBinaries[2] = {
    {L"{0579B1B3-3F62-4E7B-9169-C7E112E2F151}", L"{A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}", L"C.0", L"Zelvar Class",
     L"ZelvarSvr.exe"},
    {L"{98DB51B7-BDC6-484B-9844-18DA73D506B6}", L"{2D646468-6FEC-408C-B7CF-FB258D2AA0EB}", L"C.0", L"Vossary Class",
     L"MorvelModule.exe"},
};

const wchar_t* const g_TypeLibraryBinaries[3] = {L"MorvelInterfaces.dll", L"ZelvarSvr.exe", L"MorvelModule.exe"};

const wchar_t kInstallLocationKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
const wchar_t kInstallLocationValue[] = L"InstallLocation";

namespace {

void EnsureTrailingBackslash(std::wstring& path) {
    if (path.empty() || path.back() != L'\\') path += L'\\';
}

// Writes one string as the unnamed value of a key, the NUL counted in the size.
LONG SetDefaultString(BrennicUtility::IRegUtil& regUtil, const std::wstring& keyPath, const std::wstring& text) {
    DWORD disposition = 0;
    return regUtil.CreateKeyAndSetValue(HKEY_CURRENT_USER, keyPath.c_str(), nullptr,
                                        reinterpret_cast<const BYTE*>(text.c_str()), REG_SZ,
                                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), &disposition, 0, 0);
}

}  // namespace

void GetInstallDirectory(BrennicUtility::IRegUtil& regUtil, std::wstring& directory, bool machine) {
    directory.clear();
    std::wstring location;
    if (regUtil.GetStringValue(location, kInstallLocationKey, kInstallLocationValue, machine) != ERROR_SUCCESS ||
        location.empty())
        return;
    EnsureTrailingBackslash(location);
    directory = location + L"Zelvar";
}

std::wstring QuoteServerPath(const std::wstring& path) {
    if (path.find(L'"') != std::wstring::npos) return path;
    return L"\"" + path + L"\"";
}

int RegisterCLSIDForComBinary(BrennicUtility::IRegUtil& regUtil, int isAdmin, const wchar_t* clsid,
                              const wchar_t* typeLibrary, const wchar_t* version, const wchar_t* className,
                              const wchar_t* serverPath) {
    TraceInfo(
        L"RegisterCLSIDForComBinary called. CLSID=%s, TypeLib=%s, Version=%s, ClassName=%s, "
        L"ServerPath=%s, isAdmin=%d",
        clsid, typeLibrary, version, className, serverPath, isAdmin);

    const std::wstring classKey = std::wstring(L"Software\\Classes\\") + L"CLSID\\" + clsid;
    struct KeyValue {
        std::wstring keyPath;
        std::wstring text;
        const wchar_t* failureFormat;
    };
    const KeyValue textValues[] = {
        {classKey, className, L"Failed to register CLSID key %s. Error=%ld"},
        {classKey + L"\\LocalServer32", QuoteServerPath(serverPath),
         L"Failed to register LocalServer32 key %s. Error=%ld"},
        {classKey + L"\\TypeLib", typeLibrary, L"Failed to register TypeLib key %s. Error=%ld"},
        {classKey + L"\\Version", version, L"Failed to register Version key %s. Error=%ld"},
    };
    for (const KeyValue& item : textValues) {
        LONG rc = SetDefaultString(regUtil, item.keyPath, item.text);
        if (rc != ERROR_SUCCESS) {
            TraceError(item.failureFormat, item.keyPath.c_str(), rc);
            return 0;
        }
    }

    // "Programmable" carries no data: an empty unnamed value of size 0.
    const std::wstring programmableKey = classKey + L"\\Programmable";
    DWORD disposition = 0;
    LONG rc = regUtil.CreateKeyAndSetValue(HKEY_CURRENT_USER, programmableKey.c_str(), nullptr, nullptr, REG_SZ, 0,
                                           &disposition, 0, 0);
    if (rc != ERROR_SUCCESS) {
        TraceError(L"Failed to register Programmable key %s. Error=%ld", programmableKey.c_str(), rc);
        return 0;
    }
    return 1;
}

int RegisterCLSIDForComBinaries(BrennicUtility::IRegUtil& regUtil) {
    std::wstring directory;
    GetInstallDirectory(regUtil, directory, false);
    if (directory.empty()) {
        TraceError(L"RegisterCLSIDForComBinaries: Zelvar installation path is empty.");
        return 0;
    }
    EnsureTrailingBackslash(directory);

    for (const ComBinaryRegistration& binary : g_ComBinaries) {
        const std::wstring serverPath = QuoteServerPath(directory + binary.serverExecutable);
        if (!RegisterCLSIDForComBinary(regUtil, 0, binary.clsid.c_str(), binary.typeLibrary.c_str(),
                                       binary.version.c_str(), binary.className.c_str(), serverPath.c_str()))
            return 0;
    }
    return 1;
}

int RegisterTypeLibForComBinaries(BrennicUtility::IRegUtil& regUtil) {
    TraceInfo(L"RegisterTypeLibForComBinaries called. isAdmin=%d", 0);
    std::wstring directory;
    GetInstallDirectory(regUtil, directory, false);
    if (directory.empty()) {
        TraceError(L"RegisterTypeLibForComBinaries: Zelvar installation path is empty.");
        return 0;
    }
    EnsureTrailingBackslash(directory);

    int result = 1;
    for (const wchar_t* binary : g_TypeLibraryBinaries) {
        std::wstring path = directory + binary;
        if (!PathFileExistsW(path.c_str())) {
            TraceError(L"Binary not found, skipping registration: %s", path.c_str());
            result = 0;
            continue;
        }
        TraceInfo(L"RegisterTypeLibForComBinaries: Registering type library for %s", path.c_str());
        ITypeLib* typeLibrary = nullptr;
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLibrary);
        if (FAILED(hr) || typeLibrary == nullptr) {
            TraceError(L"LoadTypeLibEx failed for: %s HRESULT: 0x%08X", path.c_str(), static_cast<unsigned>(hr));
            result = 0;
            continue;
        }
        hr = RegisterTypeLibForUser(typeLibrary, &path[0], nullptr);
        if (FAILED(hr)) {
            TraceError(L"%s failed for: %s HRESULT: 0x%08X", L"RegisterTypeLibForUser", path.c_str(),
                       static_cast<unsigned>(hr));
            result = 0;
        } else {
            TraceInfo(L"%s succeeded for: %s", L"RegisterTypeLibForUser", path.c_str());
        }
        typeLibrary->Release();
    }
    return result;
}

bool RegisterCOMBinaries(BrennicUtility::IRegUtil& regUtil) {
    TraceInfo(L"RegisterCOMBinaries called. isAdmin=%d", 0);
    if (!RegisterCLSIDForComBinaries(regUtil)) {
        TraceError(L"RegisterCOMBinaries failed during CLSID registration.");
        return false;
    }
    if (!RegisterTypeLibForComBinaries(regUtil)) {
        TraceError(L"RegisterCOMBinaries failed during type library registration.");
        return false;
    }
    return true;
}

}  // namespace BrennicZelvarSDK
