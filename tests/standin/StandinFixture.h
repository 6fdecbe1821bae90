// Shared set-up of the stand-in tests: a multithreaded apartment, the chosen
// host installed, a scenario control with a clean state, and a DIID-only
// event sink like the SDK's.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "support/Scoped.h"

namespace zvtest {

using BrennicZelvarSDK::ComPtr;
using BrennicZelvarSDK::ScopedBstr;
using BrennicZelvarSDK::ScopedSafeArray;

inline const char* HostName(StandinHost host) {
    return host == StandinHost::LocalServer ? "exe" : "inproc";
}

class StandinTest : public ::testing::TestWithParam<StandinHost> {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_comReady = true;
        ASSERT_EQ(S_OK, RegisterStandin(GetParam()));
        control = std::make_unique<StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        ASSERT_EQ(HostName(GetParam()), control->ServerInfo().value("host", std::string()));
    }
    void TearDown() override {
        control.reset();
        if (m_comReady) CoUninitialize();
    }

    ComPtr<IZelvarConnection> NewConnection(const wchar_t* clientId = L"StandinTest:test_standin.exe:1:1") {
        ComPtr<IZelvarConnection> connection;
        EXPECT_EQ(S_OK, CreateZelvarConnection(connection.Receive()));
        if (connection && clientId) {
            ScopedBstr id(SysAllocString(clientId));
            EXPECT_EQ(S_OK, connection->CreateConnection(id.Get()));
        }
        return connection;
    }

    bool IsExe() const { return GetParam() == StandinHost::LocalServer; }

    std::unique_ptr<StandinControl> control;

private:
    bool m_comReady = false;
};

// Names the host in test output instead of its bytes.
inline void PrintTo(StandinHost host, std::ostream* out) {
    *out << HostName(host);
}

inline std::string HostParamName(const ::testing::TestParamInfo<StandinHost>& info) {
    return info.param == StandinHost::LocalServer ? "LocalServer" : "InprocServer";
}

// An event sink that answers only IUnknown and the event DIID and refuses
// IID_IDispatch, as the SDK's sink does.
class DiidOnlySink final : public IDispatch {
public:
    struct Event {
        DISPID dispid;
        WORD flags;
        UINT argCount;
        VARTYPE firstType;  // call order
        VARTYPE secondType;
        ULONG status;
        LONG window;
        DWORD threadId;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, DIID__IZelvarEvents)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(iid, IID_IDispatch)) ++dispatchRequests;
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        Event event{dispid, flags, 0, VT_EMPTY, VT_EMPTY, 0, 0, GetCurrentThreadId()};
        if (params) {
            event.argCount = params->cArgs;
            if (params->cArgs >= 1) event.firstType = params->rgvarg[params->cArgs - 1].vt;
            if (params->cArgs >= 2) event.secondType = params->rgvarg[params->cArgs - 2].vt;
            if (params->cArgs == 2 && event.firstType == VT_UI4 && event.secondType == VT_I4) {
                event.status = params->rgvarg[1].ulVal;
                event.window = params->rgvarg[0].lVal;
            }
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(event);
        return S_OK;
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_events;
    }
    // Waits until at least n events arrived (bounded).
    bool WaitForEvents(size_t n, DWORD timeoutMs = 10000) {
        ULONGLONG end = GetTickCount64() + timeoutMs;
        while (Events().size() < n) {
            if (GetTickCount64() > end) return false;
            Sleep(10);
        }
        return true;
    }

    std::atomic<int> dispatchRequests{0};

private:
    std::atomic<ULONG> m_refs{1};
    std::mutex m_lock;
    std::vector<Event> m_events;
};

}  // namespace zvtest
