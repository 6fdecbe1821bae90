// Process-wide state of the SDK. Lock order, outermost first: g_InitLock,
// g_ApiGate, g_DataLock; g_TraceLock and g_PoolRegistryLock are held alone.
#pragma once

#include <windows.h>

#include "core/SharedExclusiveLock.h"

namespace BrennicZelvarSDK {

extern SharedExclusiveLock g_ApiGate;           // readers: operations; writers: Initialize, Uninitialize_Internal
extern SharedExclusiveLock g_DataLock;          // handle tables, g_IsInitialized, g_CallbackThreadId
extern SharedExclusiveLock g_InitLock;          // Initialize and Uninitialize, whole body
extern SharedExclusiveLock g_TraceLock;         // trace set-up, writing and closing
extern SharedExclusiveLock g_PoolRegistryLock;  // the named-pool registry

extern int g_SdkImplInitCount;    // guarded by g_InitLock
extern bool g_IsInitialized;      // guarded by g_DataLock
extern DWORD g_CallbackThreadId;  // guarded by g_DataLock; 0xFFFFFFFF until the callback pool exists

void SetInitialized(bool value);
bool IsInitialized();
// True on the callback pool's thread: a call from there could wait for the
// very thread it runs on.
bool IsReentrantCall();

}  // namespace BrennicZelvarSDK
