// Converters on the border between the service's COM values (BSTR,
// SAFEARRAY) and the plain C values handed to the application, plus the UTF-8
// conversion of the trace writer. They hold no state and take no locks.
//
// Memory returned to the application is one malloc block per string or per
// string table; the application hands it back to a release operation that
// frees that one block.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

#include "interface/ZVTypes.h"

namespace BrennicZelvarSDK {

namespace Convert {

// Raised when a converter cannot allocate the block it returns. Carries a
// static message it does not own; the call frame reports it as a standard
// exception (ZV_ERROR_FAILED).
class bad_alloc_message : public std::bad_alloc {
public:
    explicit bad_alloc_message(const char* message) noexcept : m_message(message) {}
    bad_alloc_message(const bad_alloc_message& other) noexcept = default;
    ~bad_alloc_message() override;
    const char* what() const noexcept override;

private:
    const char* m_message;
};

// A failure of the safe-array handling itself (wrong element type, an index
// outside the bounds, a null array, no memory for a copied string). It is
// deliberately neither a std::exception nor a _com_error: the call frame
// reports it as an unclassified exception, ZV_ERROR_FAILED.
struct SafeArrayFailure {
    HRESULT hr;
};

}  // namespace Convert

// A copy of the BSTR's text (up to an embedded NUL) in a block of
// (SysStringLen + 1) * 2 bytes. A null BSTR gives an empty string, never null.
// Raises Convert::bad_alloc_message "BSTRToZVChar: malloc failed".
ZVChar* BSTRToZVChar(BSTR text);

// One block: n + 1 pointers (the last null), then the n strings with their
// NULs, packed in array order. The array must be a one-dimensional VT_BSTR
// array with lower bound 0, else Convert::SafeArrayFailure{E_INVALIDARG}.
// Raises Convert::bad_alloc_message "BSTRSafeArrayToZVChar: malloc failed".
ZVChar** BSTRSafeArrayToZVChar(SAFEARRAY* array);

// A new one-dimensional VT_BSTR array, lower bound 0, holding copies of the
// strings of a null-terminated table in table order; a null table gives an
// empty array. The array is returned unlocked and belongs to the caller
// (destroy it with SafeArrayDestroy, e.g. through ScopedSafeArray).
// Raises Convert::SafeArrayFailure{E_OUTOFMEMORY} when a copy fails.
SAFEARRAY* ZVCharTableToBSTRSafeArray(const ZVChar* const* table);

// SafeArrayAccessData for a scope. A failure is traced
// ("::SafeArrayAccessData failed: %u") and raised as _com_error; a failing
// SafeArrayUnaccessData at the end is traced only.
class SafeArrayDataAccess {
public:
    explicit SafeArrayDataAccess(SAFEARRAY* array);
    ~SafeArrayDataAccess();
    SafeArrayDataAccess(const SafeArrayDataAccess&) = delete;
    SafeArrayDataAccess& operator=(const SafeArrayDataAccess&) = delete;

    void* Data() const { return m_data; }
    template <class T>
    T* DataAs() const {
        return static_cast<T*>(m_data);
    }

private:
    SAFEARRAY* m_array;
    void* m_data;
};

// The registry form of the service's class id, with braces; "GuidToString
// failed" if it cannot be formatted.
std::wstring GuidToString();

// UTF-8 bytes of text, without a terminating NUL. Throws the pointer
// L"WideCharToMultiByte failed" (a const wchar_t*) when conversion fails.
void WideToUtf8(const std::wstring& text, std::vector<char>& utf8);
std::string WideToUtf8String(const std::wstring& text);

}  // namespace BrennicZelvarSDK
