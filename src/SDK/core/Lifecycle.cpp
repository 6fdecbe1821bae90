// Initialize and Uninitialize: counting, the two single-thread pools whose
// threads live in the multithreaded apartment, and the tear-down of every
// service object when the last Uninitialize comes.
#include <atomic>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/CallFrame.h"
#include "sync/Globals.h"
#include "support/ShutdownSignal.h"
#include "threading/ModuleReference.h"
#include "core/ZVImplementation.h"
#include "support/Scoped.h"
#include "support/Trace.h"
#include "threading/ApartmentWorkers.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

namespace {

const char kInitializeName[] = "BrennicZelvarSDK::ZVImplementationV1::Initialize";
const char kUninitializeName[] = "BrennicZelvarSDK::ZVImplementationV1::Uninitialize";
const char kUninitializeInternalName[] = "BrennicZelvarSDK::ZVImplementationV1::Uninitialize_Internal";

// Puts a pool's thread into the multithreaded apartment; ZV_SUCCESS or the
// failure, traced.
ZVResult JoinApartmentOnPool(const wchar_t* poolName, const wchar_t* completedTrace) {
    HRESULT comResult = E_FAIL;
    DWORD wait = JoinApartmentOnPoolThread(poolName, comResult);
    if (wait != WAIT_OBJECT_0) {
        TraceError(L"Initialize_Internal failed waiting workerThreadComplete with return code %u", wait);
        return ZV_ERROR_FAILED;
    }
    TraceInfo(completedTrace);
    if (FAILED(comResult)) {
        TraceError(L"Initialize_Internal CoInitializeWorker worker failed with HRESULT %u",
                   static_cast<unsigned>(comResult));
        return ZV_ERROR_FAILED;
    }
    return ZV_SUCCESS;
}

// Obtains the Global Interface Table once for the initialised life of the
// SDK instead of once per table step. The calling thread joins the
// multithreaded apartment for the call when it has no apartment; the pool
// threads keep that apartment alive. When the table cannot be obtained here
// each step obtains it itself and fails with that result.
void KeepGlobalInterfaceTable() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ExclusiveLockHold hold(g_DataLock);
        GIT::Keep_NoLock();
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

// Creates both pools, puts their threads into the multithreaded apartment and
// records the callback thread. Pools created before a failure stay in place:
// the SDK then stays in the failed state for the life of the process.
ZVResult CreatePoolsAndJoinApartment() {
    TraceInfo(L"Initialize_Internal starts");
    TraceInfo(L"Initialize_Internal CALLBACK_THREAD_POOL - Creating and setting up ");
    CreateThreadPool(kCallbackPoolName);
    ZVResult result = JoinApartmentOnPool(kCallbackPoolName,
                                          L"Initialize_Internal CALLBACK_THREAD_POOL - Initialise worker completed");
    if (result != ZV_SUCCESS) return result;

    DWORD callbackThreadId = 0;
    DWORD wait = ReadPoolThreadId(kCallbackPoolName, callbackThreadId);
    if (wait != WAIT_OBJECT_0) {
        TraceError(L"Initialize_Internal failed waiting callBackThreadIdComplete with return code %u", wait);
        return ZV_ERROR_FAILED;
    }
    TraceInfo(
        L"Initialize_Internal CALLBACK_THREAD_POOL - Initialise worker completed - The worker thread has "
        L"the ID %u",
        callbackThreadId);
    {
        ExclusiveLockHold hold(g_DataLock);
        g_CallbackThreadId = callbackThreadId;
        TraceInfo(L"Setting worker thread ID as %u", callbackThreadId);
    }

    TraceInfo(L"Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Creating and setting up ");
    CreateThreadPool(kComObjectCreatorPoolName);
    result = JoinApartmentOnPool(kComObjectCreatorPoolName,
                                 L"Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Initialise worker completed");
    if (result != ZV_SUCCESS) return result;
    KeepGlobalInterfaceTable();
    SetInitialized(true);
    TraceInfo(L"Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Created and setup");
    return ZV_SUCCESS;
}

ZVResult Initialize_Internal() {
    if (IsReentrantCall()) {
        TraceError(L"%S: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", "BrennicZelvarSDK::Initialize_Internal");
        return ZV_ERROR_FAILED;
    }
    ZVResult result;
    try {
        result = CreatePoolsAndJoinApartment();
    } catch (const std::bad_alloc&) {
        TraceError(L"Initialize_Internal failed out of memory");
        result = ZV_ERROR_OUT_OF_MEMORY;
    } catch (const std::exception&) {
        TraceError(L"Initialize_Internal failed std::exception.");
        result = ZV_ERROR_FAILED;
    }
    TraceInfo(L"Initialize_Internal complete. Returning code %u", result);
    return result;
}

}  // namespace

ZVResult ZVImplementationV1::Initialize() {
    if (IsReentrantCall()) {
        TraceError(L"%S: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", kInitializeName);
        return ZV_ERROR_FAILED;
    }
    ExclusiveLockHold initHold(g_InitLock);
    if (g_SdkImplInitCount < 1) {
        HoldOwnModule();
        CTracer::Open(L"Zelvar Runtime SDK DLL", L"ZelvarSDK_Runtime");
        TraceInfo(L"Initialize Starts");
        ShutdownSignal::Clear();
        ExclusiveLockHold gateHold(g_ApiGate);
        Initialize_Internal();
        g_SdkImplInitCount = 1;
        TraceInfo(L"g_SdkImplInitCount is now 1");
        TraceInfo(L"Initialize Ends successfully");
    } else {
        ++g_SdkImplInitCount;
        TraceInfo(L"SDK impl was already initialized; g_SdkImplInitCount is now %d", g_SdkImplInitCount);
    }
    return ZV_SUCCESS;
}

