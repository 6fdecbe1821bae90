// ZelvarSDK.hpp: a header-only C++17 layer over the nine interface tables of
// ZelvarSDK.dll (ZelvarSDK.h).
//
//   zv::Sdk sdk;                                  // loads the DLL, Initialize
//   zv::Connection connection = sdk.Connect(L"MyApp", [](const zv::StatusChange& change) {
//       // runs on the SDK's callback thread: never call the SDK from here
//   });
//   zv::RequestContext context = connection.CreateRequestContext(L"https://example.test/");
//   unsigned int authentication = context.Prepare();
//   std::vector<std::wstring> headers = context.Headers();
//   // ... leaving the scope destroys the context, the connection, then
//   // Uninitialize; the DLL is unloaded when nothing refers to it any more.
//
// Rules the types enforce:
// - Every failed operation throws zv::Error, which carries the ZVResult and
//   the operation's name.
// - Handles (Connection, RequestContext, VpnAuthContext, HttpRequest) and
//   certificates are move-only owners: each is destroyed exactly once, by its
//   last owner; a moved-from object owns nothing. A handle destroyed after
//   Uninitialize is harmless (the SDK has removed it already; handle numbers
//   are never reused within a process).
// - Every object keeps the DLL loaded while it exists, so Uninitialize
//   always comes before the unloading.
// - Strings, tables and records handed out by the SDK are copied into
//   std::wstring / std::vector and returned to the SDK's release operations
//   at once.
// - The status callback is a std::function, called on the SDK's one callback
//   thread, one change at a time, in the order the service reported them.
//   Calls into the SDK from that thread are refused (ZV_ERROR_FAILED). An
//   exception that leaves the callback is caught there and handed to the
//   handler set with zv::SetCallbackExceptionHandler (by default a line on
//   the debugger output, OutputDebugString). Destroying a Connection
//   stops its callbacks: once the destructor has returned, the function is
//   not called again.
//
// Operations forward straight to the tables; the wrapper's own work per call
// is a comparison of the result and the copying of outputs.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ZelvarSDK.h"

namespace zv {

using BrennicZelvarSDK::ZVResult;

// The name of a ZVResult ("ZV_ERROR_INVALID_HANDLE"), or "service code" for
// the values the service defines.
inline const char* ResultName(ZVResult result) noexcept {
    using namespace BrennicZelvarSDK;
    switch (result) {
        case ZV_SUCCESS:
            return "ZV_SUCCESS";
        case ZV_ERROR_CERTIFICATE_DUPLICATE_FAILED:
            return "ZV_ERROR_CERTIFICATE_DUPLICATE_FAILED";
        case ZV_ERROR_CERTIFICATE_FREE_FAILED:
            return "ZV_ERROR_CERTIFICATE_FREE_FAILED";
        case ZV_ERROR_SERVICE_CODE_201:
            return "ZV_ERROR_SERVICE_CODE_201";
        case ZV_ERROR_SERVICE_CODE_200:
            return "ZV_ERROR_SERVICE_CODE_200";
        case ZV_ERROR_FAILED:
            return "ZV_ERROR_FAILED";
        case ZV_ERROR_CANCELLED:
            return "ZV_ERROR_CANCELLED";
        case ZV_ERROR_SERVICE_UNAVAILABLE:
            return "ZV_ERROR_SERVICE_UNAVAILABLE";
        case ZV_ERROR_OUT_OF_MEMORY:
            return "ZV_ERROR_OUT_OF_MEMORY";
        case ZV_ERROR_INVALID_HANDLE:
            return "ZV_ERROR_INVALID_HANDLE";
        case ZV_ERROR_INVALID_PARAMETER:
            return "ZV_ERROR_INVALID_PARAMETER";
        case ZV_ERROR_NOT_INITIALIZED:
            return "ZV_ERROR_NOT_INITIALIZED";
        default:
            return "service code";
    }
}

// A failed operation: its ZVResult and the name of the operation.
class Error : public std::runtime_error {
public:
    Error(ZVResult result, const char* operation)
        : std::runtime_error(std::string(operation) + " failed: " + ResultName(result) + " (" + std::to_string(result) +
                             ")"),
          result_(result),
          operation_(operation) {}
    ZVResult Result() const noexcept { return result_; }
    const char* Operation() const noexcept { return operation_; }

private:
    ZVResult result_;
    const char* operation_;  // always a string literal
};

inline void Check(ZVResult result, const char* operation) {
    if (result != BrennicZelvarSDK::ZV_SUCCESS) throw Error(result, operation);
}

// A string argument that may be null (the SDK passes null on to the service).
class OptionalString {
public:
    OptionalString(std::nullptr_t = nullptr) noexcept {}
    OptionalString(const wchar_t* text) noexcept : text_(text) {}
    OptionalString(const std::wstring& text) noexcept : text_(text.c_str()) {}
    const wchar_t* Get() const noexcept { return text_; }

private:
    const wchar_t* text_ = nullptr;
};

struct StatusChange {
    unsigned int connectionHandle;
    unsigned int status;
    int window;
};
using StatusCallback = std::function<void(const StatusChange&)>;

struct Gateway {
    std::optional<std::wstring> gatewayString;
    std::optional<std::wstring> gatewayUrl;
    unsigned int gatewayValue1 = 0;
    unsigned int gatewayValue2 = 0;
    unsigned int gatewayValue3 = 0;
};

struct Cookie {
    std::wstring string1, string2, string3, string4;
    bool flag1 = false, flag2 = false, flag3 = false, flag4 = false;
    long long value64 = 0;
    unsigned int value32 = 0;
};

struct VpnAuthorizationInfo {
    unsigned int result = 0;
    std::wstring firstString;
    std::wstring secondString;
};

struct ServerType {
    unsigned int serverType = 0;
    std::optional<Gateway> gateway;  // set exactly for server type 2
};

// The outcome of an operation that hands out a string only for
// authentication result 13.
struct AuthenticatedString {
    unsigned int authenticationResult = 0;
    std::optional<std::wstring> value;
};

namespace detail {

using namespace BrennicZelvarSDK;

// The loaded DLL and its nine tables; shared by every object of the layer,
// so that the DLL stays loaded until the last of them is gone.
struct Module {
    HMODULE module = nullptr;
    ZVImplementationV1Interface* v1 = nullptr;
    ZVImplementationV2Interface* v2 = nullptr;
    ZVImplementationV3Interface* v3 = nullptr;
    ZVImplementationV4Interface* v4 = nullptr;
    ZVImplementationV5Interface* v5 = nullptr;
    ZVImplementationV6Interface* v6 = nullptr;
    ZVImplementationV7Interface* v7 = nullptr;
    ZVImplementationV8Interface* v8 = nullptr;
    ZVImplementationV9Interface* v9 = nullptr;

