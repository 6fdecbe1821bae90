// HTTP requests that the service performs for the application. The SDK keeps
// no state of a request: every setting and the whole response live in the
// service's request object, held in the Global Interface Table behind a
// handle of the HTTP request table.
#include <cstring>
#include <string>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

#define ZV_V5_NAME(op) "BrennicZelvarSDK::ZVImplementationV5::" #op

namespace {

const wchar_t kNullArgument[] = L"%S: failed because %S is NULL!";
const wchar_t kHeadersLockFailure[] =
    L"GetResponseHeaders failed to Attach CComSafeArray (Take ownership of the auth response header strings.)";
// Within one call, the service is asked again only while this much room is left.
const unsigned int kMinimumRoomToAskAgain = 8192;

// The text as the trace's narrow-string format reads it back, a byte for the
// character of the same value: ISO 8859-1, in which a character beyond U+00FF
// becomes '?'. Empty when it cannot be made; the trace never fails the call.
std::string NarrowedForTrace(const ZVChar* text) noexcept {
    const UINT latin1 = 28591;
    try {
        const int size = WideCharToMultiByte(latin1, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, "?", nullptr);
        if (size <= 1) return std::string();
        std::string narrow(static_cast<size_t>(size), '\0');
        if (WideCharToMultiByte(latin1, WC_NO_BEST_FIT_CHARS, text, -1, &narrow[0], size, "?", nullptr) != size)
            return std::string();
        narrow.resize(static_cast<size_t>(size) - 1);
        return narrow;
    } catch (...) {
        return std::string();
    }
}

typedef HRESULT (STDMETHODCALLTYPE IZelvarHttpRequest::*StringSetter)(BSTR);
typedef HRESULT (STDMETHODCALLTYPE IZelvarHttpRequest::*ValueSetter)(UINT);
typedef HRESULT (STDMETHODCALLTYPE IZelvarHttpRequest::*NumberGetter)(UINT*);

// A setter that hands the service one string: the NULL check (unless the
// string may be null), the copy before the look-up, the call.
ZVResult ForwardString(const char* name, const char* argument, bool mayBeNull, HttpRequestTable& table,
                       unsigned int handle, const ZVChar* text, StringSetter setter) {
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        if (!text && !mayBeNull) return call.InvalidParameter(kNullArgument, name, argument);
        ScopedBstr copy = CopyInputString(text);
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(table, handle);
        ThrowIfServiceFailed((request.operator->()->*setter)(copy.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ForwardValue(const char* name, HttpRequestTable& table, unsigned int handle, unsigned int value,
                      ValueSetter setter) {
    return RunApiCall(name, Apartment::Join, [&](ApiCall&) {
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(table, handle);
        ThrowIfServiceFailed((request.operator->()->*setter)(value));
        return ZV_SUCCESS;
    });
}

// A getter of one number: the NULL check, the out-parameter cleared, the call,
// and the success trace (handle and number) when there is one.
ZVResult GetNumber(const char* name, const char* argument, HttpRequestTable& table, unsigned int handle,
                   unsigned int* out, NumberGetter getter, const wchar_t* successTrace) {
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        if (!out) return call.InvalidParameter(kNullArgument, name, argument);
        *out = 0;
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(table, handle);
        UINT value = 0;
        ThrowIfServiceFailed((request.operator->()->*getter)(&value));
        *out = value;
        if (successTrace) TraceInfo(successTrace, handle, value);
        return ZV_SUCCESS;
    });
}

// The body as the service takes it: an empty byte array grown to the size and
// filled. If it cannot be made or grown the service gets a null or empty one.
SAFEARRAY* BodyArray(const unsigned char* bytes, unsigned int count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 0);
    if (!array) return nullptr;
    SAFEARRAYBOUND bound{count, 0};
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayRedim(array, &bound)) && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::memcpy(data, bytes, count);
        SafeArrayUnaccessData(array);
    }
    return array;
}

}  // namespace

ZVResult ZVImplementationV5::CreateZVHttpRequest(unsigned int connectionHandle, unsigned int* outHttpHandle) {
    return RunApiCall(ZV_V5_NAME(CreateZVHttpRequest), Apartment::Skip, [&](ApiCall& call) {
        if (!outHttpHandle) return call.InvalidParameter(kNullArgument, call.Name(), "outHttpHandle");
        *outHttpHandle = 0;
        const unsigned int handle = DrawHandle();
        CreateOnCreatorPool(call.Name(),
                            [this, connectionHandle, handle]() { return AddZVHttpHandle(connectionHandle, handle); });
        *outHttpHandle = handle;
        TraceInfo(L"CreateZVHttpRequest created request with handle %u", handle);
        return ZV_SUCCESS;
    });
}

