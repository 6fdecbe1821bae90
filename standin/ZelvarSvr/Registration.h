// Installs and removes the stand-in in the current prefix as an installer
// would: machine-wide (HKLM\Software\Classes; Wine does not merge per-user
// classes into HKCR), the classes of the chosen host, the service's type
// library and the event proxy/stub ZelvarSvrPS.dll from the same folder.
#pragma once

#include <windows.h>

#include <string>

namespace ZelvarStandin {

// Zelvar class and scenario control as LocalServer32 of the exe; any in-process
// registration of them is removed.
HRESULT RegisterLocalServer(const std::wstring& exePath);
// The same classes as InprocServer32 (ThreadingModel Both) of the DLL; any
// LocalServer32 registration of them is removed.
HRESULT RegisterInprocServer(const std::wstring& dllPath);
// Removes both classes, the ProgID, the type library and the proxy/stub.
HRESULT UnregisterAll(const std::wstring& anyModulePath);

// For 32-bit clients of the 64-bit service, when the service's folder has an
// x86 subfolder: its event proxy/stub (which also registers the 32-bit type
// library) for the local server, or its 32-bit in-process host, registered by
// the 32-bit regsvr32 into the 32-bit registry view. S_OK without the module.
HRESULT RegisterForWow64Clients(const std::wstring& exePath, bool inproc);
// Removes what the 32-bit in-process host's registration covers in the 32-bit
// view (classes, type library, proxy/stub).
void UnregisterForWow64Clients(const std::wstring& exePath);

}  // namespace ZelvarStandin