    // An empty path loads "ZelvarSDK.dll" from the program's own folder or
    // System32 only: the current directory and PATH are not searched, so a
    // DLL of that name planted there is never loaded. A path given is used as
    // given (LoadLibraryW's rules).
    explicit Module(const std::wstring& path) {
        module = path.empty() ? LoadLibraryExW(L"ZelvarSDK.dll", nullptr,
                                               LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)
                              : LoadLibraryW(path.c_str());
        if (!module) throw Error(ZV_ERROR_FAILED, "LoadLibrary");
        auto query =
            reinterpret_cast<ZVQueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(module, "QueryInterface")));
        if (!query) {
            FreeLibrary(module);
            throw Error(ZV_ERROR_FAILED, "GetProcAddress(QueryInterface)");
        }
        void* tables[9] = {};
        const wchar_t* ids[9] = {ZV_IID_V1, ZV_IID_V2, ZV_IID_V3, ZV_IID_V4, ZV_IID_V5,
                                 ZV_IID_V6, ZV_IID_V7, ZV_IID_V8, ZV_IID_V9};
        for (int i = 0; i < 9; ++i) {
            if (!query(ids[i], &tables[i]) || !tables[i]) {
                FreeLibrary(module);
                throw Error(ZV_ERROR_FAILED, "QueryInterface");
            }
        }
        v1 = static_cast<ZVImplementationV1Interface*>(tables[0]);
        v2 = static_cast<ZVImplementationV2Interface*>(tables[1]);
        v3 = static_cast<ZVImplementationV3Interface*>(tables[2]);
        v4 = static_cast<ZVImplementationV4Interface*>(tables[3]);
        v5 = static_cast<ZVImplementationV5Interface*>(tables[4]);
        v6 = static_cast<ZVImplementationV6Interface*>(tables[5]);
        v7 = static_cast<ZVImplementationV7Interface*>(tables[6]);
        v8 = static_cast<ZVImplementationV8Interface*>(tables[7]);
        v9 = static_cast<ZVImplementationV9Interface*>(tables[8]);
    }
    ~Module() { FreeLibrary(module); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
};
using ModulePtr = std::shared_ptr<const Module>;

// Runs a function when the scope ends (releases the SDK's blocks after the
// copy, also when the copy throws).
template <class F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};
template <class F>
Finally<F> OnExit(F f) {
    return Finally<F>(std::move(f));
}

inline std::wstring Copy(const ZVChar* text) {
    return text ? std::wstring(text) : std::wstring();
}

// A string or string table of the SDK: copied, then released with the
// single-block release operation.
inline std::wstring TakeString(const Module& m, ZVChar* text) {
    auto release = OnExit([&] { m.v1->FreeTranslatedUrl(text); });
    return Copy(text);
}
inline std::vector<std::wstring> TakeTable(const Module& m, ZVChar** table) {
    auto release = OnExit([&] { m.v1->FreeHeaders(table); });
    std::vector<std::wstring> out;
    for (ZVChar** p = table; p && *p; ++p) out.emplace_back(*p);
    return out;
}