HRESULT ZVImplementationV5::AddZVHttpHandle(unsigned int connectionHandle, unsigned int handle) {
    return RunCreationWorkItem(
        L"AddZVHttpHandle Caught unexpected COM error %u - Bad COM registration perhaps?", [&]() {
            ComPtr<IZelvarHttpRequest> request;
            {
                PlainPtr<IZelvarConnection> connection =
                    LookUpConnectionAs(m_connectionTable, connectionHandle, ZV_V5_NAME(AddZVHttpHandle));
                ThrowIfServiceFailed(connection->CreateZVHttpRequest(request.Receive()));
            }
            m_httpRequestTable.Set_ExclusiveLock_Throws(handle, request.Get(), ZV_V5_NAME(AddZVHttpHandle));
        });
}

ZVResult ZVImplementationV5::AddRequestHeader(unsigned int handle, const ZVChar* header) {
    return ForwardString(ZV_V5_NAME(AddRequestHeader), "header", false, m_httpRequestTable, handle, header,
                         &IZelvarHttpRequest::AddRequestHeader);
}
ZVResult ZVImplementationV5::SetRequestMethod(unsigned int handle, const ZVChar* method) {
    return ForwardString(ZV_V5_NAME(SetRequestMethod), "method", false, m_httpRequestTable, handle, method,
                         &IZelvarHttpRequest::SetRequestMethod);
}
ZVResult ZVImplementationV5::SetRequestUrl(unsigned int handle, const ZVChar* url) {
    return ForwardString(ZV_V5_NAME(SetRequestUrl), "url", false, m_httpRequestTable, handle, url,
                         &IZelvarHttpRequest::SetRequestUrl);
}
ZVResult ZVImplementationV5::SetRequestReferenceUrl(unsigned int handle, const ZVChar* referenceUrl) {
    return ForwardString(ZV_V5_NAME(SetRequestReferenceUrl), "referenceUrl", true, m_httpRequestTable, handle,
                         referenceUrl, &IZelvarHttpRequest::SetRequestReferenceUrl);
}
ZVResult ZVImplementationV5::SetRequestUserAgentSuffix(unsigned int handle, const ZVChar* userAgentSuffix) {
    return ForwardString(ZV_V5_NAME(SetRequestUserAgentSuffix), "UserAgentSuffix", false, m_httpRequestTable, handle,
                         userAgentSuffix, &IZelvarHttpRequest::SetRequestUserAgentSuffix);
}
ZVResult ZVImplementationV5::SetRequestAuthenticationFlags(unsigned int handle, unsigned int flags) {
    return ForwardValue(ZV_V5_NAME(SetRequestAuthenticationFlags), m_httpRequestTable, handle, flags,
                        &IZelvarHttpRequest::SetRequestAuthenticationFlags);
}
ZVResult ZVImplementationV5::SetRequestTimeoutSeconds(unsigned int handle, unsigned int seconds) {
    return ForwardValue(ZV_V5_NAME(SetRequestTimeoutSeconds), m_httpRequestTable, handle, seconds,
                        &IZelvarHttpRequest::SetRequestTimeoutSeconds);
}

