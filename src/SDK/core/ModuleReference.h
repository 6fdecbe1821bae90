// The reference the SDK holds on its own module while it is initialised.
//
// An application that unloads the DLL without Uninitialize would otherwise
// unmap the code its pool threads run and the service's late events call
// into, and stall the loader in the pools' teardown. While the reference is
// held, such a FreeLibrary leaves the module loaded until the process ends.
// Both functions run under g_InitLock.
#pragma once

#include "sync/Globals.h"

namespace BrennicZelvarSDK {

// Taken when the first Initialize sets the SDK up.
void HoldOwnModule() ZV_REQUIRES(g_InitLock);
// Given back when the last Uninitialize has torn everything down; the
// caller's own reference keeps the module loaded while it returns.
void ReleaseOwnModule() ZV_REQUIRES(g_InitLock);

}  // namespace BrennicZelvarSDK
