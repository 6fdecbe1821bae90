// ZelvarSvr.exe, the local server host of the stand-in service.
//
//   ZelvarSvr.exe -Embedding          started by COM: serve until the last object
//                                     is released, the idle time-out passes, or a
//                                     client asks for a shutdown
//   ZelvarSvr.exe /RegServer          install this exe as the LocalServer32 host
//   ZelvarSvr.exe /RegServerInproc    install ZelvarSvrInproc.dll (same folder) as
//                                     the InprocServer32 host
//   ZelvarSvr.exe /UnregServer        remove every registration of the stand-in
//
// The exit code of a registration switch is its HRESULT (0 on success).
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "ClassFactory.h"
#include "Registration.h"
#include "ScenarioState.h"
#include "ServiceModule.h"
#include "StandinGuids.h"
#include "ZelvarSvrLib.h"

using namespace ZelvarStandin;

namespace {

std::wstring ExePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring Folder(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

bool IsSwitch(const wchar_t* argument, const wchar_t* name) {
    return (argument[0] == L'/' || argument[0] == L'-') && _wcsicmp(argument + 1, name) == 0;
}

HRESULT RunRegistration(const wchar_t* which) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = E_INVALIDARG;
    const std::wstring exe = ExePath();
    if (_wcsicmp(which, L"RegServer") == 0) {
        hr = RegisterLocalServer(exe);
        if (SUCCEEDED(hr)) hr = RegisterForWow64Clients(exe, false);
    } else if (_wcsicmp(which, L"RegServerInproc") == 0) {
        // The DLL registers itself, as regsvr32 would have it do.
        HMODULE dll = LoadLibraryW((Folder(exe) + L"\\ZelvarSvrInproc.dll").c_str());
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto registerServer =
            dll ? reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer"))) : nullptr;
        hr = registerServer ? registerServer() : HRESULT_FROM_WIN32(GetLastError());
        if (dll) FreeLibrary(dll);
        if (SUCCEEDED(hr)) hr = RegisterForWow64Clients(exe, true);
    } else if (_wcsicmp(which, L"UnregServer") == 0) {
        UnregisterForWow64Clients(exe);
        hr = UnregisterAll(exe);
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

// Serves the classes until the module says to stop.
int Serve() {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return init;
    ServiceModule& module = ServiceModule::Instance();
    module.SetHost(HostKind::LocalServer, nullptr);
    ScenarioState::Instance().LoadScenarioFromEnvironment();

    HANDLE lastObjectGone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE shutdownAsked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    module.SetLastObjectHandler([lastObjectGone] { SetEvent(lastObjectGone); });
    module.SetShutdownHandler([shutdownAsked] { SetEvent(shutdownAsked); });

    const CLSID* served[] = {&CLSID_Zelvar, &kClsidScenarioControl};
    std::vector<DWORD> cookies;
    HRESULT hr = S_OK;
    for (const CLSID* clsid : served) {
        IClassFactory* factory = NewClassFactoryFor(*clsid);
        DWORD cookie = 0;
        hr = factory ? CoRegisterClassObject(*clsid, factory, CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie)
                     : E_OUTOFMEMORY;
        if (factory) factory->Release();
        if (FAILED(hr)) break;
        cookies.push_back(cookie);
    }
    if (SUCCEEDED(hr)) hr = CoResumeClassObjects();
    // Tells test harnesses that a local server is running (see tests/common/StandinService.h).
    HANDLE serving = CreateMutexW(nullptr, FALSE, L"ZelvarStandinLocalServer");

    // Wine may keep a reference to an object whose client is gone (a revoked
    // GIT entry of a proxy never releases its server), so besides the last
    // release an idle time-out ends the server: no call for that long and no
    // call held back.
    while (SUCCEEDED(hr)) {
        HANDLE waits[] = {shutdownAsked, lastObjectGone};
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 250);
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 1 && module.LiveObjects() == 0) break;
        if (woke == WAIT_TIMEOUT && ScenarioState::Instance().HeldCount() == 0 &&
            module.MillisecondsSinceActivity() > ScenarioState::Instance().IdleTimeoutMs()) {
            break;
        }
    }

    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    if (serving) CloseHandle(serving);
    module.SetLastObjectHandler(nullptr);
    module.SetShutdownHandler(nullptr);
    const bool clean = module.LiveObjects() == 0;
    // With objects still held by clients, uninitialising COM would wait for
    // them; the process ends instead and the clients see the server gone.
    if (clean) CoUninitialize();
    CloseHandle(lastObjectGone);
    CloseHandle(shutdownAsked);
    return FAILED(hr) ? hr : 0;
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* registration = nullptr;
    for (int i = 1; argv && i < argc; ++i) {
        for (const wchar_t* name : {L"RegServer", L"RegServerInproc", L"UnregServer"}) {
            if (IsSwitch(argv[i], name)) registration = argv[i] + 1;
        }
    }
    int result = 0;
    if (registration) {
        result = static_cast<int>(RunRegistration(registration));
    } else {
        result = Serve();
    }
    LocalFree(argv);
    ExitProcess(static_cast<UINT>(result));
}
