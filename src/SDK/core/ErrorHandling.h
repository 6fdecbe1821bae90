// How failures become results: COM errors travel as _com_error (raised by
// support/ComErrors.h), everything else as standard exceptions, and the call
// frame's catch-all turns them into a ZVResult.
#pragma once

#include <windows.h>
#include <comdef.h>

#include "interface/ZVTypes.h"
#include "support/ComErrors.h"

namespace BrennicZelvarSDK {

ZVResult HResultToZVResult(HRESULT hr);

// Only inside a catch-all handler: rethrows the exception in flight,
// classifies it, traces it under the qualified name and returns its result.
ZVResult HandleApiException(const char* qualifiedName);

}  // namespace BrennicZelvarSDK
