// What the service objects share: the scenario state, the outputs a scenario
// can script (string arrays, byte and certificate blocks), the service's
// error information, and QueryInterface of a one-interface service object.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "ScenarioState.h"
#include "TextConvert.h"
#include "ZelvarSvrLib.h"

namespace ZelvarStandin {

ScenarioState& State();

Json GatewayToJson(const ZelvarGatewayInfo* gateway);

// A string-array output: the scenario's form when named, else the fallback
// (only when the call succeeds).
HRESULT StringArrayOutput(const CallOutcome& call, const char* name, const Json& fallback, SAFEARRAY** out);
// A byte-block output: the scenario's form when named (null, a wrongly typed
// array, a certificate block or any byte block), else the fallback.
HRESULT ByteBlockOutput(const CallOutcome& call, const char* name, SAFEARRAY** out, const std::vector<BYTE>& fallback);
// The block of the self-signed default certificate.
std::vector<BYTE> DefaultCertificateBlock();
// The call's HRESULT, or the failure of building an output.
HRESULT Finish(const CallOutcome& call, HRESULT outputResult);
// Sets the error information the scenario names ("errorDescription") for a
// failing call, so that clients can read the service's message.
HRESULT WithErrorInfo(const CallOutcome& call, HRESULT hr, REFIID iid);

class SupportsErrorInfo : public ISupportErrorInfo {
public:
    explicit SupportsErrorInfo(REFIID iid) : m_iid(iid) {}
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, m_iid) ? S_OK : S_FALSE;
    }

private:
    IID m_iid;
};

// QueryInterface of a service object that answers its one service interface
// (also as IUnknown) and ISupportErrorInfo.
template <class Interface, class Object>
HRESULT QueryServiceObject(Object* object, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
        *out = static_cast<Interface*>(object);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
        *out = static_cast<ISupportErrorInfo*>(object);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    object->AddRef();
    return S_OK;
}

}  // namespace ZelvarStandin
