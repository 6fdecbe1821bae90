#include "ScenarioControlObject.h"

#include <oaidl.h>

#include <functional>
#include <new>
#include <string>

#include "ComObject.h"
#include "ScenarioState.h"
#include "TextConvert.h"

namespace ZelvarStandin {

namespace {

Json ParseArgument(const std::string& text) {
    if (text.empty()) return Json::object();
    Json parsed = Json::parse(text, nullptr, false);
    return parsed.is_discarded() ? Json() : parsed;
}

struct ControlMethod {
    const wchar_t* name;
    // Gets the string argument (empty when none), returns the reply.
    std::function<Json(const std::string&)> run;
};

Json Ok() {
    return Json{{"ok", true}};
}

Json BadJson() {
    return Json{{"ok", false}, {"error", "argument is not JSON"}};
}

const ControlMethod kMethods[] = {
    {L"SetScenario",
     [](const std::string& text) {
         Json scenario = ParseArgument(text);
         if (!scenario.is_object()) return BadJson();
         ScenarioState::Instance().SetScenario(scenario);
         return Ok();
     }},
    {L"UpdateScenario",
     [](const std::string& text) {
         Json scenario = ParseArgument(text);
         if (!scenario.is_object()) return BadJson();
         ScenarioState::Instance().UpdateScenario(scenario);
         return Ok();
     }},
    {L"GetScenario", [](const std::string&) { return ScenarioState::Instance().Scenario(); }},
    {L"Reset",
     [](const std::string&) {
         ScenarioState::Instance().Reset();
         return Ok();
     }},
    {L"GetCalls",
     [](const std::string& text) {
         Json filter = ParseArgument(text);
         if (filter.is_string()) filter = Json{{"method", filter}};
         return ScenarioState::Instance().Calls(filter.is_object() ? filter : Json::object());
     }},
    {L"CallCount",
     [](const std::string& method) {
         return Json{{"method", method}, {"count", ScenarioState::Instance().CallCount(method)}};
     }},
    {L"WaitForCalls",
     [](const std::string& text) {
         Json request = ParseArgument(text);
         if (!request.is_object()) return BadJson();
         std::string method = request.value("method", std::string());
         unsigned count = JsonToUint(request.value("count", Json(1)), 1);
         DWORD timeout = JsonToUint(request.value("timeoutMs", Json(10000)), 10000);
         bool reached = ScenarioState::Instance().WaitForCalls(method, count, timeout);
         return Json{{"reached", reached}, {"count", ScenarioState::Instance().CallCount(method)}};
     }},
    {L"ReleaseHeld",
     [](const std::string& method) {
         return Json{{"released", ScenarioState::Instance().ReleaseHeld(method)}};
     }},
    {L"GetConnections", [](const std::string&) { return ScenarioState::Instance().Connections(); }},
    {L"FireEvents",
     [](const std::string& text) {
         Json request = ParseArgument(text);
         if (!request.is_object()) return BadJson();
         return ScenarioState::Instance().FireEvents(request);
     }},
    {L"ServerInfo", [](const std::string&) { return ScenarioState::Instance().ServerInfo(); }},
    {L"Shutdown",
     [](const std::string&) {
         return Json{{"accepted", ServiceModule::Instance().RequestShutdown()}};
     }},
};
constexpr DISPID kFirstDispid = 1;
constexpr DISPID kMethodCount = static_cast<DISPID>(sizeof kMethods / sizeof kMethods[0]);

class ScenarioControl final : public ComObject, public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ZV_STANDIN_REFERENCE_COUNTING

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (DISPID m = 0; i == 0 && m < kMethodCount; ++m) {
                if (names[i] && _wcsicmp(names[i], kMethods[m].name) == 0) ids[i] = kFirstDispid + m;
            }
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT* argError) override {
        if (id < kFirstDispid || id >= kFirstDispid + kMethodCount) return DISP_E_MEMBERNOTFOUND;
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        std::string argument;
        if (params && params->cArgs > 1) return DISP_E_BADPARAMCOUNT;
        if (params && params->cArgs == 1) {
            VARIANT text;
            VariantInit(&text);
            if (FAILED(VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR))) {
                if (argError) *argError = 0;
                return DISP_E_TYPEMISMATCH;
            }
            argument = ToUtf8(text.bstrVal, SysStringLen(text.bstrVal));
            VariantClear(&text);
        }
        ServiceModule::Instance().NoteActivity();
        Json reply;
        try {
            reply = kMethods[id - kFirstDispid].run(argument);
        } catch (const std::exception& error) {
            reply = Json{{"ok", false}, {"error", error.what()}};
        }
        if (result) {
            VariantInit(result);
            std::wstring text = ToWide(reply.dump(-1, ' ', false, Json::error_handler_t::replace));
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        }
        return S_OK;
    }
};

}  // namespace

HRESULT CreateScenarioControlObject(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ScenarioControl* control = new (std::nothrow) ScenarioControl();
    if (!control) return E_OUTOFMEMORY;
    HRESULT hr = control->QueryInterface(iid, out);
    control->Release();
    return hr;
}

}  // namespace ZelvarStandin
