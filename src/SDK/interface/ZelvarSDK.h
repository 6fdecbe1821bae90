// The public interface of ZelvarSDK.dll.
//
// Obtain an interface table with the exported QueryInterface and one of the
// identifier strings below, call Initialize, then work with handles. The
// tables are plain abstract classes (no IUnknown, no reference counting);
// every table is a view of one object that lives for the whole process.
// Strings and records handed out belong to the caller until returned to the
// SDK's release operations.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "ZVTypes.h"

namespace BrennicZelvarSDK {

#define ZV_IID_V1 L"B8EBF2FC-06D6-4fe1-B4C7-4786871F0523"
#define ZV_IID_V2 L"8F62639A-8B8C-48f9-9945-2C614970D398"
#define ZV_IID_V3 L"EBD12449-9197-4254-B56A-6077C531306E"
#define ZV_IID_V4 L"F1F17356-82D5-49d4-8883-6888ADC4FDBD"
#define ZV_IID_V5 L"8A4EABBC-AF1C-4e76-A77F-9CC08A9CBDDF"
#define ZV_IID_V6 L"770EBDF7-E6DB-4321-B475-820E2797D709"
#define ZV_IID_V7 L"2B61BFF9-1C39-4925-9CEC-01AC70182846"
#define ZV_IID_V8 L"A9573C9C-7030-4FC4-80CA-9DC71CB73C22"
#define ZV_IID_V9 L"78AE367F-0098-46DE-8F69-106834627490"

// The destructors are protected and non-virtual so that no table gains a
// destructor slot: clients built with other compilers see the same layout.
// The operations carry no calling convention of their own: they use the
// compiler's one for virtual member functions (__thiscall in 32-bit
// processes, as GCC, Clang and MSVC all have it; x64 has one convention).

class ZVImplementationV1Interface {
public:
    virtual ZVResult Initialize() = 0;
    virtual ZVResult Uninitialize() = 0;
    virtual ZVResult CreateConnection(const ZVChar* clientName, ZVStatusChangeCallback callback, void* context,
                                      unsigned int* connectionHandle) = 0;
    virtual ZVResult CreateRequestContext(unsigned int connectionHandle, const ZVChar* url, unsigned int contextFlags,
                                          unsigned int* requestContextHandle) = 0;
    virtual ZVResult DestroyConnection(unsigned int connectionHandle) = 0;
    virtual ZVResult ClearAllCredentials(unsigned int connectionHandle) = 0;
    virtual ZVResult CancelAllCalls(unsigned int connectionHandle) = 0;
    virtual ZVResult LogOff(unsigned int connectionHandle) = 0;
    virtual ZVResult DestroyRequestContext(unsigned int requestContextHandle) = 0;
    virtual ZVResult Prepare(unsigned int requestContextHandle, const ZVChar* const* stringList,
                             unsigned int* authenticationResult) = 0;
    virtual ZVResult GetHeaders(unsigned int requestContextHandle, ZVChar*** headers) = 0;
    virtual void FreeHeaders(ZVChar** headers) = 0;
    virtual ZVResult GetTranslatedUrl(unsigned int requestContextHandle, ZVChar** translatedUrl) = 0;
    virtual void FreeTranslatedUrl(ZVChar* translatedUrl) = 0;
    virtual void Reserved() = 0;

protected:
    ~ZVImplementationV1Interface() = default;
};

class ZVImplementationV2Interface {
public:
    virtual ZVResult Prepare2(unsigned int requestContextHandle, unsigned int* authenticationResult) = 0;
    virtual ZVResult ReportHttpResponse(unsigned int requestContextHandle, unsigned int responseCode,
                                        const ZVChar* const* stringList) = 0;
    virtual ZVResult ReportHttpFailure(unsigned int requestContextHandle, unsigned int failureCode) = 0;
    virtual ZVResult ForceRoute(unsigned int requestContextHandle, const _ZV_GATEWAY_INFO* gatewayInfo) = 0;
    virtual ZVResult CreateVpnAuthContext(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo,
                                          unsigned int contextFlags, unsigned int* vpnAuthContextHandle) = 0;
    virtual ZVResult DestroyVpnAuthContext(unsigned int vpnAuthContextHandle) = 0;
    virtual ZVResult GetVpnAuthorizationInfo(unsigned int vpnAuthContextHandle,
                                             _ZV_VPN_AUTHORIZATION_INFO** authorizationInfo) = 0;
    virtual ZVResult FreeVpnAuthorizationInfo(_ZV_VPN_AUTHORIZATION_INFO* authorizationInfo) = 0;
    virtual ZVImplementationV1Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV2Interface() = default;
};

class ZVImplementationV3Interface {
public:
    virtual ZVResult SetReferenceUrl(unsigned int requestContextHandle, const ZVChar* referenceUrl) = 0;
    virtual ZVResult GenerateTrampolineUrl(unsigned int connectionHandle, const ZVChar* targetUrl,
                                           unsigned int trampolineOptions, const ZVChar* trampolineParameter,
                                           ZVChar** trampolineUrl, unsigned int* authenticationResult) = 0;
    virtual ZVResult FreeTrampolineUrl(ZVChar* trampolineUrl) = 0;
    virtual ZVResult GetVersion(unsigned int connectionHandle, ZVChar** version) = 0;
    virtual ZVResult SetClientWindow(unsigned int connectionHandle, HWND window) = 0;
    virtual ZVResult DetermineServerType(unsigned int connectionHandle, const ZVChar* serverUrl,
                                         _ZV_SERVER_TYPE_INFO** serverTypeInfo) = 0;
    virtual ZVResult FreeServerTypeInfo(_ZV_SERVER_TYPE_INFO* serverTypeInfo) = 0;
    virtual ZVResult RetrieveGatewayDiscoveryData(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo,
                                                  unsigned int discoveryOptions, ZVChar** discoveryData,
                                                  unsigned int* authenticationResult) = 0;
    virtual ZVImplementationV2Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV3Interface() = default;
};

class ZVImplementationV4Interface {
public:
    virtual ZVResult LogOffGateway(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo) = 0;
    virtual ZVResult LogOffAuthService(unsigned int connectionHandle, const ZVChar* authService) = 0;
    virtual ZVResult GetLogonStatus(unsigned int connectionHandle, const ZVChar* authService,
                                    unsigned int* logonStatus) = 0;
    virtual ZVImplementationV3Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV4Interface() = default;
};

class ZVImplementationV5Interface {
public:
    virtual ZVResult CreateZVHttpRequest(unsigned int connectionHandle, unsigned int* httpRequestHandle) = 0;
    virtual ZVResult AddRequestHeader(unsigned int httpRequestHandle, const ZVChar* header) = 0;
    virtual ZVResult SetRequestMethod(unsigned int httpRequestHandle, const ZVChar* method) = 0;
    virtual ZVResult SetRequestUrl(unsigned int httpRequestHandle, const ZVChar* url) = 0;
    virtual ZVResult SetRequestReferenceUrl(unsigned int httpRequestHandle, const ZVChar* referenceUrl) = 0;
    virtual ZVResult SetRequestAuthenticationFlags(unsigned int httpRequestHandle, unsigned int flags) = 0;
    virtual ZVResult SetRequestUserAgentSuffix(unsigned int httpRequestHandle, const ZVChar* userAgentSuffix) = 0;
    virtual ZVResult SetRequestData(unsigned int httpRequestHandle, const unsigned char* pBufferToSend,
                                    unsigned int numberOfBytes) = 0;
    virtual ZVResult SetRequestRoute(unsigned int httpRequestHandle, const _ZV_GATEWAY_INFO* gatewayInfo) = 0;
    virtual ZVResult SetRequestTimeoutSeconds(unsigned int httpRequestHandle, unsigned int seconds) = 0;
    virtual ZVResult SendRequestAndReceiveResponse(unsigned int httpRequestHandle) = 0;
    virtual ZVResult GetResponseStatusCode(unsigned int httpRequestHandle, unsigned int* statusCode) = 0;
    virtual ZVResult GetResponseReasonPhrase(unsigned int httpRequestHandle, ZVChar** reasonPhrase) = 0;
    virtual ZVResult GetResponseHeaders(unsigned int httpRequestHandle, ZVChar*** headers) = 0;
    virtual ZVResult GetResponseServerCertificate(unsigned int httpRequestHandle, PCCERT_CONTEXT* certificate) = 0;
    virtual ZVResult GetResponseTrustFailureFlags(unsigned int httpRequestHandle, unsigned int* trustFailureFlags) = 0;
    virtual ZVResult GetServerCertificate(unsigned int connectionHandle, const ZVChar* url,
                                          PCCERT_CONTEXT* outCertificate, unsigned int* outTrustFailureFlags) = 0;
    virtual ZVResult FreeCertificate(PCCERT_CONTEXT certificate) = 0;
    virtual ZVResult DuplicateCertificate(PCCERT_CONTEXT certificate, PCCERT_CONTEXT* duplicate) = 0;
    virtual ZVResult ReadResponseBodyStream(unsigned int httpRequestHandle, unsigned char* pBuffer,
                                            unsigned int bufferSize, unsigned int* pActualNumberOfBytesRead) = 0;
    virtual ZVResult DestroyZVHttpRequest(unsigned int httpRequestHandle) = 0;
    virtual ZVImplementationV4Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV5Interface() = default;
};

class ZVImplementationV6Interface {
public:
    virtual ZVResult GetAuthEpoch(unsigned int connectionHandle, unsigned int* outEpoch) = 0;
    virtual ZVImplementationV5Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV6Interface() = default;
};

class ZVImplementationV7Interface {
public:
    virtual ZVResult GetSecondaryToken(unsigned int httpRequestHandle, ZVChar** outToken) = 0;
    virtual ZVImplementationV6Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV7Interface() = default;
};

class ZVImplementationV8Interface {
public:
    virtual ZVResult GetSessionCookie(unsigned int connectionHandle, const ZVChar* url, ZVChar** outCookie) = 0;
    virtual ZVImplementationV7Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV8Interface() = default;
};

class ZVImplementationV9Interface {
public:
    virtual ZVResult GetCookiesForDomain(unsigned int connectionHandle, const ZVChar* domain,
                                         _ZV_COOKIE_DATA** outCookieDataArr, unsigned int* outCookieCount) = 0;
    virtual ZVResult FreeCookieDataArray(_ZV_COOKIE_DATA* cookieDataArr, unsigned int cookieCount) = 0;
    virtual ZVResult AddCookies(unsigned int connectionHandle, _ZV_COOKIE_DATA* cookieDataArr,
                                unsigned int cookieCount) = 0;
    virtual ZVImplementationV8Interface* GetPreviousInterface() = 0;

protected:
    ~ZVImplementationV9Interface() = default;
};

}  // namespace BrennicZelvarSDK

// Exports of ZelvarSDK.dll. QueryInterface returns a 32-bit 1 when
// *outInterface received a table, 0 otherwise. It is WINAPI (__stdcall) in
// 32-bit processes and exported by its plain name in both widths.
extern "C" {
typedef BOOL(WINAPI* ZVQueryInterfaceFn)(const wchar_t* interfaceId, void** outInterface);
// For programs that link the import library (ZelvarSDK.lib, libZelvarSDK.dll.a);
// programs that load the DLL at run time use ZVQueryInterfaceFn instead.
BOOL WINAPI QueryInterface(const wchar_t* interfaceId, void** outInterface);
}
