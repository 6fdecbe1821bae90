// Whether the SDK is shutting down: raised when Uninitialize begins, cleared
// by the next Initialize. Work that waits on something outside the SDK's
// control (the updater's pipe) waits on this event as well, so that shutdown
// never waits for it.
#pragma once

#include <windows.h>

namespace BrennicZelvarSDK {

class ShutdownSignal {
public:
    // The manual-reset event, made at its first use (by Initialize), never
    // while the library loads; null only when it could not be made, and then
    // the waits' own time-outs alone bound them.
    static HANDLE Event();
    static void Raise();
    static void Clear();
};

}  // namespace BrennicZelvarSDK
