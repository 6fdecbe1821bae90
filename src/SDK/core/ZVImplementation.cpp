#include "core/ZVImplementation.h"

#include <cstdlib>

#include "core/CallFrame.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

ZVImplementationV1::ZVImplementationV1()
    : m_requestContextTable("RequestContextTable", "BrennicZelvarSDK::ZVImplementationV1::DestroyRequestContext"),
      m_vpnAuthContextTable("VpnAuthContextTable", "BrennicZelvarSDK::ZVImplementationV1::DestroyVpnAuthContext") {}

ZVImplementationV5::ZVImplementationV5()
    : m_httpRequestTable("ZVHttpRequestTable", "BrennicZelvarSDK::ZVImplementationV5::DestroyZVHttpRequest") {}

void ZVImplementationV1::Reserved() {}

void ZVImplementationV1::DeleteAllDataAndObjects(KeptReferences& released) {
    m_requestContextTable.DeleteAll_NoLock(L"Deleting %u request contexts", released);
    m_vpnAuthContextTable.DeleteAll_NoLock(L"Deleting %u VPN auth contexts", released);
    m_connectionTable.DeleteAll_NoLock(released);
}

void ZVImplementationV5::DeleteAllDataAndObjects(KeptReferences& released) {
    m_httpRequestTable.DeleteAll_NoLock(L"Deleting %u HTTP requests", released);
    ZVImplementationV1::DeleteAllDataAndObjects(released);
}

ZVImplementationV9& GetImplementation() {
    // Never deleted: interface pointers stay valid for the life of the
    // process, and unloading the library must not run its destructor.
    static ZVImplementationV9* const instance = new ZVImplementationV9();
    return *instance;
}

}  // namespace BrennicZelvarSDK

using namespace BrennicZelvarSDK;

namespace {
struct InterfaceEntry {
    const wchar_t* id;
    void* (*get)(ZVImplementationV9&);
};

template <class Interface>
void* InterfaceOf(ZVImplementationV9& impl) {
    return static_cast<Interface*>(&impl);
}

const InterfaceEntry kInterfaces[] = {
    {ZV_IID_V1, InterfaceOf<ZVImplementationV1Interface>}, {ZV_IID_V2, InterfaceOf<ZVImplementationV2Interface>},
    {ZV_IID_V3, InterfaceOf<ZVImplementationV3Interface>}, {ZV_IID_V4, InterfaceOf<ZVImplementationV4Interface>},
    {ZV_IID_V5, InterfaceOf<ZVImplementationV5Interface>}, {ZV_IID_V6, InterfaceOf<ZVImplementationV6Interface>},
    {ZV_IID_V7, InterfaceOf<ZVImplementationV7Interface>}, {ZV_IID_V8, InterfaceOf<ZVImplementationV8Interface>},
    {ZV_IID_V9, InterfaceOf<ZVImplementationV9Interface>},
};
}  // namespace

extern "C" BOOL WINAPI QueryInterface(const wchar_t* interfaceId, void** outInterface) {
    if (!outInterface || !interfaceId) return FALSE;
    *outInterface = nullptr;
    for (const InterfaceEntry& entry : kInterfaces) {
        if (_wcsicmp(interfaceId, entry.id) == 0) {
            *outInterface = entry.get(GetImplementation());
            break;
        }
    }
    return *outInterface != nullptr;
}
