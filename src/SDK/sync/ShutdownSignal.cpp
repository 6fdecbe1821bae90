#include "sync/ShutdownSignal.h"

namespace BrennicZelvarSDK {
namespace {

// The event's owner: closed when the library unloads.
class OwnedEvent {
public:
    OwnedEvent() : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~OwnedEvent() {
        if (m_event) CloseHandle(m_event);
    }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    HANDLE Get() const { return m_event; }

private:
    HANDLE m_event;
};

}  // namespace

HANDLE ShutdownSignal::Event() {
    static const OwnedEvent event;
    return event.Get();
}

void ShutdownSignal::Raise() {
    if (HANDLE event = Event()) SetEvent(event);
}

void ShutdownSignal::Clear() {
    if (HANDLE event = Event()) ResetEvent(event);
}

}  // namespace BrennicZelvarSDK
