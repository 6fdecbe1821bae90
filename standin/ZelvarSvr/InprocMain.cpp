// ZelvarSvrInproc.dll, the in-process host of the stand-in service
// (InprocServer32, ThreadingModel Both). Records, record arrays, the GIT and
// revocation then behave as on Windows, which Wine's cross-process marshalling
// does not offer for every case.
#include <windows.h>
#include <objbase.h>

#include <mutex>

#include "ClassFactory.h"
#include "Registration.h"
#include "ScenarioState.h"
#include "ServiceModule.h"

using namespace ZelvarStandin;

namespace {
HMODULE g_module = nullptr;

std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    return path;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        ServiceModule::Instance().SetHost(HostKind::InprocServer, instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    static std::once_flag scenarioLoaded;
    std::call_once(scenarioLoaded, [] { ScenarioState::Instance().LoadScenarioFromEnvironment(); });
    IClassFactory* factory = NewClassFactoryFor(clsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return ServiceModule::Instance().LiveObjects() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return RegisterInprocServer(ModulePath());
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return UnregisterAll(ModulePath());
}