ZVResult ZVImplementationV5::SetRequestData(unsigned int handle, const unsigned char* pBufferToSend,
                                            unsigned int numberOfBytes) {
    return RunApiCall(ZV_V5_NAME(SetRequestData), Apartment::Join, [&](ApiCall& call) {
        if (!pBufferToSend && numberOfBytes != 0) {
            return call.InvalidParameter(
                L"SetRequestData: failed because pBufferToSend is NULL and a non-zero number of bytes were "
                L"specified!");
        }
        ScopedSafeArray body(pBufferToSend && numberOfBytes != 0 ? BodyArray(pBufferToSend, numberOfBytes) : nullptr);
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
        ThrowIfServiceFailed(request->SetRequestData(body.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV5::SetRequestRoute(unsigned int handle, const _ZV_GATEWAY_INFO* gatewayInfo) {
    return RunApiCall(ZV_V5_NAME(SetRequestRoute), Apartment::Join, [&](ApiCall& call) {
        if (!gatewayInfo) return call.InvalidParameter(kNullArgument, call.Name(), "gatewayInfo");
        ServiceGatewayRecord record(*gatewayInfo);
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
        ThrowIfServiceFailed(request->SetRequestRoute(record.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV5::SendRequestAndReceiveResponse(unsigned int handle) {
    // Every failure, the re-entrancy refusal and the apartment's included, is
    // traced once more with its mapped result.
    return RunApiCall(
        ZV_V5_NAME(SendRequestAndReceiveResponse), Apartment::Join,
        [&](ApiCall& call) {
            UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
            // The request takes as long as the network does; Uninitialize is
            // not held up by it.
            call.LeaveGate();
            ThrowIfServiceFailed(request->SendRequestAndReceiveResponse());
            TraceInfo(L"SendAndReceive completed for handle %u", handle);
            return ZV_SUCCESS;
        },
        [handle](ZVResult result) {
            TraceInfo(L"SendAndReceive completed for handle %u with ZVResult %d", handle, static_cast<int>(result));
        });
}

ZVResult ZVImplementationV5::GetResponseStatusCode(unsigned int handle, unsigned int* httpStatusCode) {
    return GetNumber(ZV_V5_NAME(GetResponseStatusCode), "httpStatusCode", m_httpRequestTable, handle, httpStatusCode,
                     &IZelvarHttpRequest::GetResponseStatusCode,
                     L"GetResponseStatusCode completed for handle %u with result %u");
}

ZVResult ZVImplementationV5::GetResponseReasonPhrase(unsigned int handle, ZVChar** outReasonPhrase) {
    return RunApiCall(ZV_V5_NAME(GetResponseReasonPhrase), Apartment::Join, [&](ApiCall& call) {
        if (!outReasonPhrase) return call.InvalidParameter(kNullArgument, call.Name(), "outReasonPhrase");
        *outReasonPhrase = nullptr;
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
        ScopedBstr phrase;
        ThrowIfServiceFailed(request->GetResponseReasonPhrase(phrase.Receive()));
        *outReasonPhrase = BSTRToZVChar(phrase.Get());
        if (g_TracingEnabled)
            TraceInfo(L"GetResponseReasonPhrase completed for handle %u with result %S", handle,
                      NarrowedForTrace(*outReasonPhrase).c_str());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV5::GetResponseHeaders(unsigned int handle, ZVChar*** headers) {
    return RunApiCall(ZV_V5_NAME(GetResponseHeaders), Apartment::Join, [&](ApiCall& call) {
        if (!headers) return call.InvalidParameter(kNullArgument, call.Name(), "headers");
        *headers = nullptr;
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
        ServiceSafeArray returned;
        ThrowIfServiceFailed(request->GetResponseHeaders(returned.Receive()));
        returned.TakeOwnership(VT_BSTR, kHeadersLockFailure);
        *headers = BSTRSafeArrayToZVChar(returned.Get());
        TraceInfo(L"GetResponseHeaders completed for handle %u", handle);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV5::GetResponseTrustFailureFlags(unsigned int handle, unsigned int* outTrustFailureFlags) {
    return GetNumber(ZV_V5_NAME(GetResponseTrustFailureFlags), "outTrustFailureFlags", m_httpRequestTable, handle,
                     outTrustFailureFlags, &IZelvarHttpRequest::GetResponseTrustFailureFlags, nullptr);
}

ZVResult ZVImplementationV5::ReadResponseBodyStream(unsigned int handle, unsigned char* pBuffer,
                                                    unsigned int bufferSize, unsigned int* pActualNumberOfBytesRead) {
    const char* name = ZV_V5_NAME(ReadResponseBodyStream);
    auto checks = [&]() -> std::optional<ZVResult> {
        if (!pBuffer) {
            TraceError(kNullArgument, name, "pBuffer");
            return ZV_ERROR_INVALID_PARAMETER;
        }
        if (!pActualNumberOfBytesRead) {
            TraceError(kNullArgument, name, "pActualNumberOfBytesRead");
            return ZV_ERROR_INVALID_PARAMETER;
        }
        *pActualNumberOfBytesRead = 0;
        if (bufferSize == 0) return ZV_SUCCESS;
        return std::nullopt;
    };
    return RunApiCallCheckingFirst(name, checks, [&](ApiCall& call) {
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
        call.LeaveGate();  // the reading runs outside the gate
        unsigned int total = 0;
        for (;;) {
            const unsigned int room = bufferSize - total;
            ServiceSafeArray chunk;
            ThrowIfServiceFailed(request->ReadResponseBodyStream(room, chunk.Receive()));
            chunk.TakeOwnership(VT_UI1,
                                L"ReadResponseBodyStream failed to Attach CComSafeArray (Take ownership of "
                                L"the response body chunk.)");
            const ULONG count = chunk.Count();
            if (count > room) {
                TraceError(L"ReadResponseBodyStream: the service handed out %u bytes for %u bytes of room",
                           static_cast<unsigned>(count), room);
                ThrowComError(E_UNEXPECTED);
            }
            if (count != 0) {
                SafeArrayDataAccess access(chunk.Get());
                std::memcpy(pBuffer + total, access.Data(), count);
            }
            total += count;
            if (count == 0 || bufferSize - total < kMinimumRoomToAskAgain) break;
        }
        *pActualNumberOfBytesRead = total;
        TraceInfo(L"ReadResponseBodyStream read %u bytes", total);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV5::DestroyZVHttpRequest(unsigned int handle) {
    return RunApiCall(ZV_V5_NAME(DestroyZVHttpRequest), Apartment::Join, [&](ApiCall&) {
        m_httpRequestTable.Delete_ExclusiveLock(handle);
        return ZV_SUCCESS;
    });
}

}  // namespace BrennicZelvarSDK
