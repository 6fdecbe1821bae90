#include "core/ErrorHandling.h"

#include <exception>
#include <new>
#include <typeinfo>

#include "support/Trace.h"
#include "threading/Worker.h"

namespace BrennicZelvarSDK {

ZVResult HResultToZVResult(HRESULT hr) {
    if (hr >= 0) return ZV_SUCCESS;
    const unsigned int u = static_cast<unsigned int>(hr);
    if ((u & 0x1FFF0000u) == 0x00040000u) {
        // The service's own range: two named codes, then the formula that
        // maps service code 0x200 + k to 0xFFFF - k.
        if (u == 0x80040154u) return ZV_ERROR_SERVICE_UNAVAILABLE;
        if (u == 0x80040200u) return ZV_ERROR_SERVICE_CODE_200;
        if (u == 0x80040201u) return ZV_ERROR_SERVICE_CODE_201;
        const unsigned int code = u & 0xFFFFu;
        if (code >= 0x200u) return (code - 0x200u) ^ 0xFFFFu;
        return ZV_ERROR_FAILED;
    }
    if (u >= 0x800706A4u && u <= 0x800707CFu) return ZV_ERROR_SERVICE_UNAVAILABLE;  // RPC errors 1700..1999
    switch (u) {
        case 0x80004004u:
            return ZV_ERROR_CANCELLED;  // E_ABORT
        case 0x80004005u:
            return ZV_ERROR_FAILED;  // E_FAIL
        case 0x80070006u:
            return ZV_ERROR_INVALID_HANDLE;  // E_HANDLE
        case 0x8007000Eu:
            return ZV_ERROR_OUT_OF_MEMORY;  // E_OUTOFMEMORY
        case 0x80070057u:
            return ZV_ERROR_INVALID_PARAMETER;  // E_INVALIDARG
        default:
            return ZV_ERROR_FAILED;
    }
}

ZVResult HandleApiException(const char* qualifiedName) {
    try {
        throw;
    } catch (const ThreadPoolInvocationException&) {
        TraceError(L"%S: caught ThreadPoolInvocationException", qualifiedName);
        return ZV_ERROR_FAILED;
    } catch (const std::exception& e) {
        // The runtime's own out-of-memory text differs between C++ runtimes;
        // traces carry one text. Exceptions with a message of their own
        // (derived classes) keep it.
        const char* what = typeid(e) == typeid(std::bad_alloc) ? "bad allocation" : e.what();
        TraceError(L"%S: caught unexpected std::exception; what=%S", qualifiedName, what ? what : "");
        return ZV_ERROR_FAILED;
    } catch (const _com_error& e) {
        TraceError(L"%S: caught COM error %u", qualifiedName, static_cast<unsigned int>(e.Error()));
        return HResultToZVResult(e.Error());
    } catch (...) {
        TraceError(L"%S: caught an unclassified exception", qualifiedName);
        return ZV_ERROR_FAILED;
    }
}

}  // namespace BrennicZelvarSDK
