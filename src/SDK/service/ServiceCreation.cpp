#include "service/ServiceCreation.h"

#include "core/ErrorHandling.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

HRESULT CreateZelvarCoClass(ComPtr<IZelvarConnection>& connection) {
    connection.Reset();
    ComPtr<IUnknown> unknown;
    const DWORD allServerKinds = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    HRESULT hr = CoCreateInstance(CLSID_Zelvar, nullptr, allServerKinds, IID_IUnknown, unknown.ReceiveVoid());
    if (FAILED(hr)) return hr;
    hr = OleRun(unknown.Get());
    if (FAILED(hr)) return hr;
    hr = unknown.As(connection);
    if (FAILED(hr)) connection.Reset();
    return hr;
}

void RepairRegistrationAndCreateAgain(HRESULT firstFailure, ComPtr<IZelvarConnection>&) {
    TraceError(L"Failed to create the ZelvarSvrLib::Zelvar CoClass (%s); - perhaps running at high integrity with a "
               L"per-user install?",
               GuidToString().c_str());
    ThrowComError(firstFailure);
}

}  // namespace BrennicZelvarSDK