// A null-terminated string list over the caller's strings.
inline std::vector<const ZVChar*> StringList(const std::vector<std::wstring>& strings) {
    std::vector<const ZVChar*> list;
    list.reserve(strings.size() + 1);
    for (const auto& s : strings) list.push_back(s.c_str());
    list.push_back(nullptr);
    return list;
}

// The raw gateway record over a Gateway (valid while the Gateway lives).
inline _ZV_GATEWAY_INFO RawGateway(const Gateway& g) {
    auto text = [](const std::optional<std::wstring>& s) {
        return s ? const_cast<ZVChar*>(s->c_str()) : static_cast<ZVChar*>(nullptr);
    };
    return _ZV_GATEWAY_INFO{text(g.gatewayString), text(g.gatewayUrl), g.gatewayValue1, g.gatewayValue2,
                            g.gatewayValue3};
}
inline Gateway CopyGateway(const _ZV_GATEWAY_INFO& raw) {
    Gateway g;
    if (raw.gatewayString) g.gatewayString = raw.gatewayString;
    if (raw.gatewayUrl) g.gatewayUrl = raw.gatewayUrl;
    g.gatewayValue1 = raw.gatewayValue1;
    g.gatewayValue2 = raw.gatewayValue2;
    g.gatewayValue3 = raw.gatewayValue3;
    return g;
}

// AddCookies takes over blocks that the SDK frees with its C runtime's free:
// they must come from that runtime's malloc. The SDK is built against
// msvcrt.dll; an application on another runtime (MSVC's UCRT) reaches the
// same heap through msvcrt.dll's own malloc.
inline void* SdkMalloc(size_t bytes) {
    using MallocFn = void*(__cdecl*)(size_t);
    static const MallocFn sdkMalloc = [] {
        HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
        FARPROC f = crt ? GetProcAddress(crt, "malloc") : nullptr;
        return f ? reinterpret_cast<MallocFn>(reinterpret_cast<void*>(f)) : static_cast<MallocFn>(std::malloc);
    }();
    void* block = sdkMalloc(bytes ? bytes : 1);
    if (!block) throw std::bad_alloc();
    return block;
}

// Status callbacks are found by a number, not by a pointer: a connection
// that is gone can never leave the SDK with a dangling context.
class CallbackRegistry {
public:
    using ExceptionHandler = std::function<void(const StatusChange&, std::exception_ptr)>;

public:
    static CallbackRegistry& Instance() {
        static CallbackRegistry registry;
        return registry;
    }
    void SetExceptionHandler(ExceptionHandler handler) {
        auto shared = handler ? std::make_shared<const ExceptionHandler>(std::move(handler)) : nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        exceptionHandler_.swap(shared);
    }
    std::uintptr_t Add(StatusCallback callback) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t id = ++last_;
        callbacks_.emplace(id, std::make_shared<const StatusCallback>(std::move(callback)));
        return id;
    }
    void Remove(std::uintptr_t id) {
        std::shared_ptr<const StatusCallback> last;  // released outside the lock
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = callbacks_.find(id);
        if (it == callbacks_.end()) return;
        last = std::move(it->second);
        callbacks_.erase(it);
    }
    static void Deliver(unsigned int handle, void* context, unsigned int status, int window) {
        std::shared_ptr<const StatusCallback> callback;
        {
            CallbackRegistry& self = Instance();
            std::lock_guard<std::mutex> lock(self.mutex_);
            auto it = self.callbacks_.find(reinterpret_cast<std::uintptr_t>(context));
            if (it == self.callbacks_.end()) return;
            callback = it->second;
        }
        const StatusChange change{handle, status, window};
        try {
            (*callback)(change);
        } catch (...) {
            // Nothing may leave the callback into the SDK's thread: the
            // exception goes to the application's handler instead.
            Instance().Report(change, std::current_exception());
        }
    }

private:
    void Report(const StatusChange& change, std::exception_ptr exception) noexcept {
        std::shared_ptr<const ExceptionHandler> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handler = exceptionHandler_;
        }
        try {
            if (handler) return (*handler)(change, exception);
            std::string what = "an exception that is not a std::exception";
            try {
                std::rethrow_exception(exception);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            const std::string line = "ZelvarSDK.hpp: the status callback of connection " +
                                     std::to_string(change.connectionHandle) + " threw: " + what + "\n";
            OutputDebugStringA(line.c_str());
        } catch (...) {
            // A handler that throws itself is not called again for this change.
        }
    }

    std::mutex mutex_;
    std::shared_ptr<const ExceptionHandler> exceptionHandler_;
    std::uintptr_t last_ = 0;
    std::unordered_map<std::uintptr_t, std::shared_ptr<const StatusCallback>> callbacks_;
};

