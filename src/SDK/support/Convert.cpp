#include "support/Convert.h"

#include <objbase.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ZelvarSvrLib.h"
#include "support/ComErrors.h"
#include "support/Scoped.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

namespace Convert {

bad_alloc_message::~bad_alloc_message() {}

const char* bad_alloc_message::what() const noexcept {
    return m_message ? m_message : "Unknown problem";
}

}  // namespace Convert

namespace {

// Copies src into dest, which holds `units` code units, stopping at the first
// NUL of src or after units - 1 units, and always terminates dest.
void CopyBounded(ZVChar* dest, size_t units, const wchar_t* src) {
    size_t i = 0;
    if (src) {
        for (; i + 1 < units && src[i] != L'\0'; ++i) dest[i] = src[i];
    }
    dest[i] = L'\0';
}

[[noreturn]] void RaiseSafeArrayFailure(HRESULT hr) {
    throw Convert::SafeArrayFailure{hr};
}

// Element i of a one-dimensional BSTR array, with the index tested against
// the array's bounds as the platform's safe-array wrapper tests it.
BSTR ElementAt(SAFEARRAY* array, LONG lowerBound, LONG upperBound, LONG index) {
    if (index < lowerBound || index > upperBound) RaiseSafeArrayFailure(E_INVALIDARG);
    return static_cast<BSTR*>(array->pvData)[index - lowerBound];
}

}  // namespace

ZVChar* BSTRToZVChar(BSTR text) {
    const UINT length = text ? SysStringLen(text) : 0;
    const size_t units = static_cast<size_t>(length) + 1;
    auto* out = static_cast<ZVChar*>(std::malloc(units * sizeof(ZVChar)));
    if (!out) throw Convert::bad_alloc_message("BSTRToZVChar: malloc failed");
    CopyBounded(out, units, text);
    return out;
}

ZVChar** BSTRSafeArrayToZVChar(SAFEARRAY* array) {
    if (!array) RaiseSafeArrayFailure(E_INVALIDARG);
    VARTYPE type = VT_EMPTY;
    // SafeArrayGetVartype reads VT_UNKNOWN with FADF_DISPATCH as VT_DISPATCH,
    // as the wrapper does; either way only VT_BSTR is accepted.
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_BSTR) RaiseSafeArrayFailure(E_INVALIDARG);
    if (SafeArrayGetDim(array) != 1) RaiseSafeArrayFailure(E_INVALIDARG);

    LONG lowerBound = 0;
    LONG upperBound = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lowerBound)) || FAILED(SafeArrayGetUBound(array, 1, &upperBound)))
        RaiseSafeArrayFailure(E_INVALIDARG);
    const LONG count = upperBound - lowerBound + 1;

    SafeArrayLockHold lock;
    if (FAILED(lock.Lock(array))) RaiseSafeArrayFailure(E_INVALIDARG);

    // The block's size is a 32-bit quantity. The sum is formed in 64 bits so
    // that a table too large for it is refused as out of memory, never
    // wrapped round to a block smaller than what is copied into it.
    uint64_t blockBytes = static_cast<uint64_t>(count) * 8 + 8;
    for (LONG i = 0; i < count; ++i)
        blockBytes += static_cast<uint64_t>(SysStringLen(ElementAt(array, lowerBound, upperBound, i))) * 2 + 2;
    if (blockBytes > UINT32_MAX) throw Convert::bad_alloc_message("BSTRSafeArrayToZVChar: malloc failed");

    void* block = std::malloc(static_cast<size_t>(blockBytes));
    if (!block) throw Convert::bad_alloc_message("BSTRSafeArrayToZVChar: malloc failed");
    auto** table = static_cast<ZVChar**>(block);
    auto* write = reinterpret_cast<ZVChar*>(table + count + 1);
    for (LONG i = 0; i < count; ++i) {
        BSTR element = ElementAt(array, lowerBound, upperBound, i);
        const size_t units = static_cast<size_t>(SysStringLen(element)) + 1;
        CopyBounded(write, units, element);
        table[i] = write;
        write += units;
    }
    table[count] = nullptr;
    return table;
}

SAFEARRAY* ZVCharTableToBSTRSafeArray(const ZVChar* const* table) {
    SAFEARRAYBOUND bound = {0, 0};
    ScopedSafeArray array(SafeArrayCreate(VT_BSTR, 1, &bound));
    if (!array.Get()) RaiseSafeArrayFailure(E_OUTOFMEMORY);
    if (!table) return array.Detach();

    ULONG count = 0;
    for (const ZVChar* const* entry = table; *entry; ++entry) {
        ScopedBstr copy(SysAllocString(*entry));
        if (!copy.Get()) RaiseSafeArrayFailure(E_OUTOFMEMORY);
        bound.cElements = count + 1;
        const HRESULT grown = SafeArrayRedim(array.Get(), &bound);
        if (FAILED(grown)) RaiseSafeArrayFailure(grown);
        // The array owns the string from here on.
        static_cast<BSTR*>(array.Get()->pvData)[count] = copy.Detach();
        ++count;
    }
    return array.Detach();
}

SafeArrayDataAccess::SafeArrayDataAccess(SAFEARRAY* array) : m_array(array), m_data(nullptr) {
    const HRESULT hr = SafeArrayAccessData(m_array, &m_data);
    if (FAILED(hr)) {
        TraceError(L"::SafeArrayAccessData failed: %u", static_cast<unsigned int>(hr));
        ThrowComError(hr);
    }
}

SafeArrayDataAccess::~SafeArrayDataAccess() {
    m_data = nullptr;
    const HRESULT hr = SafeArrayUnaccessData(m_array);
    if (FAILED(hr)) TraceError(L"::SafeArrayUnaccessData failed: %u", static_cast<unsigned int>(hr));
}

std::wstring GuidToString() {
    wchar_t text[50] = {};
    if (StringFromGUID2(CLSID_Zelvar, text, 50) == 0) return L"GuidToString failed";
    return text;
}

void WideToUtf8(const std::wstring& text, std::vector<char>& utf8) {
    utf8.clear();
    if (text.empty()) return;
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed == 0) throw L"WideCharToMultiByte failed";
    utf8.resize(static_cast<size_t>(needed));
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), needed, nullptr, nullptr) == 0)
        throw L"WideCharToMultiByte failed";
}

std::string WideToUtf8String(const std::wstring& text) {
    std::vector<char> utf8;
    WideToUtf8(text, utf8);
    return std::string(utf8.begin(), utf8.end());
}

}  // namespace BrennicZelvarSDK
