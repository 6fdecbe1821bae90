// Request contexts: authenticating the application's own web requests.
#include <cstdlib>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

#define ZV_V1_NAME(op) "BrennicZelvarSDK::ZVImplementationV1::" #op

namespace {
// The one authentication result for which the service's string is handed out.
const UINT kAuthenticatedResult = 13;
}  // namespace

ZVResult ZVImplementationV1::CreateRequestContext(unsigned int connectionHandle, const ZVChar* url,
                                                  unsigned int contextFlags, unsigned int* requestContextHandle) {
    return RunApiCall(ZV_V1_NAME(CreateRequestContext), Apartment::Skip, [&](ApiCall& call) {
        if (!requestContextHandle) {
            return call.InvalidParameter(
                L"ZVImplementationV1::CreateRequestContext failed because the requestContextHandle is NULL!");
        }
        if (!url)
            return call.InvalidParameter(L"ZVImplementationV1::CreateRequestContext failed because the URL is NULL!");
        *requestContextHandle = 0;
        const unsigned int handle = DrawHandle();
        // The item owns its copy of the URL: it may run after this call
        // stopped waiting for it.
        const std::wstring urlText(url);
        CreateOnCreatorPool(call.Name(), [this, urlText, contextFlags, connectionHandle, handle]() {
            return AddAuthContext(urlText, contextFlags, connectionHandle, handle);
        });
        *requestContextHandle = handle;
        TraceInfo(L"CreateRequestContext created auth context with handle %u for URL \"%s\"", handle, url);
        return ZV_SUCCESS;
    });
}

HRESULT ZVImplementationV1::AddAuthContext(const std::wstring& url, unsigned int contextFlags,
                                           unsigned int connectionHandle, unsigned int handle) {
    return RunCreationWorkItem(L"AddAuthContext Caught unexpected COM error %u - Bad COM registration perhaps?", [&]() {
        ScopedBstr urlCopy = CopyInputString(url.c_str());
        ComPtr<IZelvarAuthContext> context;
        {
            UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
            ThrowIfServiceFailed(connection->CreateRequestContext(urlCopy.Get(), contextFlags, context.Receive()));
        }
        m_requestContextTable.Set_ExclusiveLock_Throws(handle, context.Get(), ZV_V1_NAME(AddAuthContext));
    });
}