// One registered callback, removed when its owner goes.
class CallbackSlot {
public:
    CallbackSlot() = default;
    explicit CallbackSlot(std::uintptr_t id) noexcept : id_(id) {}
    CallbackSlot(CallbackSlot&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
    CallbackSlot& operator=(CallbackSlot&& other) noexcept {
        if (this != &other) {
            Reset();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~CallbackSlot() { Reset(); }
    void Reset() noexcept {
        if (id_) CallbackRegistry::Instance().Remove(std::exchange(id_, 0));
    }

private:
    std::uintptr_t id_ = 0;
};

// Owns one value the SDK handed out (a handle, a certificate) and gives it
// back exactly once, through Free, when its last owner goes.
template <class T, void (*Free)(const Module&, T)>
class Owned {
public:
    Owned() = default;
    Owned(ModulePtr module, T value) noexcept : module_(std::move(module)), value_(value) {}
    Owned(Owned&& other) noexcept : module_(std::move(other.module_)), value_(std::exchange(other.value_, T{})) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Reset();
            module_ = std::move(other.module_);
            value_ = std::exchange(other.value_, T{});
        }
        return *this;
    }
    ~Owned() { Reset(); }

    // Gives the value back now; the object then owns nothing. The SDK's
    // result is not reported (after Uninitialize the SDK has destroyed its
    // handles itself).
    void Reset() noexcept {
        if (value_) Free(*module_, std::exchange(value_, T{}));
        module_.reset();
    }
    // Gives up ownership: the caller gives the value back with the raw table.
    T Release() noexcept {
        module_.reset();
        return std::exchange(value_, T{});
    }
    T Get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != T{}; }

protected:
    // The module while a value is owned; an empty object refuses every operation.
    const Module& M(const char* operation) const {
        if (!value_) throw Error(ZV_ERROR_INVALID_HANDLE, operation);
        return *module_;
    }
    const ModulePtr& SharedModule() const noexcept { return module_; }

private:
    ModulePtr module_;
    T value_{};
};

template <void (*Destroy)(const Module&, unsigned int)>
class OwnedHandle : public Owned<unsigned int, Destroy> {
public:
    using Owned<unsigned int, Destroy>::Owned;
    unsigned int Handle() const noexcept { return this->Get(); }
};

inline void DestroyConnection(const Module& m, unsigned int h) {
    m.v1->DestroyConnection(h);
}
inline void DestroyRequestContext(const Module& m, unsigned int h) {
    m.v1->DestroyRequestContext(h);
}
inline void DestroyVpnAuthContext(const Module& m, unsigned int h) {
    m.v2->DestroyVpnAuthContext(h);
}
inline void DestroyHttpRequest(const Module& m, unsigned int h) {
    m.v5->DestroyZVHttpRequest(h);
}
inline void FreeCertificate(const Module& m, PCCERT_CONTEXT c) {
    m.v5->FreeCertificate(c);
}

}  // namespace detail

// A server certificate (a CryptoAPI context), freed with the SDK's
// FreeCertificate when its owner goes.
class Certificate : public detail::Owned<PCCERT_CONTEXT, detail::FreeCertificate> {
public:
    using Owned::Owned;

    Certificate Duplicate() const {
        if (!Get()) return Certificate();
        PCCERT_CONTEXT copy = nullptr;
        Check(M("DuplicateCertificate").v5->DuplicateCertificate(Get(), &copy), "DuplicateCertificate");
        return Certificate(SharedModule(), copy);
    }
    // Distinguished names as X.500 text ("CN=host, O=Org").
    std::wstring Subject() const { return Name(&Info().Subject); }
    std::wstring Issuer() const { return Name(&Info().Issuer); }
    FILETIME NotBefore() const { return Info().NotBefore; }
    FILETIME NotAfter() const { return Info().NotAfter; }
    // The SHA-1 thumbprint: 20 bytes.
    std::vector<unsigned char> Sha1Thumbprint() const {
        std::vector<unsigned char> hash(20);
        DWORD size = static_cast<DWORD>(hash.size());
        Info();
        if (!CertGetCertificateContextProperty(Get(), CERT_SHA1_HASH_PROP_ID, hash.data(), &size))
            throw Error(BrennicZelvarSDK::ZV_ERROR_FAILED, "CertGetCertificateContextProperty");
        hash.resize(size);
        return hash;
    }

private:
    const CERT_INFO& Info() const {
        M("Certificate");
        return *Get()->pCertInfo;
    }
    std::wstring Name(const CERT_NAME_BLOB* name) const {
        auto* blob = const_cast<CERT_NAME_BLOB*>(name);  // some SDK headers lack the const
        DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
        DWORD size = CertNameToStrW(X509_ASN_ENCODING, blob, flags, nullptr, 0);
        std::wstring text(size, L'\0');
        CertNameToStrW(X509_ASN_ENCODING, blob, flags, text.data(), size);
        if (!text.empty()) text.resize(size - 1);
        return text;
    }
};

struct ServerCertificate {
    Certificate certificate;  // empty when the service had none
    unsigned int trustFailureFlags = 0;
};

