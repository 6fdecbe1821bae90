// How a failed COM call leaves the code that made it: as a _com_error, which
// the call frame turns into the operation's result.
#pragma once

#include <windows.h>
#include <comdef.h>

namespace BrennicZelvarSDK {

[[noreturn]] void ThrowComError(HRESULT hr);
// Raises hr together with the error information the service left for this
// thread (GetErrorInfo), as the platform's COM support does.
[[noreturn]] void ThrowServiceError(HRESULT hr);

inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) ThrowComError(hr);
}

}  // namespace BrennicZelvarSDK
