#include "core/ModuleReference.h"

#include <windows.h>

namespace BrennicZelvarSDK {

namespace {
HMODULE g_OwnModuleReference ZV_GUARDED_BY(g_InitLock) = nullptr;
}

void HoldOwnModule() {
    if (g_OwnModuleReference) return;
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HoldOwnModule), &module))
        g_OwnModuleReference = module;
}

void ReleaseOwnModule() {
    HMODULE module = g_OwnModuleReference;
    g_OwnModuleReference = nullptr;
    if (module) FreeLibrary(module);
}

}  // namespace BrennicZelvarSDK
