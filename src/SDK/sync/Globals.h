// Process-wide state of the SDK. Lock order, outermost first: g_InitLock,
// g_ApiGate, g_DataLock; g_TraceLock and g_PoolRegistryLock are held alone.
#pragma once

#include <windows.h>

#include "sync/SharedExclusiveLock.h"

namespace BrennicZelvarSDK {

extern SharedExclusiveLock g_ApiGate;           // readers: operations; writers: Initialize, Uninitialize_Internal
extern SharedExclusiveLock g_DataLock;          // handle tables, g_IsInitialized, g_CallbackThreadId
extern SharedExclusiveLock g_InitLock;          // Initialize and Uninitialize, whole body
extern SharedExclusiveLock g_TraceLock;         // trace set-up, writing and closing
extern SharedExclusiveLock g_PoolRegistryLock;  // the named-pool registry

extern int g_SdkImplInitCount ZV_GUARDED_BY(g_InitLock);
extern bool g_IsInitialized ZV_GUARDED_BY(g_DataLock);
// 0xFFFFFFFF until the callback pool exists.
extern DWORD g_CallbackThreadId ZV_GUARDED_BY(g_DataLock);

void SetInitialized(bool value) ZV_EXCLUDES(g_DataLock);
bool IsInitialized() ZV_EXCLUDES(g_DataLock);
// True on the callback pool's thread: a call from there could wait for the
// very thread it runs on.
bool IsReentrantCall() ZV_EXCLUDES(g_DataLock);

}  // namespace BrennicZelvarSDK
