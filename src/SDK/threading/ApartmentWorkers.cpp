#include "threading/ApartmentWorkers.h"

#include <objbase.h>

namespace BrennicZelvarSDK {

unsigned int CoInitializeWorker::Execute() {
    *m_result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetEvent(m_event);
    return 0;
}

unsigned int GetThreadIdWorker::Execute() {
    *m_threadId = GetCurrentThreadId();
    SetEvent(m_event);
    return 0;
}

unsigned int CoUninitializeWorker::Execute() {
    CoUninitialize();
    SetEvent(m_event);
    return 0;
}

}  // namespace BrennicZelvarSDK
