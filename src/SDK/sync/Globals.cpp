#include "sync/Globals.h"

namespace BrennicZelvarSDK {

// Built when the library loads, in this order, and torn down when it unloads.
SharedExclusiveLock g_ApiGate;
SharedExclusiveLock g_DataLock;
SharedExclusiveLock g_InitLock;
SharedExclusiveLock g_TraceLock;
SharedExclusiveLock g_PoolRegistryLock;

int g_SdkImplInitCount = 0;
bool g_IsInitialized = false;
DWORD g_CallbackThreadId = 0xFFFFFFFF;

void SetInitialized(bool value) {
    ExclusiveLockHold hold(g_DataLock);
    g_IsInitialized = value;
}

bool IsInitialized() {
    SharedLockHold hold(g_DataLock);
    return g_IsInitialized;
}

bool IsReentrantCall() {
    DWORD callbackThread;
    {
        SharedLockHold hold(g_DataLock);
        callbackThread = g_CallbackThreadId;
    }
    return callbackThread == GetCurrentThreadId();
}

}  // namespace BrennicZelvarSDK
