#include "service/StatusChangeEventSink.h"

#include "sync/Globals.h"
#include "support/Trace.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

namespace {
const DISPID kStatusChangeDispId = 1;
}

STDMETHODIMP StatusChangeEventSink::Invoke(DISPID dispId, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                           EXCEPINFO*, UINT*) {
    if (dispId != kStatusChangeDispId || flags != DISPATCH_METHOD) return DISP_E_MEMBERNOTFOUND;
    // Positional arguments arrive last-first: rgvarg[1] is the status,
    // rgvarg[0] the window. No coercion is tried.
    if (!params || params->cArgs != 2 || !params->rgvarg || V_VT(&params->rgvarg[1]) != VT_UI4 ||
        V_VT(&params->rgvarg[0]) != VT_I4) {
        return DISP_E_PARAMNOTFOUND;
    }
    HandleStatusChange(V_UI4(&params->rgvarg[1]), V_I4(&params->rgvarg[0]));
    return S_OK;
}

void StatusChangeEventSink::HandleStatusChange(unsigned int status, int window) {
    SharedLockHold sinkHold(m_sinkLock);
    if (status == 1 && window != 0) {
        // Status 1 comes with the service's pop-up; bring it to the front
        // even when the connection is gone or the SDK is shut down.
        HWND popup = reinterpret_cast<HWND>(static_cast<INT_PTR>(window));
        if (!SetForegroundWindow(popup)) {
            TraceWarning(L"Failed to set foreground window focus to pop up window with handle 0x%x", window);
        }
    }
    if (m_target.empty()) return;
    // Under g_DataLock so that no worker is queued once Uninitialize has
    // cleared the initialised flag; the callback pool exists whenever it is set.
    ExclusiveLockHold dataHold(g_DataLock);
    if (!g_IsInitialized) return;
    try {
        FindThreadPool(kCallbackPoolName)
            ->QueueWork(WorkerPtr(new StatusChangeEventSinkWorker(m_connectionHandle, m_target, status, window)));
    } catch (...) {
        // A COM thread must not see a C++ exception; the event is lost.
        TraceError(L"StatusChangeEventSink: failed to queue the status change for handle %u", m_connectionHandle);
    }
}

unsigned int StatusChangeEventSinkWorker::Execute() {
    try {
        m_target(m_handle, m_status, m_window);
    } catch (...) {
    }
    return 0;
}

}  // namespace BrennicZelvarSDK
