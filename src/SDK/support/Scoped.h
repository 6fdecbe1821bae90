// One scope type per platform resource: kernel handles, BSTRs, SAFEARRAYs,
// COM interface pointers and registry keys are released on every way out of
// a scope, exceptions included.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <utility>

namespace BrennicZelvarSDK {

// A kernel handle (event, semaphore, thread, pipe). Null and
// INVALID_HANDLE_VALUE both mean "no handle".
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE h) : m_handle(h) {}
    ~ScopedHandle() { Close(); }
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Detach()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }
    // Resetting to the handle already held keeps it open.
    void Reset(HANDLE h = nullptr) {
        if (h == m_handle) return;
        Close();
        m_handle = h;
    }
    HANDLE Detach() {
        HANDLE h = m_handle;
        m_handle = nullptr;
        return h;
    }
    void Close() {
        if (IsValid()) CloseHandle(m_handle);
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

// An event that the submitter of a work item owns: auto-reset, unsignalled,
// unnamed. Null handle when creation failed.
inline ScopedHandle MakeCompletionEvent() {
    return ScopedHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

// A BSTR owned by the scope.
class ScopedBstr {
public:
    ScopedBstr() = default;
    explicit ScopedBstr(BSTR b) : m_bstr(b) {}
    ~ScopedBstr() { SysFreeString(m_bstr); }
    ScopedBstr(ScopedBstr&& other) noexcept : m_bstr(other.Detach()) {}
    ScopedBstr& operator=(ScopedBstr&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;

    BSTR Get() const { return m_bstr; }
    // For [out] BSTR* arguments: frees what is held and hands out the slot.
    BSTR* Receive() {
        Reset();
        return &m_bstr;
    }
    void Reset(BSTR b = nullptr) {
        if (m_bstr != b) SysFreeString(m_bstr);
        m_bstr = b;
    }
    BSTR Detach() {
        BSTR b = m_bstr;
        m_bstr = nullptr;
        return b;
    }
    UINT Length() const { return SysStringLen(m_bstr); }

private:
    BSTR m_bstr = nullptr;
};

// A SAFEARRAY owned by the scope; destroyed (with its elements) on the way out.
class ScopedSafeArray {
public:
    ScopedSafeArray() = default;
    explicit ScopedSafeArray(SAFEARRAY* sa) : m_array(sa) {}
    ~ScopedSafeArray() { Reset(); }
    ScopedSafeArray(ScopedSafeArray&& other) noexcept : m_array(other.Detach()) {}
    ScopedSafeArray& operator=(ScopedSafeArray&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ScopedSafeArray(const ScopedSafeArray&) = delete;
    ScopedSafeArray& operator=(const ScopedSafeArray&) = delete;

    SAFEARRAY* Get() const { return m_array; }
    SAFEARRAY** Receive() {
        Reset();
        return &m_array;
    }
    void Reset(SAFEARRAY* sa = nullptr) {
        if (m_array && m_array != sa) SafeArrayDestroy(m_array);
        m_array = sa;
    }
    SAFEARRAY* Detach() {
        SAFEARRAY* sa = m_array;
        m_array = nullptr;
        return sa;
    }

private:
    SAFEARRAY* m_array = nullptr;
};

// A lock (SafeArrayLock) on a SAFEARRAY for the scope.
class SafeArrayLockHold {
public:
    SafeArrayLockHold() = default;
    ~SafeArrayLockHold() { Release(); }
    SafeArrayLockHold(const SafeArrayLockHold&) = delete;
    SafeArrayLockHold& operator=(const SafeArrayLockHold&) = delete;
    HRESULT Lock(SAFEARRAY* sa) {
        Release();
        HRESULT hr = SafeArrayLock(sa);
        if (SUCCEEDED(hr)) m_array = sa;
        return hr;
    }
    void Release() {
        if (m_array) SafeArrayUnlock(m_array);
        m_array = nullptr;
    }

private:
    SAFEARRAY* m_array = nullptr;
};

// A COM interface pointer owned by the scope.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference to p.
    explicit ComPtr(T* p) : m_ptr(p) {
        if (m_ptr) m_ptr->AddRef();
    }
    ComPtr(const ComPtr& other) : m_ptr(other.m_ptr) {
        if (m_ptr) m_ptr->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_ptr(other.Detach()) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(const ComPtr& other) {
        if (this != &other) {
            T* old = m_ptr;
            m_ptr = other.m_ptr;
            if (m_ptr) m_ptr->AddRef();
            if (old) old->Release();
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }

    T* Get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    // For [out] T** arguments: releases what is held and hands out the slot.
    T** Receive() {
        Reset();
        return &m_ptr;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    // Adopts a reference the caller already owns.
    void Attach(T* p) {
        if (m_ptr && m_ptr != p) m_ptr->Release();
        m_ptr = p;
    }
    T* Detach() {
        T* p = m_ptr;
        m_ptr = nullptr;
        return p;
    }
    void Reset() {
        if (m_ptr) {
            T* p = m_ptr;
            m_ptr = nullptr;
            p->Release();
        }
    }
    template <class U>
    HRESULT As(ComPtr<U>& out) const {
        if (!m_ptr) return E_POINTER;
        return m_ptr->QueryInterface(__uuidof(U), out.ReceiveVoid());
    }

private:
    T* m_ptr = nullptr;
};

// A registry key owned by the scope.
class ScopedRegKey {
public:
    ScopedRegKey() = default;
    ~ScopedRegKey() { Close(); }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;
    HKEY Get() const { return m_key; }
    HKEY* Receive() {
        Close();
        return &m_key;
    }
    void Close() {
        if (m_key) RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

}  // namespace BrennicZelvarSDK