class RequestContext : public detail::OwnedHandle<detail::DestroyRequestContext> {
public:
    using OwnedHandle::OwnedHandle;

    // Has the service authenticate the request; returns the authentication result.
    unsigned int Prepare(const std::vector<std::wstring>& strings = {}) {
        auto list = detail::StringList(strings);
        unsigned int result = 0;
        Check(M("Prepare").v1->Prepare(Handle(), list.data(), &result), "Prepare");
        return result;
    }
    unsigned int Prepare2() {
        unsigned int result = 0;
        Check(M("Prepare2").v2->Prepare2(Handle(), &result), "Prepare2");
        return result;
    }
    // The header lines to add to the application's own request.
    std::vector<std::wstring> Headers() {
        const auto& m = M("GetHeaders");
        BrennicZelvarSDK::ZVChar** table = nullptr;
        Check(m.v1->GetHeaders(Handle(), &table), "GetHeaders");
        return detail::TakeTable(m, table);
    }
    std::wstring TranslatedUrl() {
        const auto& m = M("GetTranslatedUrl");
        BrennicZelvarSDK::ZVChar* url = nullptr;
        Check(m.v1->GetTranslatedUrl(Handle(), &url), "GetTranslatedUrl");
        return detail::TakeString(m, url);
    }
    void ReportHttpResponse(unsigned int responseCode, const std::vector<std::wstring>& strings = {}) {
        auto list = detail::StringList(strings);
        Check(M("ReportHttpResponse").v2->ReportHttpResponse(Handle(), responseCode, list.data()),
              "ReportHttpResponse");
    }
    void ReportHttpFailure(unsigned int failureCode) {
        Check(M("ReportHttpFailure").v2->ReportHttpFailure(Handle(), failureCode), "ReportHttpFailure");
    }
    void ForceRoute(const Gateway& gateway) {
        auto raw = detail::RawGateway(gateway);
        Check(M("ForceRoute").v2->ForceRoute(Handle(), &raw), "ForceRoute");
    }
    void SetReferenceUrl(OptionalString url) {
        Check(M("SetReferenceUrl").v3->SetReferenceUrl(Handle(), url.Get()), "SetReferenceUrl");
    }
};

class VpnAuthContext : public detail::OwnedHandle<detail::DestroyVpnAuthContext> {
public:
    using OwnedHandle::OwnedHandle;

    VpnAuthorizationInfo AuthorizationInfo() {
        const auto& m = M("GetVpnAuthorizationInfo");
        BrennicZelvarSDK::_ZV_VPN_AUTHORIZATION_INFO* info = nullptr;
        Check(m.v2->GetVpnAuthorizationInfo(Handle(), &info), "GetVpnAuthorizationInfo");
        auto release = detail::OnExit([&] { m.v2->FreeVpnAuthorizationInfo(info); });
        if (!info) return {};
        return VpnAuthorizationInfo{info->result, detail::Copy(info->firstString), detail::Copy(info->secondString)};
    }
};

class HttpRequest : public detail::OwnedHandle<detail::DestroyHttpRequest> {
public:
    using OwnedHandle::OwnedHandle;

