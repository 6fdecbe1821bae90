// The service's authentication epoch, secondary tokens, session cookie and
// cookie jar. Cookie records cross the border in both directions: strings
// become BSTRs and back, flags become VARIANT_BOOL and back, the two values
// pass unchanged.
#include <cstdlib>
#include <cwchar>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

#define ZV_NAME(version, op) "BrennicZelvarSDK::ZVImplementation" #version "::" #op

namespace {

const wchar_t kNullArgument[] = L"%S: failed because %S is NULL!";
// The service's type library and, in it, its cookie record.
const WORD kServiceLibraryMajor = 12;
const WORD kServiceLibraryMinor = 0;
const GUID kCookieRecordGuid = {0x97fdae58, 0xcf84, 0x4a8c, {0x91, 0x99, 0x71, 0x90, 0xc0, 0xd1, 0x07, 0xec}};

BSTR CopyCookieString(const ZVChar* text) {
    return text ? SysAllocStringLen(text, static_cast<UINT>(wcslen(text))) : nullptr;
}

// The caller's cookie array that AddCookies takes over: freed on every way
// out once the copying has begun.
class CallerCookies {
public:
    CallerCookies(_ZV_COOKIE_DATA* cookies, unsigned int count) : m_cookies(cookies), m_count(count) {}
    ~CallerCookies() { ZVImplementationV9::FreeCookies(m_cookies, m_count); }
    CallerCookies(const CallerCookies&) = delete;
    CallerCookies& operator=(const CallerCookies&) = delete;

private:
    _ZV_COOKIE_DATA* m_cookies;
    unsigned int m_count;
};

// The record description of the service's cookie record, from its registered
// type library; the failing HRESULT otherwise.
HRESULT CookieRecordInfo(ComPtr<IRecordInfo>& info) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_ZelvarSvrLib, kServiceLibraryMajor, kServiceLibraryMinor, GetUserDefaultLCID(),
                                library.Receive());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> type;
    hr = library->GetTypeInfoOfGuid(kCookieRecordGuid, type.Receive());
    if (FAILED(hr)) return hr;
    return GetRecordInfoFromTypeInfo(type.Get(), info.Receive());
}

}  // namespace

