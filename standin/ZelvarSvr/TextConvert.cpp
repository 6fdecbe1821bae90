#include "TextConvert.h"

#include <cstdio>
#include <cstring>

namespace ZelvarStandin {

std::string ToUtf8(const wchar_t* text, size_t length) {
    if (!text || length == 0) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

std::string ToUtf8(const std::wstring& text) {
    return ToUtf8(text.c_str(), text.size());
}

std::wstring ToWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

Json BstrToJson(BSTR value) {
    if (!value) return nullptr;
    return ToUtf8(value, SysStringLen(value));
}

BSTR JsonToBstr(const Json& value) {
    if (!value.is_string()) return nullptr;
    std::wstring wide = ToWide(value.get<std::string>());
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

namespace {
struct NamedHresult {
    const char* name;
    HRESULT value;
};
const NamedHresult kNamedHresults[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"E_FAIL", E_FAIL},
    {"E_POINTER", E_POINTER},
    {"E_INVALIDARG", E_INVALIDARG},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_ABORT", E_ABORT},
    {"E_HANDLE", E_HANDLE},
    {"E_ACCESSDENIED", E_ACCESSDENIED},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"RPC_E_DISCONNECTED", RPC_E_DISCONNECTED},
    {"RPC_S_SERVER_UNAVAILABLE", HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)},
    {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
    {"ERROR_CANCELLED", HRESULT_FROM_WIN32(ERROR_CANCELLED)},
};
}  // namespace

HRESULT JsonToHresult(const Json& value, HRESULT fallback) {
    if (value.is_number_integer()) {
        return static_cast<HRESULT>(static_cast<uint32_t>(value.get<int64_t>()));
    }
    if (!value.is_string()) return fallback;
    const std::string text = value.get<std::string>();
    for (const auto& named : kNamedHresults) {
        if (text == named.name) return named.value;
    }
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') return fallback;
    return static_cast<HRESULT>(static_cast<uint32_t>(parsed));
}

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return text;
}

UINT JsonToUint(const Json& value, UINT fallback) {
    if (value.is_number_integer()) return static_cast<UINT>(value.get<int64_t>());
    if (value.is_boolean()) return value.get<bool>() ? 1u : 0u;
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
        if (end != text.c_str() && *end == '\0') return static_cast<UINT>(parsed);
    }
    return fallback;
}

LONGLONG JsonToInt64(const Json& value, LONGLONG fallback) {
    if (value.is_number_unsigned()) return static_cast<LONGLONG>(value.get<uint64_t>());
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        long long parsed = std::strtoll(text.c_str(), &end, 0);
        if (end != text.c_str() && *end == '\0') return parsed;
        unsigned long long uparsed = std::strtoull(text.c_str(), &end, 0);
        if (end != text.c_str() && *end == '\0') return static_cast<LONGLONG>(uparsed);
    }
    return fallback;
}

bool JsonFlag(const Json& object, const char* name, bool fallback) {
    Json value = JsonMember(object, name);
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number()) return value.get<double>() != 0;
    return fallback;
}

Json JsonMember(const Json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(name);
    return found == object.end() ? Json() : *found;
}

namespace {
LONG ElementCount(SAFEARRAY* array) {
    LONG lower = 0, upper = -1;
    if (SafeArrayGetDim(array) != 1) return -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return -1;
    return upper - lower + 1;
}

Json WrongTypeJson(SAFEARRAY* array, VARTYPE vt) {
    return Json{{"vt", vt}, {"count", ElementCount(array)}};
}
}  // namespace

Json BstrArrayToJson(SAFEARRAY* array) {
    if (!array) return nullptr;
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(array, &vt);
    LONG count = ElementCount(array);
    if (vt != VT_BSTR || count < 0) return WrongTypeJson(array, vt);
    Json out = Json::array();
    BSTR* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)))) return out;
    for (LONG i = 0; i < count; ++i) out.push_back(BstrToJson(data[i]));
    SafeArrayUnaccessData(array);
    LONG lower = 0;
    SafeArrayGetLBound(array, 1, &lower);
    if (lower != 0) return Json{{"lowerBound", lower}, {"strings", out}};
    return out;
}

namespace {
// A VT_BSTR array of the strings of a JSON array, indices from lowerBound.
HRESULT MakeBstrArray(const Json& strings, LONG lowerBound, SAFEARRAY** out) {
    if (!strings.is_array()) return E_INVALIDARG;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(strings.size()), lowerBound};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    if (!array) return E_OUTOFMEMORY;
    BSTR* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (size_t i = 0; i < strings.size(); ++i) data[i] = JsonToBstr(strings[i]);
    SafeArrayUnaccessData(array);
    *out = array;
    return S_OK;
}
}  // namespace

HRESULT JsonToBstrArray(const Json& value, SAFEARRAY** out) {
    *out = nullptr;
    if (value.is_null()) return S_OK;
    if (value.is_object() && value.contains("strings")) {
        const LONG lowerBound = static_cast<LONG>(JsonToInt64(value.value("lowerBound", Json(0)), 0));
        return MakeBstrArray(value["strings"], lowerBound, out);
    }
    if (value.is_object()) {
        VARTYPE vt = static_cast<VARTYPE>(JsonToUint(value.value("vt", Json(VT_I4)), VT_I4));
        ULONG count = JsonToUint(value.value("count", Json(0)), 0);
        *out = SafeArrayCreateVector(vt, 0, count);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    return MakeBstrArray(value, 0, out);
}

bool JsonToBytes(const Json& value, std::vector<BYTE>& bytes) {
    bytes.clear();
    if (!value.is_object()) return false;
    if (value.contains("text")) {
        if (!value["text"].is_string()) return false;
        const std::string text = value["text"].get<std::string>();
        bytes.assign(text.begin(), text.end());
        return true;
    }
    if (value.contains("hex")) {
        if (!value["hex"].is_string()) return false;
        const std::string hex = value["hex"].get<std::string>();
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<BYTE>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        }
        return true;
    }
    if (value.contains("size")) {
        size_t size = JsonToUint(value["size"], 0);
        bytes.resize(size);
        bool fill = value.contains("fill");
        BYTE fillByte = static_cast<BYTE>(JsonToUint(value.value("fill", Json(0)), 0));
        for (size_t i = 0; i < size; ++i) bytes[i] = fill ? fillByte : static_cast<BYTE>(i % 251);
        return true;
    }
    return false;
}

std::string HexOf(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

Json ByteArrayToJson(SAFEARRAY* array) {
    if (!array) return nullptr;
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(array, &vt);
    LONG count = ElementCount(array);
    if ((vt != VT_UI1 && vt != VT_I1) || count < 0) return WrongTypeJson(array, vt);
    Json out{{"size", count}, {"hex", ""}};
    BYTE* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)))) {
        out["hex"] = HexOf(data, static_cast<size_t>(count));
        SafeArrayUnaccessData(array);
    }
    return out;
}

HRESULT BytesToArray(const std::vector<BYTE>& bytes, SAFEARRAY** out) {
    *out = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!*out) return E_OUTOFMEMORY;
    if (!bytes.empty()) {
        void* data = nullptr;
        SafeArrayAccessData(*out, &data);
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(*out);
    }
    return S_OK;
}

}  // namespace ZelvarStandin
