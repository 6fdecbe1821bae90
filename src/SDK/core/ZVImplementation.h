// The one implementation object behind the nine interface tables. The
// interface classes come first in each class's base list, so each table is a
// sub-object whose first word points at its own table of functions.
#pragma once

#include <windows.h>

#include <string>

#include "interface/ZelvarSDK.h"
#include "tables/HandleTables.h"

namespace BrennicZelvarSDK {

// Every interface from V2 on ends with GetPreviousInterface, each returning a
// different type; one function cannot override all of them, so each table
// gets it from a link class that adds no data and no slots.
template <class Interface, class Previous, class Impl>
class PreviousInterfaceLink : public Interface {
public:
    Previous* GetPreviousInterface() override { return static_cast<Impl*>(this); }

protected:
    ~PreviousInterfaceLink() = default;
};

class ZVImplementationV1;
class ZVImplementationV5;
class ZVImplementationV6;
class ZVImplementationV7;
class ZVImplementationV8;
class ZVImplementationV9;

class ZVImplementationV1
    : public ZVImplementationV1Interface,
      public PreviousInterfaceLink<ZVImplementationV2Interface, ZVImplementationV1Interface, ZVImplementationV1>,
      public PreviousInterfaceLink<ZVImplementationV3Interface, ZVImplementationV2Interface, ZVImplementationV1>,
      public PreviousInterfaceLink<ZVImplementationV4Interface, ZVImplementationV3Interface, ZVImplementationV1> {
public:
    ZVImplementationV1();

    // ZVImplementationV1Interface
    ZVResult Initialize() override;
    ZVResult Uninitialize() override;
    ZVResult CreateConnection(const ZVChar* clientName, ZVStatusChangeCallback callback, void* context,
                              unsigned int* connectionHandle) override;
    ZVResult CreateRequestContext(unsigned int connectionHandle, const ZVChar* url, unsigned int contextFlags,
                                  unsigned int* requestContextHandle) override;
    ZVResult DestroyConnection(unsigned int connectionHandle) override;
    ZVResult ClearAllCredentials(unsigned int connectionHandle) override;
    ZVResult CancelAllCalls(unsigned int connectionHandle) override;
    ZVResult LogOff(unsigned int connectionHandle) override;
    ZVResult DestroyRequestContext(unsigned int requestContextHandle) override;
    ZVResult Prepare(unsigned int requestContextHandle, const ZVChar* const* stringList,
                     unsigned int* authenticationResult) override;
    ZVResult GetHeaders(unsigned int requestContextHandle, ZVChar*** headers) override;
    void FreeHeaders(ZVChar** headers) override;
    ZVResult GetTranslatedUrl(unsigned int requestContextHandle, ZVChar** translatedUrl) override;
    void FreeTranslatedUrl(ZVChar* translatedUrl) override;
    void Reserved() override;

    // Called only by Uninitialize_Internal, with g_DataLock held exclusively;
    // the kept references go into `released`, to be let go after the lock.
    virtual void DeleteAllDataAndObjects(KeptReferences& released) ZV_REQUIRES(g_DataLock);

    // ZVImplementationV2Interface
    ZVResult Prepare2(unsigned int requestContextHandle, unsigned int* authenticationResult) override;
    ZVResult ReportHttpResponse(unsigned int requestContextHandle, unsigned int responseCode,
                                const ZVChar* const* stringList) override;
    ZVResult ReportHttpFailure(unsigned int requestContextHandle, unsigned int failureCode) override;
    ZVResult ForceRoute(unsigned int requestContextHandle, const _ZV_GATEWAY_INFO* gatewayInfo) override;
    ZVResult CreateVpnAuthContext(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo,
                                  unsigned int contextFlags, unsigned int* vpnAuthContextHandle) override;
    ZVResult DestroyVpnAuthContext(unsigned int vpnAuthContextHandle) override;
    ZVResult GetVpnAuthorizationInfo(unsigned int vpnAuthContextHandle,
                                     _ZV_VPN_AUTHORIZATION_INFO** authorizationInfo) override;
    ZVResult FreeVpnAuthorizationInfo(_ZV_VPN_AUTHORIZATION_INFO* authorizationInfo) override;

    // ZVImplementationV3Interface
    ZVResult SetReferenceUrl(unsigned int requestContextHandle, const ZVChar* referenceUrl) override;
    ZVResult GenerateTrampolineUrl(unsigned int connectionHandle, const ZVChar* targetUrl,
                                   unsigned int trampolineOptions, const ZVChar* trampolineParameter,
                                   ZVChar** trampolineUrl, unsigned int* authenticationResult) override;
    ZVResult FreeTrampolineUrl(ZVChar* trampolineUrl) override;
    ZVResult GetVersion(unsigned int connectionHandle, ZVChar** version) override;
    ZVResult SetClientWindow(unsigned int connectionHandle, HWND window) override;
    ZVResult DetermineServerType(unsigned int connectionHandle, const ZVChar* serverUrl,
                                 _ZV_SERVER_TYPE_INFO** serverTypeInfo) override;
    ZVResult FreeServerTypeInfo(_ZV_SERVER_TYPE_INFO* serverTypeInfo) override;
    ZVResult RetrieveGatewayDiscoveryData(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo,
                                          unsigned int discoveryOptions, ZVChar** discoveryData,
                                          unsigned int* authenticationResult) override;

    // ZVImplementationV4Interface
    ZVResult LogOffGateway(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo) override;
    ZVResult LogOffAuthService(unsigned int connectionHandle, const ZVChar* authService) override;
    ZVResult GetLogonStatus(unsigned int connectionHandle, const ZVChar* authService,
                            unsigned int* logonStatus) override;

    // Internal work, not part of any table.
    ZVResult Uninitialize_Internal() ZV_REQUIRES(g_InitLock);
    void CancelAllCalls_SharedLock() ZV_EXCLUDES(g_DataLock);
    HRESULT AddZelvar(const std::wstring& clientIdentifier, unsigned int handle, ZVStatusChangeCallback callback,
                      void* context, ThreadPool* creatorPool);
    HRESULT RemoveZelvar(unsigned int handle);
    void OnStatusChangeCallback(unsigned int handle, unsigned int status, int window);
    // ClearAllCredentials, CancelAllCalls and LogOff: one call without
    // arguments, made outside the gate through a plain holder.
    ZVResult CallConnectionOutsideGate(const char* name, unsigned int connectionHandle,
                                       HRESULT (STDMETHODCALLTYPE IZelvarConnection::*method)());
    // Creation work items, run on the COM object creator pool. They read only
    // copies of the caller's inputs, made before they were queued.
    HRESULT AddAuthContext(const std::wstring& url, unsigned int contextFlags, unsigned int connectionHandle,
                           unsigned int handle);
    HRESULT AddVpnAuthContext(ZelvarGatewayInfo* gateway, unsigned int connectionHandle, unsigned int contextFlags,
                              unsigned int handle);

protected:
    ~ZVImplementationV1() = default;

    ConnectionTable m_connectionTable;
    RequestContextTable m_requestContextTable;
    VpnAuthContextTable m_vpnAuthContextTable;
};

class ZVImplementationV5
    : public ZVImplementationV1,
      public PreviousInterfaceLink<ZVImplementationV5Interface, ZVImplementationV4Interface, ZVImplementationV5> {
public:
    ZVImplementationV5();

    void DeleteAllDataAndObjects(KeptReferences& released) override ZV_REQUIRES(g_DataLock);

    ZVResult CreateZVHttpRequest(unsigned int connectionHandle, unsigned int* httpRequestHandle) override;
    ZVResult AddRequestHeader(unsigned int httpRequestHandle, const ZVChar* header) override;
    ZVResult SetRequestMethod(unsigned int httpRequestHandle, const ZVChar* method) override;
    ZVResult SetRequestUrl(unsigned int httpRequestHandle, const ZVChar* url) override;
    ZVResult SetRequestReferenceUrl(unsigned int httpRequestHandle, const ZVChar* referenceUrl) override;
    ZVResult SetRequestAuthenticationFlags(unsigned int httpRequestHandle, unsigned int flags) override;
    ZVResult SetRequestUserAgentSuffix(unsigned int httpRequestHandle, const ZVChar* userAgentSuffix) override;
    ZVResult SetRequestData(unsigned int httpRequestHandle, const unsigned char* pBufferToSend,
                            unsigned int numberOfBytes) override;
    ZVResult SetRequestRoute(unsigned int httpRequestHandle, const _ZV_GATEWAY_INFO* gatewayInfo) override;
    ZVResult SetRequestTimeoutSeconds(unsigned int httpRequestHandle, unsigned int seconds) override;
    ZVResult SendRequestAndReceiveResponse(unsigned int httpRequestHandle) override;
    ZVResult GetResponseStatusCode(unsigned int httpRequestHandle, unsigned int* statusCode) override;
    ZVResult GetResponseReasonPhrase(unsigned int httpRequestHandle, ZVChar** reasonPhrase) override;
    ZVResult GetResponseHeaders(unsigned int httpRequestHandle, ZVChar*** headers) override;
    ZVResult GetResponseServerCertificate(unsigned int httpRequestHandle, PCCERT_CONTEXT* certificate) override;
    ZVResult GetResponseTrustFailureFlags(unsigned int httpRequestHandle, unsigned int* trustFailureFlags) override;
    ZVResult GetServerCertificate(unsigned int connectionHandle, const ZVChar* url, PCCERT_CONTEXT* outCertificate,
                                  unsigned int* outTrustFailureFlags) override;
    ZVResult FreeCertificate(PCCERT_CONTEXT certificate) override;
    ZVResult DuplicateCertificate(PCCERT_CONTEXT certificate, PCCERT_CONTEXT* duplicate) override;
    ZVResult ReadResponseBodyStream(unsigned int httpRequestHandle, unsigned char* pBuffer, unsigned int bufferSize,
                                    unsigned int* pActualNumberOfBytesRead) override;
    ZVResult DestroyZVHttpRequest(unsigned int httpRequestHandle) override;

    // The creation work item of CreateZVHttpRequest, on the COM object creator pool.
    HRESULT AddZVHttpHandle(unsigned int connectionHandle, unsigned int handle);

protected:
    ~ZVImplementationV5() = default;

    HttpRequestTable m_httpRequestTable;
};

class ZVImplementationV6
    : public ZVImplementationV5,
      public PreviousInterfaceLink<ZVImplementationV6Interface, ZVImplementationV5Interface, ZVImplementationV6> {
public:
    virtual ~ZVImplementationV6() = default;
    ZVResult GetAuthEpoch(unsigned int connectionHandle, unsigned int* outEpoch) override;
};

class ZVImplementationV7
    : public ZVImplementationV6,
      public PreviousInterfaceLink<ZVImplementationV7Interface, ZVImplementationV6Interface, ZVImplementationV7> {
public:
    ZVResult GetSecondaryToken(unsigned int httpRequestHandle, ZVChar** outToken) override;
};

class ZVImplementationV8
    : public ZVImplementationV7,
      public PreviousInterfaceLink<ZVImplementationV8Interface, ZVImplementationV7Interface, ZVImplementationV8> {
public:
    ZVResult GetSessionCookie(unsigned int connectionHandle, const ZVChar* url, ZVChar** outCookie) override;
};

class ZVImplementationV9
    : public ZVImplementationV8,
      public PreviousInterfaceLink<ZVImplementationV9Interface, ZVImplementationV8Interface, ZVImplementationV9> {
public:
    ZVResult GetCookiesForDomain(unsigned int connectionHandle, const ZVChar* domain,
                                 _ZV_COOKIE_DATA** outCookieDataArr, unsigned int* outCookieCount) override;
    ZVResult FreeCookieDataArray(_ZV_COOKIE_DATA* cookieDataArr, unsigned int cookieCount) override;
    ZVResult AddCookies(unsigned int connectionHandle, _ZV_COOKIE_DATA* cookieDataArr,
                        unsigned int cookieCount) override;

    // Frees a cookie array built the SDK's way: the four strings of each
    // record, then the array. A null array is left alone.
    static void FreeCookies(_ZV_COOKIE_DATA* cookies, unsigned int count);
};

// The singleton, created on first use and never destroyed.
ZVImplementationV9& GetImplementation();

}  // namespace BrennicZelvarSDK
