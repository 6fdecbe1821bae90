#include "service/ServiceCreation.h"

#include "Utility/RegUtil.h"
#include "core/ErrorHandling.h"
#include "service/ComRegistration.h"
#include "service/UpdaterServiceCommunication.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

namespace {
// After a per-user registration, give the system time to see the new keys
// before the class is created again.
const DWORD kPauseAfterPerUserRepairMs = 5000;
}  // namespace

HRESULT CreateZelvarCoClass(ComPtr<IZelvarConnection>& connection) {
    connection.Reset();
    ComPtr<IUnknown> unknown;
    const DWORD allServerKinds =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    HRESULT hr = CoCreateInstance(CLSID_Zelvar, nullptr, allServerKinds, IID_IUnknown, unknown.ReceiveVoid());
    if (FAILED(hr)) return hr;
    hr = OleRun(unknown.Get());
    if (FAILED(hr)) return hr;
    hr = unknown.As(connection);
    if (FAILED(hr)) connection.Reset();
    return hr;
}

void RepairRegistrationAndCreateAgain(HRESULT firstFailure, ComPtr<IZelvarConnection>& connection) {
    const std::wstring clsidText = GuidToString();
    TraceError(
        L"Failed to create the ZelvarSvrLib::Zelvar CoClass (%s); - perhaps running at high integrity with a "
        L"per-user install?",
        clsidText.c_str());
    {
        // The machine-wide installation only chooses the repair: without one
        // the service was installed for this user, and the SDK registers it
        // for the user itself; with one, only the updater service may.
        BrennicUtility::RegUtil regUtil;
        std::wstring machineDirectory;
        GetInstallDirectory(regUtil, machineDirectory, true);
        if (machineDirectory.empty()) {
            if (!RegisterCOMBinaries(regUtil)) {
                TraceError(L"Failed to register COM binaries for per-user installation");
                ThrowComError(firstFailure);
            }
            Sleep(kPauseAfterPerUserRepairMs);
        } else {
            UpdaterServiceCommunication updater;
            if (!updater.CommunicateToUpdaterService()) {
                TraceError(L"Failed to communicate with the updater service to repair COM registration");
                ThrowComError(firstFailure);
            }
        }
    }
    HRESULT hr = CreateZelvarCoClass(connection);
    if (FAILED(hr)) {
        TraceError(L"Failed to create the ZelvarSvrLib::Zelvar CoClass after COM re-registration (%s); HRESULT=0x%08X",
                   clsidText.c_str(), static_cast<unsigned>(hr));
        ThrowComError(hr);
    }
}

}  // namespace BrennicZelvarSDK