    void AddHeader(const std::wstring& header) {
        Check(M("AddRequestHeader").v5->AddRequestHeader(Handle(), header.c_str()), "AddRequestHeader");
    }
    void SetMethod(const std::wstring& method) {
        Check(M("SetRequestMethod").v5->SetRequestMethod(Handle(), method.c_str()), "SetRequestMethod");
    }
    void SetUrl(const std::wstring& url) {
        Check(M("SetRequestUrl").v5->SetRequestUrl(Handle(), url.c_str()), "SetRequestUrl");
    }
    void SetReferenceUrl(OptionalString url) {
        Check(M("SetRequestReferenceUrl").v5->SetRequestReferenceUrl(Handle(), url.Get()), "SetRequestReferenceUrl");
    }
    void SetAuthenticationFlags(unsigned int flags) {
        Check(M("SetRequestAuthenticationFlags").v5->SetRequestAuthenticationFlags(Handle(), flags),
              "SetRequestAuthenticationFlags");
    }
    void SetUserAgentSuffix(const std::wstring& suffix) {
        Check(M("SetRequestUserAgentSuffix").v5->SetRequestUserAgentSuffix(Handle(), suffix.c_str()),
              "SetRequestUserAgentSuffix");
    }
    void SetData(const void* bytes, size_t count) {
        if (count > (std::numeric_limits<unsigned int>::max)())
            throw Error(BrennicZelvarSDK::ZV_ERROR_INVALID_PARAMETER, "SetRequestData");
        Check(M("SetRequestData")
                  .v5->SetRequestData(Handle(), static_cast<const unsigned char*>(bytes),
                                      static_cast<unsigned int>(count)),
              "SetRequestData");
    }
    void SetData(const std::vector<unsigned char>& bytes) { SetData(bytes.data(), bytes.size()); }
    void SetRoute(const Gateway& gateway) {
        auto raw = detail::RawGateway(gateway);
        Check(M("SetRequestRoute").v5->SetRequestRoute(Handle(), &raw), "SetRequestRoute");
    }
    void SetTimeoutSeconds(unsigned int seconds) {
        Check(M("SetRequestTimeoutSeconds").v5->SetRequestTimeoutSeconds(Handle(), seconds),
              "SetRequestTimeoutSeconds");
    }
    void Send() {
        Check(M("SendRequestAndReceiveResponse").v5->SendRequestAndReceiveResponse(Handle()),
              "SendRequestAndReceiveResponse");
    }
    unsigned int StatusCode() {
        unsigned int code = 0;
        Check(M("GetResponseStatusCode").v5->GetResponseStatusCode(Handle(), &code), "GetResponseStatusCode");
        return code;
    }
    std::wstring ReasonPhrase() {
        const auto& m = M("GetResponseReasonPhrase");
        BrennicZelvarSDK::ZVChar* phrase = nullptr;
        Check(m.v5->GetResponseReasonPhrase(Handle(), &phrase), "GetResponseReasonPhrase");
        return detail::TakeString(m, phrase);
    }
    std::vector<std::wstring> Headers() {
        const auto& m = M("GetResponseHeaders");
        BrennicZelvarSDK::ZVChar** table = nullptr;
        Check(m.v5->GetResponseHeaders(Handle(), &table), "GetResponseHeaders");
        return detail::TakeTable(m, table);
    }
    Certificate ServerCertificate() {
        PCCERT_CONTEXT context = nullptr;
        Check(M("GetResponseServerCertificate").v5->GetResponseServerCertificate(Handle(), &context),
              "GetResponseServerCertificate");
        return Certificate(SharedModule(), context);
    }
    unsigned int TrustFailureFlags() {
        unsigned int flags = 0;
        Check(M("GetResponseTrustFailureFlags").v5->GetResponseTrustFailureFlags(Handle(), &flags),
              "GetResponseTrustFailureFlags");
        return flags;
    }
    // Reads the next part of the body into the buffer; 0 at the end.
    unsigned int Read(void* buffer, unsigned int size) {
        unsigned int got = 0;
        Check(M("ReadResponseBodyStream")
                  .v5->ReadResponseBodyStream(Handle(), static_cast<unsigned char*>(buffer), size, &got),
              "ReadResponseBodyStream");
        return got;
    }
    std::vector<unsigned char> ReadAll() {
        std::vector<unsigned char> body;
        unsigned char buffer[64 * 1024];
        while (unsigned int got = Read(buffer, sizeof buffer)) body.insert(body.end(), buffer, buffer + got);
        return body;
    }
    std::wstring SecondaryToken() {
        const auto& m = M("GetSecondaryToken");
        BrennicZelvarSDK::ZVChar* token = nullptr;
        Check(m.v7->GetSecondaryToken(Handle(), &token), "GetSecondaryToken");
        return detail::TakeString(m, token);
    }
};

class Connection : public detail::OwnedHandle<detail::DestroyConnection> {
public:
    Connection() = default;
    Connection(detail::ModulePtr module, unsigned int handle, detail::CallbackSlot callback) noexcept
        : OwnedHandle(std::move(module), handle), callback_(std::move(callback)) {}

    RequestContext CreateRequestContext(const std::wstring& url, unsigned int contextFlags = 0) {
        unsigned int handle = 0;
        Check(M("CreateRequestContext").v1->CreateRequestContext(Handle(), url.c_str(), contextFlags, &handle),
              "CreateRequestContext");
        return RequestContext(SharedModule(), handle);
    }
    VpnAuthContext CreateVpnAuthContext(const Gateway& gateway, unsigned int contextFlags = 0) {
        auto raw = detail::RawGateway(gateway);
        unsigned int handle = 0;
        Check(M("CreateVpnAuthContext").v2->CreateVpnAuthContext(Handle(), &raw, contextFlags, &handle),
              "CreateVpnAuthContext");
        return VpnAuthContext(SharedModule(), handle);
    }
    HttpRequest CreateHttpRequest() {
        unsigned int handle = 0;
        Check(M("CreateZVHttpRequest").v5->CreateZVHttpRequest(Handle(), &handle), "CreateZVHttpRequest");
        return HttpRequest(SharedModule(), handle);
    }