ZVResult ZVImplementationV1::Uninitialize() {
    if (IsReentrantCall()) {
        TraceError(L"%S: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", kUninitializeName);
        return ZV_ERROR_FAILED;
    }
    ExclusiveLockHold initHold(g_InitLock);
    TraceInfo(L"Uninitialize Starts");
    TraceInfo(L"g_SdkImplInitCount is %d", g_SdkImplInitCount);
    if (g_SdkImplInitCount >= 2) {
        TraceInfo(L"SDK impl DLL had been initialized more than once - no need to un-initialize");
        --g_SdkImplInitCount;
        return ZV_SUCCESS;
    }
    if (!IsInitialized()) {
        TraceError(L"Uninitialize failed because SDK implementation dll is not initialized!");
        return ZV_ERROR_NOT_INITIALIZED;
    }
    Uninitialize_Internal();
    g_SdkImplInitCount = 0;
    TraceInfo(L"g_SdkImplInitCount is now 0");
    TraceInfo(L"Uninitialize Ends");
    CTracer::Close();
    // The application may have unloaded the library already: the SDK's
    // reference is then the last, and giving it back here would unmap the
    // code this thread still has to return through. A thread of the SDK's
    // own gives it back once this thread has left; the flag set last tells
    // it that this thread is on its way out.
    std::atomic<bool>& left = HandOverOwnModule();
    initHold.Release();
    left.store(true, std::memory_order_release);
    return ZV_SUCCESS;
}

ZVResult ZVImplementationV1::Uninitialize_Internal() {
    try {
        CScopedComInitializer com;
        SetInitialized(false);  // from here on new operations stop at the initialised check
        // A creation waiting on the updater's repair gives up now instead of
        // holding the gate for as long as the updater pleases.
        ShutdownSignal::Raise();
        ExclusiveLockHold gateHold(g_ApiGate);  // waits for the operations already inside
        CancelAllCalls_SharedLock();
        KeptReferences released;
        {
            ExclusiveLockHold dataHold(g_DataLock);
            TraceInfo(L"DeleteAllDataAndObjects_ExclusiveLock called");
            DeleteAllDataAndObjects(released);
            TraceInfo(L"DeleteAllDataAndObjects_ExclusiveLock completed");
            // Let go of the table while the pool threads still keep the
            // multithreaded apartment alive.
            GIT::Drop_NoLock();
        }
        // Releasing the kept references is a round trip to the service, and a
        // service may report a last status change from inside it and wait for
        // the event sink, which needs the data lock.
        ReleaseKeptReferences(std::move(released));

        // The apartment is left by the pool thread itself, as the last item
        // that pool runs.
        DWORD wait = LeaveApartmentOnPoolThread(kCallbackPoolName);
        if (wait != WAIT_OBJECT_0) {
            TraceError(L"Uninitialize_Internal failed waiting on lastWorkerInPool with return code %u", wait);
            return ZV_ERROR_FAILED;
        }
        DestroyThreadPool(kCallbackPoolName);
        {
            // The recorded id would otherwise refuse whichever new thread the
            // system hands that id to next.
            ExclusiveLockHold dataHold(g_DataLock);
            g_CallbackThreadId = 0xFFFFFFFF;
        }

        wait = LeaveApartmentOnPoolThread(kComObjectCreatorPoolName);
        if (wait != WAIT_OBJECT_0) {
            TraceError(
                L"Uninitialize_Internal failed waiting for COM_OBJECT_CREATOR_THREAD_POOL's "
                L"CoUninitializeWorker's signal. Result code: %u",
                wait);
            return ZV_ERROR_FAILED;
        }
        DestroyThreadPool(kComObjectCreatorPoolName);
        return ZV_SUCCESS;
    } catch (...) {
        return HandleApiException(kUninitializeInternalName);
    }
}

void ZVImplementationV1::CancelAllCalls_SharedLock() {
    TraceInfo(L"CancelAllCalls starts");
    // The cookies are copied under the lock and the service is called
    // without it: a service that raises a status event while it cancels, and
    // waits for its delivery, would otherwise wait for the event sink, which
    // needs the lock exclusively. No entry goes meanwhile: the gate is held
    // exclusively and the tables are emptied only after this.
    std::vector<std::pair<unsigned int, DWORD>> cookies;
    {
        SharedLockHold dataHold(g_DataLock);
        m_connectionTable.ForEach_NoLock([&cookies](unsigned int handle, const ConnectionData& data) {
            cookies.emplace_back(handle, data.gitCookie);
            return true;
        });
    }
    for (const auto& entry : cookies) {
        const unsigned int handle = entry.first;
        ComPtr<IZelvarConnection> connection;
        HRESULT hr;
        {
            SharedLockHold dataHold(g_DataLock);
            hr = GIT::Get_NoLock(entry.second, IID_IZelvarConnection, connection.ReceiveVoid());
        }
        if (FAILED(hr)) {
            TraceError(L"CancelAllCalls_SharedLock: GIT::Get_NoLock failed with HRESULT %u", static_cast<unsigned>(hr));
            return;
        }
        TraceInfo(L"CancelAllCalls being called on zelvar with handle %u", handle);
        try {
            if (!connection) ThrowComError(E_POINTER);
            HRESULT cancel = connection->CancelAllCalls();
            if (FAILED(cancel)) ThrowComError(cancel);
        } catch (const _com_error&) {
            TraceError(L"CancelAllCalls failed with error code for zelvar handle %u", handle);
        }
    }
    TraceInfo(L"CancelAllCalls completes");
}

}  // namespace BrennicZelvarSDK
