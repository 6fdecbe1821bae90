// The call frame that every API operation runs. An operation supplies only
// its own logic as a callable; the frame refuses calls from the callback
// thread, joins the multithreaded apartment for the call, enters the API gate
// as a reader, checks that the SDK is initialised, and turns every exception
// into a ZVResult. Scope objects (apartment, gate hold, COM pointers in the
// operation's body) are released on every way out before the result is made.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <optional>

#include "core/ErrorHandling.h"
#include "sync/Globals.h"
#include "sync/SharedExclusiveLock.h"
#include "interface/ZVTypes.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

// Joins the multithreaded apartment for a scope. A thread that is already in
// another apartment (RPC_E_CHANGED_MODE) is used as it is and not left.
class CScopedComInitializer {
public:
    CScopedComInitializer() {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (hr >= 0) {
            m_mustUninitialize = true;
        } else if (hr != RPC_E_CHANGED_MODE) {
            TraceError(L"CScopedComInitializer - COM initialization failed with error %u", static_cast<unsigned>(hr));
            ThrowComError(hr);
        }
    }
    ~CScopedComInitializer() {
        if (m_mustUninitialize) CoUninitialize();
    }
    CScopedComInitializer(const CScopedComInitializer&) = delete;
    CScopedComInitializer& operator=(const CScopedComInitializer&) = delete;

private:
    bool m_mustUninitialize = false;
};

// Whether an operation joins the apartment on the calling thread. The
// operations whose service work runs on a pool thread do not.
enum class Apartment { Join, Skip };

// What an operation's body sees of the frame.
class ApiCall {
public:
    ApiCall(const char* name, SharedLockHold& gate) : m_name(name), m_gate(gate) {}
    const char* Name() const { return m_name; }
    // Leaves the gate early, before a long service call, so that
    // Uninitialize is not held up by it. The hold belongs to the frame, whose
    // scope the analysis follows; a release through this reference from
    // inside the operation's body is one it cannot pair with that hold.
    void LeaveGate() ZV_NO_THREAD_SAFETY_ANALYSIS { m_gate.Release(); }
    // An argument check failed: traces the operation's own message and
    // returns ZV_ERROR_INVALID_PARAMETER.
    template <class... Args>
    ZVResult InvalidParameter(const wchar_t* format, Args... args) const {
        TraceError(format, args...);
        return ZV_ERROR_INVALID_PARAMETER;
    }

private:
    const char* m_name;
    SharedLockHold& m_gate;
};

// The re-entrancy refusal: a call from the callback thread could wait for the
// very thread it runs on.
inline void RefuseReentrantCall(const char* name) {
    if (IsReentrantCall()) {
        TraceError(L"%S: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", name);
        ThrowComError(E_FAIL);
    }
}

// What an operation adds to the trace after a failure has been mapped; by
// default nothing.
struct NoFailureReport {
    void operator()(ZVResult) const {}
};

template <class Body, class FailureReport = NoFailureReport>
ZVResult RunApiCall(const char* name, Apartment apartment, Body&& body,
                    FailureReport report = FailureReport()) noexcept {
    try {
        RefuseReentrantCall(name);
        std::optional<CScopedComInitializer> com;  // the apartment
        if (apartment == Apartment::Join) com.emplace();
        SharedLockHold gate(g_ApiGate);  // the gate
        if (!IsInitialized()) {
            TraceError(L"%S failed because SDK implementation dll is not initialized!", name);
            return ZV_ERROR_NOT_INITIALIZED;
        }
        ApiCall call(name, gate);
        return body(call);  // checks, look-ups, service call, outputs
    } catch (...) {
        const ZVResult result = HandleApiException(name);
        report(result);
        return result;
    }
}

// The frame of an operation that checks its arguments before the gate and
// before the initialised check (ReadResponseBodyStream): `early` runs after
// joining the apartment and ends the call when it returns a result.
template <class Early, class Body>
ZVResult RunApiCallCheckingFirst(const char* name, Early&& early, Body&& body) noexcept {
    try {
        RefuseReentrantCall(name);
        CScopedComInitializer com;
        if (std::optional<ZVResult> done = early()) return *done;
        SharedLockHold gate(g_ApiGate);
        if (!IsInitialized()) {
            TraceError(L"%S failed because SDK implementation dll is not initialized!", name);
            return ZV_ERROR_NOT_INITIALIZED;
        }
        ApiCall call(name, gate);
        return body(call);
    } catch (...) {
        return HandleApiException(name);
    }
}

}  // namespace BrennicZelvarSDK
