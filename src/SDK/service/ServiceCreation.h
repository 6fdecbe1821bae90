// Creating the service's CoClass, and the repair of its COM registration
// when creation fails.
#pragma once

#include <windows.h>

#include "ZelvarSvrLib.h"
#include "support/Scoped.h"

namespace BrennicZelvarSDK {

// CoCreateInstance (in-process, handler, local and remote server) for
// IUnknown, OleRun, then IZelvarConnection. The result is the HRESULT of the
// first step that failed; the pointer is null then.
HRESULT CreateZelvarCoClass(ComPtr<IZelvarConnection>& connection);

// Called after creation failed with firstFailure: repairs the registration
// (per user, or through the updater service on a machine-wide install) and
// creates the class once more. Raises a COM error when the repair or the
// repeated creation fails.
void RepairRegistrationAndCreateAgain(HRESULT firstFailure, ComPtr<IZelvarConnection>& connection);

}  // namespace BrennicZelvarSDK