ZVResult ZVImplementationV6::GetAuthEpoch(unsigned int connectionHandle, unsigned int* outEpoch) {
    TraceInfo(L"ZVImplementationV6::GetAuthEpoch called for handle %u", connectionHandle);
    return RunApiCall(ZV_NAME(V6, GetAuthEpoch), Apartment::Join, [&](ApiCall& call) {
        if (!outEpoch) return call.InvalidParameter(kNullArgument, call.Name(), "outEpoch");
        PlainPtr<IZelvarConnection> connection = LookUpConnectionAs(m_connectionTable, connectionHandle, call.Name());
        UINT epoch = 0;
        ThrowIfServiceFailed(connection->GetAuthEpoch(&epoch));
        *outEpoch = epoch;  // written only on success
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV7::GetSecondaryToken(unsigned int httpRequestHandle, ZVChar** secondaryToken) {
    TraceInfo(L"ZVImplementationV7::GetSecondaryToken called for handle %u", httpRequestHandle);
    return RunApiCall(ZV_NAME(V7, GetSecondaryToken), Apartment::Join, [&](ApiCall& call) {
        if (!secondaryToken) return call.InvalidParameter(kNullArgument, call.Name(), "secondaryToken");
        *secondaryToken = nullptr;
        UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, httpRequestHandle);
        ScopedBstr token;
        ThrowIfServiceFailed(request->GetSecondaryToken(token.Receive()));
        *secondaryToken = BSTRToZVChar(token.Get());
        // The token itself stays out of the trace.
        TraceInfo(L"ZVImplementationV7::GetSecondaryToken completed for handle %u", httpRequestHandle);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV8::GetSessionCookie(unsigned int connectionHandle, const ZVChar* url,
                                              ZVChar** sessionCookie) {
    TraceInfo(L"ZVImplementationV8::GetSessionCookie called for handle %u", connectionHandle);
    return RunApiCall(ZV_NAME(V8, GetSessionCookie), Apartment::Join, [&](ApiCall& call) {
        if (!sessionCookie) return call.InvalidParameter(L"%S: failed because sessionCookie is NULL!", call.Name());
        *sessionCookie = nullptr;
        PlainPtr<IZelvarConnection> connection = LookUpConnectionAs(m_connectionTable, connectionHandle, call.Name());
        ScopedBstr urlCopy = CopyInputString(url);
        ScopedBstr cookie;
        ThrowIfServiceFailed(connection->GetSessionCookie(urlCopy.Get(), cookie.Receive()));
        *sessionCookie = BSTRToZVChar(cookie.Get());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV9::GetCookiesForDomain(unsigned int connectionHandle, const ZVChar* domain,
                                                 _ZV_COOKIE_DATA** outCookieDataArr, unsigned int* outCookieCount) {
    TraceInfo(L"ZVImplementationV9::GetCookiesForDomain called for handle %u", connectionHandle);
    return RunApiCall(ZV_NAME(V9, GetCookiesForDomain), Apartment::Join, [&](ApiCall& call) {
        if (!outCookieDataArr) {
            return call.InvalidParameter(L"%S: failed because outCookieDataArr is NULL!", call.Name());
        }
        if (!outCookieCount) return call.InvalidParameter(L"%S: failed because outCookieCount is NULL!", call.Name());
        PlainPtr<IZelvarConnection> connection = LookUpConnectionAs(m_connectionTable, connectionHandle, call.Name());
        ScopedBstr domainCopy = CopyInputString(domain);
        ServiceSafeArray returned;
        ThrowIfServiceFailed(connection->GetCookiesForDomain(domainCopy.Get(), returned.Receive()));
        if (!returned.Get()) {
            // A service that has no cookies may answer with no array at all:
            // the application gets the same empty block as for an empty array.
            *outCookieDataArr = static_cast<_ZV_COOKIE_DATA*>(calloc(1, 1));
            if (!*outCookieDataArr) throw Convert::bad_alloc_message("GetCookiesForDomain: calloc failed");
            *outCookieCount = 0;
            return ZV_SUCCESS;
        }
        returned.TakeOwnership(
            VT_RECORD, L"GetCookiesForDomain failed to Attach CComSafeArray (Take ownership of the cookie records.)");
        // A record array of another record type is not read.
        if (SafeArrayGetElemsize(returned.Get()) != sizeof(ZelvarCookieData)) {
            throw Convert::SafeArrayFailure{E_INVALIDARG};
        }
        const ULONG count = returned.Count();
        SafeArrayDataAccess access(returned.Get());
        const ZelvarCookieData* records = access.DataAs<ZelvarCookieData>();
        // One block for the records, never null (one byte when there are none).
        auto* cookies = static_cast<_ZV_COOKIE_DATA*>(calloc(count ? count : 1, count ? sizeof(_ZV_COOKIE_DATA) : 1));
        if (!cookies) throw Convert::bad_alloc_message("GetCookiesForDomain: calloc failed");
        try {
            for (ULONG i = 0; i < count; ++i) {
                _ZV_COOKIE_DATA& cookie = cookies[i];
                cookie.string1 = BSTRToZVChar(records[i].string1);
                cookie.string2 = BSTRToZVChar(records[i].string2);
                cookie.string3 = BSTRToZVChar(records[i].string3);
                cookie.string4 = BSTRToZVChar(records[i].string4);
                cookie.flag1 = records[i].flag1 ? 1 : 0;
                cookie.flag2 = records[i].flag2 ? 1 : 0;
                cookie.flag3 = records[i].flag3 ? 1 : 0;
                cookie.flag4 = records[i].flag4 ? 1 : 0;
                cookie.value64 = records[i].value64;
                cookie.value32 = records[i].value32;
            }
        } catch (...) {
            FreeCookies(cookies, count);
            throw;
        }
        *outCookieDataArr = cookies;  // both written only on success
        *outCookieCount = count;
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV9::AddCookies(unsigned int connectionHandle, _ZV_COOKIE_DATA* cookieDataArr,
                                        unsigned int cookieCount) {
    TraceInfo(L"ZVImplementationV9::AddCookies called for handle %u", connectionHandle);
    return RunApiCall(ZV_NAME(V9, AddCookies), Apartment::Join, [&](ApiCall& call) {
        if (!cookieDataArr) return call.InvalidParameter(L"%S: failed because cookieDataArr is NULL!", call.Name());
        PlainPtr<IZelvarConnection> connection = LookUpConnectionAs(m_connectionTable, connectionHandle, call.Name());
        ComPtr<IRecordInfo> info;
        HRESULT hr = CookieRecordInfo(info);
        if (FAILED(hr)) {
            TraceError(L"%S: the service's cookie record could not be described, HRESULT %u", call.Name(),
                       static_cast<unsigned>(hr));
            return HResultToZVResult(hr);
        }
        SAFEARRAYBOUND bound{cookieCount, 0};
        ScopedSafeArray records(SafeArrayCreateEx(VT_RECORD, 1, &bound, info.Get()));
        if (!records.Get()) {
            TraceError(L"%S: the cookie record array could not be created", call.Name());
            return ZV_ERROR_OUT_OF_MEMORY;
        }
        {
            // From here on the caller's array is gone, whatever the service answers.
            CallerCookies taken(cookieDataArr, cookieCount);
            SafeArrayDataAccess access(records.Get());
            ZelvarCookieData* record = access.DataAs<ZelvarCookieData>();
            for (unsigned int i = 0; i < cookieCount; ++i) {
                const _ZV_COOKIE_DATA& cookie = cookieDataArr[i];
                record[i].string1 = CopyCookieString(cookie.string1);
                record[i].string2 = CopyCookieString(cookie.string2);
                record[i].string3 = CopyCookieString(cookie.string3);
                record[i].string4 = CopyCookieString(cookie.string4);
                record[i].flag1 = cookie.flag1 ? VARIANT_TRUE : VARIANT_FALSE;
                record[i].flag2 = cookie.flag2 ? VARIANT_TRUE : VARIANT_FALSE;
                record[i].flag3 = cookie.flag3 ? VARIANT_TRUE : VARIANT_FALSE;
                record[i].flag4 = cookie.flag4 ? VARIANT_TRUE : VARIANT_FALSE;
                record[i].value64 = cookie.value64;
                record[i].value32 = cookie.value32;
            }
        }
        SAFEARRAY* array = records.Get();
        ThrowIfServiceFailed(connection->AddCookies(&array));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV9::FreeCookieDataArray(_ZV_COOKIE_DATA* cookieDataArr, unsigned int cookieCount) {
    FreeCookies(cookieDataArr, cookieCount);
    return ZV_SUCCESS;
}

// Works in any state and on any thread: it touches only the memory given.
void ZVImplementationV9::FreeCookies(_ZV_COOKIE_DATA* cookies, unsigned int count) {
    if (!cookies) return;
    for (unsigned int i = 0; i < count; ++i) {
        free(cookies[i].string1);
        free(cookies[i].string2);
        free(cookies[i].string3);
        free(cookies[i].string4);
    }
    free(cookies);
}

}  // namespace BrennicZelvarSDK
