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

}  // namespace ZelvarStandin
