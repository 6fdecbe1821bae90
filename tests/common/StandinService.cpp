#include "common/StandinService.h"

#include <objbase.h>
#include <ole2.h>

#include "common/TestSupport.h"

#include <gtest/gtest.h>

namespace zvtest {

const CLSID kClsidStandinScenarioControl = {
    0xb4798cf4, 0xcd00, 0x4eba, {0x93, 0xb6, 0x6d, 0x42, 0x59, 0xe4, 0xd4, 0x22}};

namespace {

HRESULT RunStandinTool(const std::wstring& switchText) {
    return static_cast<HRESULT>(RunProcess(L"\"" + ExeDirectory() + L"\\ZelvarSvr.exe\" " + switchText));
}

// Failures that an exe host gives while it is ending and its class objects
// are not yet revoked; a new activation then starts a new server.
bool IsServerEnding(HRESULT hr) {
    return hr == RPC_E_DISCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == CO_E_SERVER_EXEC_FAILURE ||
           hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE;
}

constexpr int kCreationAttempts = 20;
constexpr DWORD kCreationRetryMs = 250;

}  // namespace

HRESULT RegisterStandin(StandinHost host) {
    return RunStandinTool(host == StandinHost::LocalServer ? L"/RegServer" : L"/RegServerInproc");
}

std::unique_ptr<StandinControl> StartStandin(StandinHost host) {
    EXPECT_EQ(S_OK, RegisterStandin(host));
    auto control = std::make_unique<StandinControl>();
    EXPECT_TRUE(*control) << std::hex << control->CreationResult();
    if (!*control || !control->Reset()) return nullptr;
    return control;
}

HRESULT UnregisterStandin() {
    return RunStandinTool(L"/UnregServer");
}

HRESULT CreateZelvarConnection(IZelvarConnection** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kCreationAttempts; ++attempt) {
        IUnknown* unknown = nullptr;
        hr = CoCreateInstance(CLSID_Zelvar, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(&unknown));
        if (SUCCEEDED(hr)) hr = OleRun(unknown);
        if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IZelvarConnection, reinterpret_cast<void**>(out));
        if (unknown) unknown->Release();
        if (!IsServerEnding(hr)) return hr;
        Sleep(kCreationRetryMs);
    }
    return hr;
}

bool WaitForProcessExit(DWORD processId, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process) return true;
    bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool StopStandinServer(DWORD timeoutMs) {
    // The exe host holds this named mutex while it serves; without it there is
    // nothing to stop, and creating the control would start a server.
    HANDLE serving = OpenMutexW(SYNCHRONIZE, FALSE, L"ZelvarStandinLocalServer");
    if (!serving) return true;
    CloseHandle(serving);
    StandinControl running;
    if (!running) return true;
    Json info = running.ServerInfo();
    if (info.value("host", std::string()) != "exe") return true;
    DWORD processId = info.value("processId", 0u);
    running.Shutdown();
    running.Release();
    return WaitForProcessExit(processId, timeoutMs);
}

StandinControl::StandinControl() {
    for (int attempt = 0; attempt < kCreationAttempts; ++attempt) {
        m_creation = CoCreateInstance(kClsidStandinScenarioControl, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IID_IDispatch, reinterpret_cast<void**>(&m_control));
        if (SUCCEEDED(m_creation)) {
            // A server that is ending may still hand out the object.
            Json info = ServerInfo();
            if (info.contains("processId")) break;
            Release();
            m_creation = m_last;
        }
        // Wine answers "class not registered" too when every way of creating
        // the class failed, which is what a server that is just ending gives.
        if (!IsServerEnding(m_creation) && m_creation != REGDB_E_CLASSNOTREG) break;
        Sleep(kCreationRetryMs);
    }
    m_last = m_creation;
}

StandinControl::~StandinControl() {
    Release();
}

void StandinControl::Release() {
    if (m_control) m_control->Release();
    m_control = nullptr;
}

Json StandinControl::Invoke(const wchar_t* method, const std::string& argument) {
    auto failure = [this](HRESULT hr) {
        m_last = hr;
        char text[16];
        snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
        return Json{{"ok", false}, {"hr", text}};
    };
    if (!m_control) return failure(E_POINTER);
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(method);
    HRESULT hr = m_control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return failure(hr);
    std::wstring wide(argument.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    VARIANT arg, result;
    VariantInit(&result);
    arg.vt = VT_BSTR;
    arg.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    DISPPARAMS params{&arg, nullptr, 1, 0};
    hr = m_control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    VariantClear(&arg);
    if (FAILED(hr)) return failure(hr);
    m_last = S_OK;
    const std::string reply = result.vt == VT_BSTR && result.bstrVal
                                  ? Utf8(std::wstring(result.bstrVal, SysStringLen(result.bstrVal)))
                                  : std::string();
    VariantClear(&result);
    Json parsed = Json::parse(reply, nullptr, false);
    return parsed.is_discarded() ? Json{{"ok", false}, {"error", "reply is not JSON"}} : parsed;
}

}  // namespace zvtest
