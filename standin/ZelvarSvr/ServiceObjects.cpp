#include "ServiceObjects.h"

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <olectl.h>

#include "Certificates.h"
#include "ComObject.h"
#include "ScenarioState.h"
#include "HttpRequestObject.h"
#include "ServiceObjectSupport.h"
#include "TextConvert.h"

namespace ZelvarStandin {

namespace {
const wchar_t kDefaultVersion[] = L"12.0.0.1";
const IID kCookieRecordGuid = {0x97fdae58, 0xcf84, 0x4a8c, {0x91, 0x99, 0x71, 0x90, 0xc0, 0xd1, 0x07, 0xec}};
}  // namespace

ScenarioState& State() {
    return ScenarioState::Instance();
}

Json GatewayToJson(const ZelvarGatewayInfo* gateway) {
    if (!gateway) return nullptr;
    return Json{{"gatewayUrl", BstrToJson(gateway->gatewayUrl)},
                {"gatewayString", BstrToJson(gateway->gatewayString)},
                {"gatewayValue1", gateway->gatewayValue1},
                {"gatewayValue2", gateway->gatewayValue2},
                {"gatewayValue3", gateway->gatewayValue3}};
}

void JsonToGateway(const Json& value, ZelvarGatewayInfo& gateway) {
    if (!value.is_object()) return;
    gateway.gatewayUrl = JsonToBstr(value.value("gatewayUrl", Json()));
    gateway.gatewayString = JsonToBstr(value.value("gatewayString", Json()));
    gateway.gatewayValue1 = JsonToUint(value.value("gatewayValue1", Json(0)), 0);
    gateway.gatewayValue2 = JsonToUint(value.value("gatewayValue2", Json(0)), 0);
    gateway.gatewayValue3 = JsonToUint(value.value("gatewayValue3", Json(0)), 0);
}

// The cookie record's description, read from the type library embedded in
// this module (so it works whether or not the library is registered).
IRecordInfo* CookieRecordInfo() {
    static std::once_flag once;
    static IRecordInfo* info = nullptr;
    std::call_once(once, [] {
        ITypeLib* library = nullptr;
        if (FAILED(LoadTypeLibEx(ServiceModule::Instance().ModulePath().c_str(), REGKIND_NONE, &library))) return;
        ITypeInfo* type = nullptr;
        if (SUCCEEDED(library->GetTypeInfoOfGuid(kCookieRecordGuid, &type))) {
            GetRecordInfoFromTypeInfo(type, &info);
            type->Release();
        }
        library->Release();
    });
    return info;
}

Json CookieToJson(const ZelvarCookieData& cookie) {
    return Json{{"string1", BstrToJson(cookie.string1)},           {"string2", BstrToJson(cookie.string2)},
                {"string3", BstrToJson(cookie.string3)},           {"string4", BstrToJson(cookie.string4)},
                {"flag1", static_cast<int>(cookie.flag1)},         {"flag2", static_cast<int>(cookie.flag2)},
                {"flag3", static_cast<int>(cookie.flag3)},         {"flag4", static_cast<int>(cookie.flag4)},
                {"value64", static_cast<int64_t>(cookie.value64)}, {"value32", cookie.value32}};
}

VARIANT_BOOL JsonToVariantBool(const Json& value) {
    if (value.is_boolean()) return value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
    return static_cast<VARIANT_BOOL>(JsonToInt64(value, 0));
}

Json CookieArrayToJson(SAFEARRAY* array) {
    if (!array) return nullptr;
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(array, &vt);
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    if (vt != VT_RECORD || SafeArrayGetElemsize(array) != sizeof(ZelvarCookieData)) {
        return Json{{"vt", vt}, {"count", upper - lower + 1}};
    }
    Json list = Json::array();
    ZelvarCookieData* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)))) {
        for (LONG i = 0; i <= upper - lower; ++i) list.push_back(CookieToJson(data[i]));
        SafeArrayUnaccessData(array);
    }
    return list;
}

