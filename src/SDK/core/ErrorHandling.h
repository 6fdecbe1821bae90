// How failures become results: COM errors travel as _com_error, everything
// else as standard exceptions, and the call frame's catch-all turns them into
// a ZVResult.
#pragma once

#include <windows.h>
#include <comdef.h>

#include "interface/ZVTypes.h"

namespace BrennicZelvarSDK {

ZVResult HResultToZVResult(HRESULT hr);

// Only inside a catch-all handler: rethrows the exception in flight,
// classifies it, traces it under the qualified name and returns its result.
ZVResult HandleApiException(const char* qualifiedName);

[[noreturn]] void ThrowComError(HRESULT hr);
// Raises hr together with the error information the service left for this
// thread (GetErrorInfo), as the platform's COM support does.
[[noreturn]] void ThrowServiceError(HRESULT hr);

inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) ThrowComError(hr);
}

}  // namespace BrennicZelvarSDK
