// Helpers shared by the test programs: loading the built SDK through its real
// export, reading trace files, and setting registry values in the private prefix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "interface/ZelvarSDK.h"

namespace zvtest {

// Folder of the running test program (where the build puts every binary).
std::wstring ExeDirectory();

// Loads bin/ZelvarSDK.dll once per process and returns its QueryInterface export.
::ZVQueryInterfaceFn LoadSdkQueryInterface();

template <class T>
T* GetSdkInterface(const wchar_t* iid) {
    void* out = nullptr;
    if (!LoadSdkQueryInterface()(iid, &out)) return nullptr;
    return static_cast<T*>(out);
}

// Registry helpers; each returns the Win32 error code.
LONG SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value);
LONG DeleteRegValue(HKEY root, const std::wstring& key, const std::wstring& name);
LONG DeleteRegTree(HKEY root, const std::wstring& key);

// Whole file as bytes (empty when it cannot be read).
std::string ReadFileBytes(const std::wstring& path);

}  // namespace zvtest