ZVResult ZVImplementationV1::DestroyRequestContext(unsigned int requestContextHandle) {
    return RunApiCall(ZV_V1_NAME(DestroyRequestContext), Apartment::Join, [&](ApiCall&) {
        m_requestContextTable.Delete_ExclusiveLock(requestContextHandle);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::Prepare(unsigned int requestContextHandle, const ZVChar* const* stringList,
                                     unsigned int* authenticationResult) {
    return RunApiCall(ZV_V1_NAME(Prepare), Apartment::Join, [&](ApiCall& call) {
        if (!authenticationResult) {
            return call.InvalidParameter(
                L"ZVImplementationV1::Prepare failed because the authenticationResult pointer is NULL!");
        }
        *authenticationResult = 0;
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        // The service may show its logon window for as long as it likes.
        call.LeaveGate();
        ScopedSafeArray strings(ZVCharTableToBSTRSafeArray(stringList));
        UINT result = 0;
        ThrowIfServiceFailed(context->Prepare(strings.Get(), &result));
        *authenticationResult = result;
        TraceInfo(L"Prepare for handle %u succeeded and set authentication result %u", requestContextHandle, result);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::Prepare2(unsigned int requestContextHandle, unsigned int* authenticationResult) {
    return RunApiCall(ZV_V1_NAME(Prepare2), Apartment::Join, [&](ApiCall& call) {
        if (!authenticationResult) {
            return call.InvalidParameter(
                L"ZVImplementationV1::Prepare2 failed because the authenticationResult pointer is NULL!");
        }
        *authenticationResult = 0;
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        call.LeaveGate();
        UINT result = 0;
        ThrowIfServiceFailed(context->Prepare2(&result));
        *authenticationResult = result;
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::GetHeaders(unsigned int requestContextHandle, ZVChar*** headers) {
    return RunApiCall(ZV_V1_NAME(GetHeaders), Apartment::Join, [&](ApiCall& call) {
        if (!headers) return call.InvalidParameter(L"GetHeaders was given a null pointer reference parameter to fill.");
        *headers = nullptr;
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ServiceSafeArray returned;
        ThrowIfServiceFailed(context->GetHeaders(returned.Receive()));
        returned.TakeOwnership(
            VT_BSTR,
            L"GetHeaders failed to Attach CComSafeArray (Take ownership of the auth context's header "
            L"strings.)");
        *headers = BSTRSafeArrayToZVChar(returned.Get());
        TraceInfo(L"GetHeaders succeeded for handle %u", requestContextHandle);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::GetTranslatedUrl(unsigned int requestContextHandle, ZVChar** translatedUrl) {
    return RunApiCall(ZV_V1_NAME(GetTranslatedUrl), Apartment::Join, [&](ApiCall& call) {
        // Written only on success: on failure it keeps the caller's value.
        if (!translatedUrl) return call.InvalidParameter(L"GetTranslatedUrl the URL to translate a null pointer.");
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ScopedBstr url;
        ThrowIfServiceFailed(context->GetTranslatedUrl(url.Receive()));
        *translatedUrl = BSTRToZVChar(url.Get());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::ReportHttpResponse(unsigned int requestContextHandle, unsigned int responseCode,
                                                const ZVChar* const* stringList) {
    return RunApiCall(ZV_V1_NAME(ReportHttpResponse), Apartment::Join, [&](ApiCall&) {
        ScopedSafeArray strings(ZVCharTableToBSTRSafeArray(stringList));
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ThrowIfServiceFailed(context->ReportHttpResponse(responseCode, strings.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::ReportHttpFailure(unsigned int requestContextHandle, unsigned int failureCode) {
    return RunApiCall(ZV_V1_NAME(ReportHttpFailure), Apartment::Join, [&](ApiCall&) {
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ThrowIfServiceFailed(context->ReportHttpFailure(failureCode));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::ForceRoute(unsigned int requestContextHandle, const _ZV_GATEWAY_INFO* gatewayInfo) {
    return RunApiCall(ZV_V1_NAME(ForceRoute), Apartment::Join, [&](ApiCall& call) {
        if (!gatewayInfo) {
            return call.InvalidParameter(L"ZVImplementationV1::ForceRoute failed because the gatewayInfo is NULL!");
        }
        ServiceGatewayRecord gateway(*gatewayInfo);
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ThrowIfServiceFailed(context->ForceRoute(gateway.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::SetReferenceUrl(unsigned int requestContextHandle, const ZVChar* referenceUrl) {
    return RunApiCall(ZV_V1_NAME(SetReferenceUrl), Apartment::Join, [&](ApiCall&) {
        ScopedBstr url = CopyInputString(referenceUrl);
        UICapablePtr<IZelvarAuthContext> context = LookUpForUi(m_requestContextTable, requestContextHandle);
        ThrowIfServiceFailed(context->SetReferenceUrl(url.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::GenerateTrampolineUrl(unsigned int connectionHandle, const ZVChar* targetUrl,
                                                   unsigned int trampolineOptions, const ZVChar* trampolineParameter,
                                                   ZVChar** trampolineUrl, unsigned int* authenticationResult) {
    return RunApiCall(ZV_V1_NAME(GenerateTrampolineUrl), Apartment::Join, [&](ApiCall& call) {
        if (!trampolineUrl) {
            return call.InvalidParameter(
                L"ZVImplementationV1::GenerateTrampolineUrl failed because the trampolineUrl is NULL!");
        }
        if (!authenticationResult) {
            return call.InvalidParameter(
                L"ZVImplementationV1::GenerateTrampolineUrl failed because the authenticationResult is NULL!");
        }
        *trampolineUrl = nullptr;
        *authenticationResult = 0;
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        call.LeaveGate();
        ScopedBstr parameter = CopyInputString(trampolineParameter);
        ScopedBstr target = CopyInputString(targetUrl);
        ScopedBstr url;
        UINT result = 0;
        ThrowIfServiceFailed(connection->GenerateTrampolineUrl(target.Get(), trampolineOptions, parameter.Get(),
                                                               url.Receive(), &result));
        *authenticationResult = result;
        if (result == kAuthenticatedResult) *trampolineUrl = BSTRToZVChar(url.Get());
        return ZV_SUCCESS;
    });
}

// The single-block release operations: a string or a whole string table is
// one malloc block of this module, so any of them frees either.
void ZVImplementationV1::FreeHeaders(ZVChar** headers) {
    free(headers);
}
void ZVImplementationV1::FreeTranslatedUrl(ZVChar* translatedUrl) {
    free(translatedUrl);
}
ZVResult ZVImplementationV1::FreeTrampolineUrl(ZVChar* trampolineUrl) {
    free(trampolineUrl);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
