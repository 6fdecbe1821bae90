#include "support/ShutdownSignal.h"

#include "support/Scoped.h"

namespace BrennicZelvarSDK {

HANDLE ShutdownSignal::Event() {
    // Closed when the library unloads.
    static const ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.Get();
}

void ShutdownSignal::Raise() {
    if (HANDLE event = Event()) SetEvent(event);
}

void ShutdownSignal::Clear() {
    if (HANDLE event = Event()) ResetEvent(event);
}

}  // namespace BrennicZelvarSDK