HRESULT JsonToCookieArray(const Json& value, SAFEARRAY** out) {
    *out = nullptr;
    if (value.is_null()) return S_OK;
    if (value.is_object()) return JsonToBstrArray(value, out);  // a wrongly typed array
    if (!value.is_array()) return E_INVALIDARG;
    IRecordInfo* info = CookieRecordInfo();
    if (!info) return TYPE_E_CANTLOADLIBRARY;
    SAFEARRAYBOUND bound{static_cast<ULONG>(value.size()), 0};
    SAFEARRAY* array = SafeArrayCreateEx(VT_RECORD, 1, &bound, info);
    if (!array) return E_OUTOFMEMORY;
    ZelvarCookieData* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (size_t i = 0; i < value.size(); ++i) {
        const Json cookie = value[i].is_object() ? value[i] : Json::object();
        ZelvarCookieData& record = data[i];
        record.string1 = JsonToBstr(cookie.value("string1", Json()));
        record.string2 = JsonToBstr(cookie.value("string2", Json()));
        record.string3 = JsonToBstr(cookie.value("string3", Json()));
        record.string4 = JsonToBstr(cookie.value("string4", Json()));
        record.flag1 = JsonToVariantBool(cookie.value("flag1", Json(false)));
        record.flag2 = JsonToVariantBool(cookie.value("flag2", Json(false)));
        record.flag3 = JsonToVariantBool(cookie.value("flag3", Json(false)));
        record.flag4 = JsonToVariantBool(cookie.value("flag4", Json(false)));
        record.value64 = JsonToInt64(cookie.value("value64", Json(0)), 0);
        record.value32 = JsonToUint(cookie.value("value32", Json(0)), 0);
    }
    SafeArrayUnaccessData(array);
    *out = array;
    return S_OK;
}

// A string-array output: the scenario's form when named, else the default
// (only when the call succeeds).
HRESULT StringArrayOutput(const CallOutcome& call, const char* name, const Json& fallback, SAFEARRAY** out) {
    if (call.Has(name)) return JsonToBstrArray(call.outputs[name], out);
    if (FAILED(call.hr)) return S_OK;
    return JsonToBstrArray(fallback, out);
}

HRESULT ByteBlockOutput(const CallOutcome& call, const char* name, SAFEARRAY** out, const std::vector<BYTE>& fallback) {
    *out = nullptr;
    if (call.Has(name)) {
        const Json& value = call.outputs[name];
        if (value.is_null()) return S_OK;
        if (value.is_object() && value.contains("vt")) return JsonToBstrArray(value, out);
        std::vector<BYTE> block;
        if (!JsonToCertificateBlock(value, block)) return S_OK;
        return BytesToArray(block, out);
    }
    if (FAILED(call.hr)) return S_OK;
    return BytesToArray(fallback, out);
}

std::vector<BYTE> DefaultCertificateBlock() {
    return CertificateTransferBlock({kDefaultCertificateSubject}, 0);
}

// Returns the call's HRESULT, or the failure of building an output.
HRESULT Finish(const CallOutcome& call, HRESULT outputResult) {
    return FAILED(outputResult) ? outputResult : call.hr;
}

// ---------------------------------------------------------------- contexts

// Sets the error information the scenario names ("errorDescription") for a
// failing call, so that clients can read the service's message.
HRESULT WithErrorInfo(const CallOutcome& call, HRESULT hr, REFIID iid) {
    if (FAILED(hr) && JsonMember(call.entry, "errorDescription").is_string()) {
        ICreateErrorInfo* create = nullptr;
        if (SUCCEEDED(CreateErrorInfo(&create))) {
            std::wstring text = ToWide(call.entry["errorDescription"].get<std::string>());
            create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
            create->SetSource(const_cast<LPOLESTR>(L"ZelvarSvr"));
            create->SetGUID(iid);
            IErrorInfo* info = nullptr;
            if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
                SetErrorInfo(0, info);
                info->Release();
            }
            create->Release();
        }
    }
    return hr;
}

namespace {

class AuthContext final : public ComObject, public IZelvarAuthContext, public SupportsErrorInfo {
public:
    AuthContext(unsigned connection, BSTR url) : SupportsErrorInfo(IID_IZelvarAuthContext), m_connection(connection) {
        m_url = BstrToJson(url);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return QueryServiceObject<IZelvarAuthContext>(this, iid, out);
    }
    ZV_STANDIN_REFERENCE_COUNTING