    void ClearAllCredentials() {
        Check(M("ClearAllCredentials").v1->ClearAllCredentials(Handle()), "ClearAllCredentials");
    }
    void CancelAllCalls() { Check(M("CancelAllCalls").v1->CancelAllCalls(Handle()), "CancelAllCalls"); }
    void LogOff() { Check(M("LogOff").v1->LogOff(Handle()), "LogOff"); }
    void LogOffGateway(const Gateway& gateway) {
        auto raw = detail::RawGateway(gateway);
        Check(M("LogOffGateway").v4->LogOffGateway(Handle(), &raw), "LogOffGateway");
    }
    void LogOffAuthService(OptionalString authService) {
        Check(M("LogOffAuthService").v4->LogOffAuthService(Handle(), authService.Get()), "LogOffAuthService");
    }
    unsigned int LogonStatus(OptionalString authService = nullptr) {
        unsigned int status = 0;
        Check(M("GetLogonStatus").v4->GetLogonStatus(Handle(), authService.Get(), &status), "GetLogonStatus");
        return status;
    }
    std::wstring Version() {
        const auto& m = M("GetVersion");
        BrennicZelvarSDK::ZVChar* version = nullptr;
        Check(m.v3->GetVersion(Handle(), &version), "GetVersion");
        return detail::TakeString(m, version);
    }
    void SetClientWindow(HWND window) {
        Check(M("SetClientWindow").v3->SetClientWindow(Handle(), window), "SetClientWindow");
    }
    ServerType DetermineServerType(OptionalString serverUrl) {
        const auto& m = M("DetermineServerType");
        BrennicZelvarSDK::_ZV_SERVER_TYPE_INFO* info = nullptr;
        Check(m.v3->DetermineServerType(Handle(), serverUrl.Get(), &info), "DetermineServerType");
        auto release = detail::OnExit([&] { m.v3->FreeServerTypeInfo(info); });
        ServerType out;
        if (info) {
            out.serverType = info->serverType;
            if (info->gatewayInfo) out.gateway = detail::CopyGateway(*info->gatewayInfo);
        }
        return out;
    }
    AuthenticatedString GenerateTrampolineUrl(OptionalString targetUrl, unsigned int options = 0,
                                              OptionalString parameter = nullptr) {
        const auto& m = M("GenerateTrampolineUrl");
        BrennicZelvarSDK::ZVChar* url = nullptr;
        AuthenticatedString out;
        Check(m.v3->GenerateTrampolineUrl(Handle(), targetUrl.Get(), options, parameter.Get(), &url,
                                          &out.authenticationResult),
              "GenerateTrampolineUrl");
        if (url) out.value = detail::TakeString(m, url);
        return out;
    }
    AuthenticatedString RetrieveGatewayDiscoveryData(const Gateway& gateway, unsigned int options = 0) {
        const auto& m = M("RetrieveGatewayDiscoveryData");
        auto raw = detail::RawGateway(gateway);
        BrennicZelvarSDK::ZVChar* data = nullptr;
        AuthenticatedString out;
        Check(m.v3->RetrieveGatewayDiscoveryData(Handle(), &raw, options, &data, &out.authenticationResult),
              "RetrieveGatewayDiscoveryData");
        if (data) out.value = detail::TakeString(m, data);
        return out;
    }
    ServerCertificate GetServerCertificate(OptionalString url) {
        PCCERT_CONTEXT context = nullptr;
        ServerCertificate out;
        Check(M("GetServerCertificate").v5->GetServerCertificate(Handle(), url.Get(), &context, &out.trustFailureFlags),
              "GetServerCertificate");
        out.certificate = Certificate(SharedModule(), context);
        return out;
    }
    unsigned int AuthEpoch() {
        unsigned int epoch = 0;
        Check(M("GetAuthEpoch").v6->GetAuthEpoch(Handle(), &epoch), "GetAuthEpoch");
        return epoch;
    }
    std::wstring SessionCookie(OptionalString url = nullptr) {
        const auto& m = M("GetSessionCookie");
        BrennicZelvarSDK::ZVChar* cookie = nullptr;
        Check(m.v8->GetSessionCookie(Handle(), url.Get(), &cookie), "GetSessionCookie");
        return detail::TakeString(m, cookie);
    }
    std::vector<Cookie> CookiesForDomain(OptionalString domain) {
        const auto& m = M("GetCookiesForDomain");
        BrennicZelvarSDK::_ZV_COOKIE_DATA* array = nullptr;
        unsigned int count = 0;
        Check(m.v9->GetCookiesForDomain(Handle(), domain.Get(), &array, &count), "GetCookiesForDomain");
        auto release = detail::OnExit([&] { m.v9->FreeCookieDataArray(array, count); });
        std::vector<Cookie> cookies;
        for (unsigned int i = 0; array && i < count; ++i) {
            const auto& c = array[i];
            cookies.push_back(Cookie{detail::Copy(c.string1), detail::Copy(c.string2), detail::Copy(c.string3),
                                     detail::Copy(c.string4), c.flag1 != 0, c.flag2 != 0, c.flag3 != 0, c.flag4 != 0,
                                     c.value64, c.value32});
        }
        return cookies;
    }
    // Hands copies of the cookies to the service (the SDK takes over and
    // frees the copies, also when the call fails).
    void AddCookies(const std::vector<Cookie>& cookies) {
        using BrennicZelvarSDK::_ZV_COOKIE_DATA;
        const auto& m = M("AddCookies");
        if (cookies.size() > (std::numeric_limits<unsigned int>::max)() / sizeof(_ZV_COOKIE_DATA))
            throw Error(BrennicZelvarSDK::ZV_ERROR_INVALID_PARAMETER, "AddCookies");
        const size_t count = cookies.size();
        auto* array = static_cast<_ZV_COOKIE_DATA*>(detail::SdkMalloc(count * sizeof(_ZV_COOKIE_DATA)));
        std::memset(array, 0, count * sizeof(_ZV_COOKIE_DATA));
        bool handedOver = false;
        auto release = detail::OnExit([&] {
            if (!handedOver) m.v9->FreeCookieDataArray(array, static_cast<unsigned int>(count));
        });
        auto text = [](const std::wstring& s) {
            auto* copy = static_cast<wchar_t*>(detail::SdkMalloc((s.size() + 1) * sizeof(wchar_t)));
            std::memcpy(copy, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
            return copy;
        };
        for (size_t i = 0; i < count; ++i) {
            const Cookie& c = cookies[i];
            _ZV_COOKIE_DATA& r = array[i];
            r.string1 = text(c.string1);
            r.string2 = text(c.string2);
            r.string3 = text(c.string3);
            r.string4 = text(c.string4);
            r.flag1 = c.flag1;
            r.flag2 = c.flag2;
            r.flag3 = c.flag3;
            r.flag4 = c.flag4;
            r.value64 = c.value64;
            r.value32 = c.value32;
        }
        handedOver = true;
        Check(m.v9->AddCookies(Handle(), array, static_cast<unsigned int>(count)), "AddCookies");
    }

private:
    detail::CallbackSlot callback_;
};

// Where an exception that leaves a status callback goes: the handler is
// called on the SDK's callback thread with the change and the exception (an
// empty function restores the default, a line on the debugger output). It
// must not throw and, like the callback, must not call the SDK.
inline void SetCallbackExceptionHandler(std::function<void(const StatusChange&, std::exception_ptr)> handler) {
    detail::CallbackRegistry::Instance().SetExceptionHandler(std::move(handler));
}

// The loaded and initialised SDK. Construction loads the DLL (by the path
// given as given; without one "ZelvarSDK.dll" from the program's own folder
// or System32, never the current directory or PATH) and calls Initialize;
// destruction calls the matching Uninitialize. Handles may outlive it: they
// keep the DLL loaded and their destruction is then a no-op in the SDK.
class Sdk {
public:
    explicit Sdk(const std::wstring& dllPath = std::wstring())
        : module_(std::make_shared<const detail::Module>(dllPath)) {
        Check(module_->v1->Initialize(), "Initialize");
        initialized_ = true;
    }
    Sdk(Sdk&& other) noexcept
        : module_(std::move(other.module_)), initialized_(std::exchange(other.initialized_, false)) {}
    Sdk& operator=(Sdk&& other) noexcept {
        if (this != &other) {
            Shutdown();
            module_ = std::move(other.module_);
            initialized_ = std::exchange(other.initialized_, false);
        }
        return *this;
    }
    ~Sdk() { Shutdown(); }

