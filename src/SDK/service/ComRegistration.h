// Repair of the service's COM registration for a per-user installation: the
// class registrations of the service's two local servers under the current
// user's classes key and their type libraries registered for the user. Also
// the installation-directory lookup that decides which repair applies.
#pragma once

#include <windows.h>

#include <string>

#include "Utility/RegUtil.h"

namespace BrennicZelvarSDK {

// One local server of the service as it is registered.
struct ComBinaryRegistration {
    std::wstring clsid;
    std::wstring typeLibrary;
    std::wstring version;
    std::wstring className;
    std::wstring serverExecutable;
};

// The service's two CoClasses, in registration order (built when the library loads).
extern const ComBinaryRegistration g_ComBinaries[2];
// The binaries whose type libraries are registered, in order.
extern const wchar_t* const g_TypeLibraryBinaries[3];

extern const wchar_t kInstallLocationKey[];    // under HKLM or HKCU
extern const wchar_t kInstallLocationValue[];  // "InstallLocation"

// The installation directory: "InstallLocation" with a backslash ensured,
// then "Zelvar"; empty when the value is missing, unreadable or empty.
// machine chooses HKEY_LOCAL_MACHINE over HKEY_CURRENT_USER.
void GetInstallDirectory(BrennicUtility::IRegUtil& regUtil, std::wstring& directory, bool machine);

// A server path in double quotes, unless it already holds a double quote.
std::wstring QuoteServerPath(const std::wstring& path);

// Both CoClasses under HKCU\Software\Classes\CLSID; non-zero on success.
int RegisterCLSIDForComBinaries(BrennicUtility::IRegUtil& regUtil);
// The five keys of one class; 1 on success, 0 at the first failed write.
// isAdmin only appears in the trace.
int RegisterCLSIDForComBinary(BrennicUtility::IRegUtil& regUtil, int isAdmin, const wchar_t* clsid,
                              const wchar_t* typeLibrary, const wchar_t* version, const wchar_t* className,
                              const wchar_t* serverPath);
// The type libraries of all three binaries for the current user; non-zero
// only when all three were registered.
int RegisterTypeLibForComBinaries(BrennicUtility::IRegUtil& regUtil);

// The whole per-user repair: class registrations, then (only if they
// succeeded) type libraries. Traces "RegisterCOMBinaries called. isAdmin=0"
// and the failure trace of the step that failed; true when both succeeded.
// What follows a failure ("Failed to register COM binaries for per-user
// installation", the COM error) and a success (the pause, the second
// creation) is the caller's.
bool RegisterCOMBinaries(BrennicUtility::IRegUtil& regUtil);

}  // namespace BrennicZelvarSDK