    HRESULT STDMETHODCALLTYPE Prepare(SAFEARRAY* requestStrings, UINT* authenticationResult) override {
        if (!authenticationResult) return E_POINTER;
        auto call = Begin("Prepare", {{"requestStrings", BstrArrayToJson(requestStrings)}});
        *authenticationResult = call.Uint("authenticationResult", 0);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetHeaders(SAFEARRAY** headers) override {
        if (!headers) return E_POINTER;
        *headers = nullptr;
        auto call = Begin("GetHeaders", Json::object());
        Json fallback = Json::array({"Authorization: Bearer standin-token", "X-Zelvar-Standin: 1"});
        return Done(call, StringArrayOutput(call, "headers", fallback, headers));
    }
    HRESULT STDMETHODCALLTYPE GetTranslatedUrl(BSTR* translatedUrl) override {
        if (!translatedUrl) return E_POINTER;
        auto call = Begin("GetTranslatedUrl", Json::object());
        *translatedUrl = call.String("translatedUrl", ToWide(m_url.is_string() ? m_url.get<std::string>() : ""));
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE Prepare2(UINT* authenticationResult) override {
        if (!authenticationResult) return E_POINTER;
        auto call = Begin("Prepare2", Json::object());
        *authenticationResult = call.Uint("authenticationResult", 0);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE ReportHttpResponse(UINT responseCode, SAFEARRAY* responseStrings) override {
        auto call = Begin("ReportHttpResponse",
                          {{"responseCode", responseCode}, {"responseStrings", BstrArrayToJson(responseStrings)}});
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE ReportHttpFailure(UINT failureCode) override {
        return Done(Begin("ReportHttpFailure", {{"failureCode", failureCode}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE ForceRoute(ZelvarGatewayInfo* gatewayInfo) override {
        return Done(Begin("ForceRoute", {{"gatewayInfo", GatewayToJson(gatewayInfo)}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetReferenceUrl(BSTR referenceUrl) override {
        return Done(Begin("SetReferenceUrl", {{"referenceUrl", BstrToJson(referenceUrl)}}), S_OK);
    }

private:
    CallOutcome Begin(const char* method, Json args) {
        args["contextUrl"] = m_url;
        return State().BeginCall(method, m_connection, std::move(args));
    }
    HRESULT Done(const CallOutcome& call, HRESULT outputResult) {
        return WithErrorInfo(call, Finish(call, outputResult), IID_IZelvarAuthContext);
    }

    unsigned m_connection;
    Json m_url;
};

class VpnAuthContext final : public ComObject, public IZelvarVpnAuthContext, public SupportsErrorInfo {
public:
    VpnAuthContext(unsigned connection, const Json& gateway)
        : SupportsErrorInfo(IID_IZelvarVpnAuthContext), m_connection(connection), m_gateway(gateway) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return QueryServiceObject<IZelvarVpnAuthContext>(this, iid, out);
    }
    ZV_STANDIN_REFERENCE_COUNTING

    HRESULT STDMETHODCALLTYPE GetVpnAuthorizationInfo(BSTR* firstString, BSTR* secondString, UINT* result) override {
        if (!firstString || !secondString || !result) return E_POINTER;
        auto call = State().BeginCall("GetVpnAuthorizationInfo", m_connection, {{"contextGateway", m_gateway}});
        *firstString = call.String("firstString", L"standin-vpn-user");
        *secondString = call.String("secondString", L"standin-vpn-token");
        *result = call.Uint("result", 0);
        return WithErrorInfo(call, call.hr, IID_IZelvarVpnAuthContext);
    }

private:
    unsigned m_connection;
    Json m_gateway;
};

// ---------------------------------------------------------------- connection

// The connection's one connection point, for _IZelvarEvents. An object of its
// own: marshalling an [out] IConnectionPoint asks the object for that
// interface, and the point keeps its container alive.
class EventConnectionPoint final : public ComObject, public IConnectionPoint {
public:
    EventConnectionPoint(IConnectionPointContainer* container, unsigned connection)
        : m_container(container), m_connection(connection) {
        m_container->AddRef();
    }
    ~EventConnectionPoint() override { m_container->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
            *out = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ZV_STANDIN_REFERENCE_COUNTING

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = DIID__IZelvarEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        *out = m_container;
        m_container->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        auto call = State().BeginCall("Advise", m_connection, Json::object());
        if (FAILED(call.hr)) return call.hr;
        // The sink is asked for the event interface itself, never for
        // IID_IDispatch: a sink may answer only IUnknown and the event DIID.
        IDispatch* events = nullptr;
        if (FAILED(sink->QueryInterface(DIID__IZelvarEvents, reinterpret_cast<void**>(&events))) || !events) {
            return CONNECT_E_CANNOTCONNECT;
        }
        HRESULT hr = State().AddSink(m_connection, events, cookie);
        events->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        auto call = State().BeginCall("Unadvise", m_connection, {{"cookie", cookie}});
        if (FAILED(call.hr)) return call.hr;
        return State().RemoveSink(m_connection, cookie);
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

private:
    IConnectionPointContainer* m_container;
    unsigned m_connection;
};

class Connection final : public ComObject,
                         public IZelvarConnection,
                         public IConnectionPointContainer,
                         public SupportsErrorInfo {
public:
    Connection() : SupportsErrorInfo(IID_IZelvarConnection), m_index(State().AddConnection()) {}
    ~Connection() override { State().RemoveConnection(m_index); }
    // A scripted "FinalRelease" runs as a call of its own inside the final
    // Release, while the sinks are still attached: its events report a last
    // status change as the object goes, and wait for the client's Invoke.
    void OnFinalRelease() override {
        if (State().Scripted("FinalRelease")) State().BeginCall("FinalRelease", m_index, Json::object());
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IZelvarConnection)) {
            *out = static_cast<IZelvarConnection*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ZV_STANDIN_REFERENCE_COUNTING

    // IZelvarConnection
    HRESULT STDMETHODCALLTYPE CreateConnection(BSTR clientIdentifier) override {
        auto call = Begin("CreateConnection", {{"clientIdentifier", BstrToJson(clientIdentifier)}});
        if (SUCCEEDED(call.hr)) State().SetClientIdentifier(m_index, BstrToJson(clientIdentifier));
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE CreateRequestContext(BSTR url, UINT contextFlags,
                                                   IZelvarAuthContext** authContext) override {
        if (!authContext) return E_POINTER;
        *authContext = nullptr;
        auto call = Begin("CreateRequestContext", {{"url", BstrToJson(url)}, {"contextFlags", contextFlags}});
        if (SUCCEEDED(call.hr) && !call.Has("authContext")) *authContext = new AuthContext(m_index, url);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE ClearAllCredentials() override {
        auto call = Begin("ClearAllCredentials", Json::object());
        if (SUCCEEDED(call.hr)) State().AdvanceAuthEpoch();
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE LogOff() override {
        auto call = Begin("LogOff", Json::object());
        if (SUCCEEDED(call.hr)) State().AdvanceAuthEpoch();
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE CancelAllCalls() override {
        auto call = Begin("CancelAllCalls", Json::object());
        if (SUCCEEDED(call.hr)) {
            HRESULT cancelled =
                JsonToHresult(call.entry.value("cancelledHr", Json()), HRESULT_FROM_WIN32(ERROR_CANCELLED));
            State().CancelHeld(m_index, cancelled);
        }
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE CreateVpnAuthContext(ZelvarGatewayInfo* gatewayInfo, UINT contextFlags,
                                                   IZelvarVpnAuthContext** vpnAuthContext) override {
        if (!vpnAuthContext) return E_POINTER;
        *vpnAuthContext = nullptr;
        Json gateway = GatewayToJson(gatewayInfo);
        auto call = Begin("CreateVpnAuthContext", {{"gatewayInfo", gateway}, {"contextFlags", contextFlags}});
        if (SUCCEEDED(call.hr) && !call.Has("vpnAuthContext")) *vpnAuthContext = new VpnAuthContext(m_index, gateway);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GenerateTrampolineUrl(BSTR targetUrl, UINT trampolineOptions, BSTR trampolineParameter,
                                                    BSTR* trampolineUrl, UINT* authenticationResult) override {
        if (!trampolineUrl || !authenticationResult) return E_POINTER;
        auto call = Begin("GenerateTrampolineUrl", {{"targetUrl", BstrToJson(targetUrl)},
                                                    {"trampolineOptions", trampolineOptions},
                                                    {"trampolineParameter", BstrToJson(trampolineParameter)}});
        std::wstring target = targetUrl ? std::wstring(targetUrl, SysStringLen(targetUrl)) : std::wstring();
        *trampolineUrl = call.String("trampolineUrl", L"https://trampoline.zelvar.test/go?target=" + target);
        *authenticationResult = call.Uint("authenticationResult", 13);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetVersion(BSTR* version) override {
        if (!version) return E_POINTER;
        auto call = Begin("GetVersion", Json::object());
        *version = call.String("version", kDefaultVersion);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetClientWindow(UINT window) override {
        return Done(Begin("SetClientWindow", {{"window", window}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE DetermineServerType(BSTR serverUrl, ZelvarServerTypeInfo* serverTypeInfo) override {
        if (!serverTypeInfo) return E_POINTER;
        *serverTypeInfo = ZelvarServerTypeInfo{};
        auto call = Begin("DetermineServerType", {{"serverUrl", BstrToJson(serverUrl)}});
        if (call.Has("serverTypeInfo")) {
            const Json& info = call.outputs["serverTypeInfo"];
            if (info.is_object()) {
                serverTypeInfo->serverType = JsonToUint(info.value("serverType", Json(0)), 0);
                JsonToGateway(info.value("gatewayInfo", Json()), serverTypeInfo->gatewayInfo);
            }
        } else if (SUCCEEDED(call.hr)) {
            serverTypeInfo->serverType = 1;
        }
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE RetrieveGatewayDiscoveryData(ZelvarGatewayInfo* gatewayInfo, UINT discoveryOptions,
                                                           BSTR* discoveryData, UINT* authenticationResult) override {
        if (!discoveryData || !authenticationResult) return E_POINTER;
        auto call = Begin("RetrieveGatewayDiscoveryData",
                          {{"gatewayInfo", GatewayToJson(gatewayInfo)}, {"discoveryOptions", discoveryOptions}});
        std::wstring url = gatewayInfo && gatewayInfo->gatewayUrl ? gatewayInfo->gatewayUrl : L"";
        *discoveryData = call.String("discoveryData", L"<discovery gateway=\"" + url + L"\"/>");
        *authenticationResult = call.Uint("authenticationResult", 13);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE LogOffGateway(ZelvarGatewayInfo* gatewayInfo) override {
        return Done(Begin("LogOffGateway", {{"gatewayInfo", GatewayToJson(gatewayInfo)}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE LogOffAuthService(BSTR authService) override {
        return Done(Begin("LogOffAuthService", {{"authService", BstrToJson(authService)}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetLogonStatus(BSTR authService, UINT* logonStatus) override {
        if (!logonStatus) return E_POINTER;
        auto call = Begin("GetLogonStatus", {{"authService", BstrToJson(authService)}});
        *logonStatus = call.Uint("logonStatus", 1);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE CreateZVHttpRequest(IZelvarHttpRequest** httpRequest) override {
        if (!httpRequest) return E_POINTER;
        *httpRequest = nullptr;
        auto call = Begin("CreateZVHttpRequest", Json::object());
        if (SUCCEEDED(call.hr) && !call.Has("httpRequest")) *httpRequest = CreateHttpRequestObject(m_index);
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetServerCertificate(BSTR url, UINT* trustFailureFlags,
                                                   SAFEARRAY** certificateBlock) override {
        if (!trustFailureFlags || !certificateBlock) return E_POINTER;
        auto call = Begin("GetServerCertificate", {{"url", BstrToJson(url)}});
        return Done(call, ServerCertificateOutputs(call, url, trustFailureFlags, certificateBlock));
    }
    HRESULT STDMETHODCALLTYPE GetAuthEpoch(UINT* epoch) override {
        if (!epoch) return E_POINTER;
        auto call = Begin("GetAuthEpoch", Json::object());
        *epoch = call.Uint("epoch", State().AuthEpoch());
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetSessionCookie(BSTR url, BSTR* sessionCookie) override {
        if (!sessionCookie) return E_POINTER;
        auto call = Begin("GetSessionCookie", {{"url", BstrToJson(url)}});
        *sessionCookie = call.String("sessionCookie", L"ZVSESSION=standin-session");
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetCookiesForDomain(BSTR domain, SAFEARRAY** cookies) override {
        if (!cookies) return E_POINTER;
        *cookies = nullptr;
        auto call = Begin("GetCookiesForDomain", {{"domain", BstrToJson(domain)}});
        HRESULT built = S_OK;
        if (call.Has("cookies")) {
            built = JsonToCookieArray(call.outputs["cookies"], cookies);
        } else if (SUCCEEDED(call.hr)) {
            built = JsonToCookieArray(Json(State().CookieJar()), cookies);
        }
        return Done(call, built);
    }
    HRESULT STDMETHODCALLTYPE AddCookies(SAFEARRAY** cookies) override {
        Json list = cookies ? CookieArrayToJson(*cookies) : Json();
        auto call = Begin("AddCookies", {{"cookies", list}});
        if (SUCCEEDED(call.hr) && list.is_array()) State().AddToCookieJar(list.get<std::vector<Json>>());
        return Done(call, S_OK);
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto call = Begin("FindConnectionPoint", Json::object());
        if (FAILED(call.hr)) return call.hr;
        if (!IsEqualIID(iid, DIID__IZelvarEvents)) return CONNECT_E_NOCONNECTION;
        *out = new (std::nothrow) EventConnectionPoint(this, m_index);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    CallOutcome Begin(const char* method, Json args) { return State().BeginCall(method, m_index, std::move(args)); }
    HRESULT Done(const CallOutcome& call, HRESULT outputResult) {
        return WithErrorInfo(call, Finish(call, outputResult), IID_IZelvarConnection);
    }

    const unsigned m_index;
};

}  // namespace

HRESULT CreateConnectionObject(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    Connection* connection = new (std::nothrow) Connection();
    if (!connection) return E_OUTOFMEMORY;
    HRESULT hr = connection->QueryInterface(iid, out);
    connection->Release();
    return hr;
}

}  // namespace ZelvarStandin