    // Uninitialize now (also done by the destructor); later operations of
    // this object's handles fail with ZV_ERROR_NOT_INITIALIZED.
    void Shutdown() noexcept {
        if (std::exchange(initialized_, false)) module_->v1->Uninitialize();
    }

    // Opens a connection to the service. The callback, when given, receives
    // the connection's status changes on the SDK's callback thread.
    Connection Connect(const std::wstring& clientName, StatusCallback callback = {}) {
        detail::CallbackSlot slot;
        void* context = nullptr;
        BrennicZelvarSDK::ZVStatusChangeCallback raw = nullptr;
        if (callback) {
            std::uintptr_t id = detail::CallbackRegistry::Instance().Add(std::move(callback));
            slot = detail::CallbackSlot(id);
            context = reinterpret_cast<void*>(id);
            raw = &detail::CallbackRegistry::Deliver;
        }
        unsigned int handle = 0;
        Check(module_->v1->CreateConnection(clientName.c_str(), raw, context, &handle), "CreateConnection");
        return Connection(module_, handle, std::move(slot));
    }

    // The full path of the loaded DLL.
    std::wstring ModulePath() const {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD n = GetModuleFileNameW(module_->module, path.data(), static_cast<DWORD>(path.size()));
            if (n < path.size()) return path.substr(0, n);
            path.resize(path.size() * 2);
        }
    }

    // The raw tables, for what the layer does not cover.
    BrennicZelvarSDK::ZVImplementationV1Interface& V1() const noexcept { return *module_->v1; }
    BrennicZelvarSDK::ZVImplementationV5Interface& V5() const noexcept { return *module_->v5; }
    BrennicZelvarSDK::ZVImplementationV9Interface& V9() const noexcept { return *module_->v9; }

private:
    detail::ModulePtr module_;
    bool initialized_ = false;
};

}  // namespace zv
