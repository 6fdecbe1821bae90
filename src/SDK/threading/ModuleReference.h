// The references the SDK holds on its own module, so that no code of the
// module runs after the module is unmapped, whatever order the application
// unloads and uninitialises in.
//
// While the SDK is initialised it holds one reference: an application that
// unloads the DLL without Uninitialize leaves the module loaded until the
// process ends. Every thread the SDK starts holds one more from before it
// starts until it has left the module's code (it ends with
// FreeLibraryAndExitThread), so that a pool thread still busy when its pool
// stopped waiting for it, or a release still under way, never returns into
// unmapped memory.
#pragma once

#include <windows.h>

#include <atomic>

#include "sync/Globals.h"

namespace BrennicZelvarSDK {

// Taken when the first Initialize sets the SDK up.
void HoldOwnModule() ZV_REQUIRES(g_InitLock);

// Called by the last Uninitialize, under g_InitLock: the reference goes to a
// thread of the SDK's own, which gives it back once the calling thread has
// left the module's code (the reference may be the last one: the application
// may have called FreeLibrary already). The caller
// sets the flag returned as the very last thing it does before it returns;
// until then the thread does not look. Nothing happens when no reference is
// held (the flag returned then belongs to nobody).
std::atomic<bool>& HandOverOwnModule() ZV_REQUIRES(g_InitLock);

// Starts a thread that runs body(argument) and then leaves the module with
// FreeLibraryAndExitThread, the body's result being its exit code. The
// thread's reference is taken before it starts. Null, and the body not run,
// when the thread cannot be started.
HANDLE StartThreadInOwnModule(unsigned (*body)(void*), void* argument);

}  // namespace BrennicZelvarSDK
