#include "tables/HandleTables.h"

#include <atomic>
#include <iterator>
#include <vector>

#include "support/ComErrors.h"
#include "sync/Globals.h"
#include "threading/ModuleReference.h"
#include "support/Trace.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

namespace {
std::atomic<unsigned int> HandleCounter{0};

// The table kept from Initialize_Internal to Uninitialize_Internal; null
// outside that time, when each step obtains the table afresh. Set and cleared
// with g_DataLock held exclusively; the steps run with it held.
std::atomic<IGlobalInterfaceTable*> g_keptTable{nullptr};

HRESULT ObtainGlobalInterfaceTable(ComPtr<IGlobalInterfaceTable>& git) {
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                            git.ReceiveVoid());
}

// Runs one step on the kept table, or on one obtained for this step;
// failing to obtain it is the step's failure.
template <class Step>
HRESULT OnGlobalInterfaceTable(Step step) {
    if (IGlobalInterfaceTable* kept = g_keptTable.load()) return step(kept);
    ComPtr<IGlobalInterfaceTable> git;
    HRESULT hr = ObtainGlobalInterfaceTable(git);
    if (FAILED(hr)) return hr;
    return step(git.Get());
}
bool InMultithreadedApartment() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
}

class KeptReleaseWorker : public Worker {
public:
    explicit KeptReleaseWorker(std::vector<ComPtr<IUnknown>>&& objects) : m_objects(std::move(objects)) {}
    unsigned int Execute() override {
        m_objects.clear();
        return 0;
    }

private:
    std::vector<ComPtr<IUnknown>> m_objects;
};

// A thread of the multithreaded apartment that releases what it is given
// and ends.
unsigned ReleaseInMultithreadedApartment(void* argument) {
    KeptReferences* objects = static_cast<KeptReferences*>(argument);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    objects->clear();
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}

// Fetches the object of one entry for the calling thread. A thread of the
// multithreaded apartment gets the table's own reference: it was taken in that
// apartment, so it is the very pointer the Global Interface Table would hand
// out there, and fetching it costs no search of that table (Wine searches it
// linearly, so a fetch would grow with every live object). A thread of a
// single-threaded apartment needs a pointer marshalled into its own apartment
// and fetches it from the Global Interface Table. An entry without a kept
// object (a null object was stored) also goes to the Global Interface Table,
// which answers for its cookie as it always did.
template <class T>
HRESULT Fetch_NoLock(const KeptObjects& kept, unsigned int handle, DWORD cookie, ComPtr<T>& object)
    ZV_REQUIRES_SHARED(g_DataLock) {
    object.Reset();
    if (InMultithreadedApartment()) {
        const auto it = kept.find(handle);
        if (it != kept.end() && it->second) {
            // Stored from a T*, so the IUnknown held is that same interface pointer.
            object = ComPtr<T>(static_cast<T*>(it->second.Get()));
            return S_OK;
        }
    }
    return GIT::Get_NoLock(cookie, __uuidof(T), object.ReceiveVoid());
}

// Takes the kept reference of one handle, or all of them, out of `kept`
// into `taken`.
void TakeKept(KeptObjects& kept, const unsigned int* handle, KeptReferences& taken) {
    auto first = handle ? kept.find(*handle) : kept.begin();
    auto last = handle && first != kept.end() ? std::next(first) : kept.end();
    for (auto it = first; it != last; ++it) taken.push_back(std::move(it->second));
    kept.erase(first, last);
}
}  // namespace

void ReleaseOnCreatorPool(std::vector<ComPtr<IUnknown>> objects, ThreadPool* creatorPool) {
    if (objects.empty()) return;
    try {
        if (!creatorPool) creatorPool = FindThreadPool(kComObjectCreatorPoolName);
        creatorPool->QueueWork(WorkerPtr(new KeptReleaseWorker(std::move(objects))));
    } catch (...) {
    }
}

// The references were taken in the multithreaded apartment. A thread outside
// it (a single-threaded apartment of the application) cannot release them
// itself, and the creator pool may be busy for minutes with a creation that
// waits for the updater: a thread of its own releases them, and the caller
// waits for it, so that the service objects are gone when a destroy returns.
void ReleaseKeptReferences(KeptReferences objects) {
    if (objects.empty() || InMultithreadedApartment()) return;
    const ScopedHandle thread(StartThreadInOwnModule(&ReleaseInMultithreadedApartment, &objects));
    if (thread)
        WaitForSingleObject(thread.Get(), INFINITE);
    else
        ReleaseOnCreatorPool(std::move(objects));
}

unsigned int DrawHandle() {
    return HandleCounter.fetch_add(1) + 1;
}

namespace GIT {
HRESULT Keep_NoLock() {
    ComPtr<IGlobalInterfaceTable> git;
    HRESULT hr = ObtainGlobalInterfaceTable(git);
    if (FAILED(hr)) return hr;
    IGlobalInterfaceTable* previous = g_keptTable.exchange(git.Detach());
    if (previous) previous->Release();
    return S_OK;
}

void Drop_NoLock() {
    if (IGlobalInterfaceTable* kept = g_keptTable.exchange(nullptr)) kept->Release();
}

HRESULT Store_NoLock(IUnknown* object, REFIID iid, DWORD* cookie) {
    return OnGlobalInterfaceTable(
        [&](IGlobalInterfaceTable* git) { return git->RegisterInterfaceInGlobal(object, iid, cookie); });
}

HRESULT Get_NoLock(DWORD cookie, REFIID iid, void** object) {
    return OnGlobalInterfaceTable(
        [&](IGlobalInterfaceTable* git) { return git->GetInterfaceFromGlobal(cookie, iid, object); });
}

HRESULT Remove_NoLock(DWORD cookie) {
    return OnGlobalInterfaceTable([&](IGlobalInterfaceTable* git) { return git->RevokeInterfaceFromGlobal(cookie); });
}
}  // namespace GIT

namespace {
// Revokes one cookie; one further attempt is made when the first fails, and
// the first failure is the result.
HRESULT RevokeCookie(DWORD cookie) ZV_REQUIRES(g_DataLock) {
    if (cookie == 0) return S_OK;
    HRESULT hr = GIT::Remove_NoLock(cookie);
    if (FAILED(hr)) GIT::Remove_NoLock(cookie);
    return hr;
}
// Makes the kept-reference node of a new entry before anything is stored;
// when that allocation fails, the entry just placed goes again.
template <class Map>
std::pair<KeptObjects::iterator, bool> PlaceKept(KeptObjects& kept, unsigned int handle, Map& map,
                                                 const std::pair<typename Map::iterator, bool>& placed) {
    try {
        return kept.emplace(handle, ComPtr<IUnknown>());
    } catch (...) {
        if (placed.second) map.erase(placed.first);
        throw;
    }
}
}  // namespace

// ---- ComObjectTable -------------------------------------------------------

template <class T>
HRESULT ComObjectTable<T>::Set_ExclusiveLock(unsigned int handle, T* object) {
    ExclusiveLockHold hold(g_DataLock);
    // The entry is made first: when allocating it fails, nothing has been
    // registered in the Global Interface Table, where the object would stay
    // alive for the life of the process.
    // Its kept reference's node too: nothing can fail once the object is
    // stored, so a failure never leaves a cookie and an entry behind for a
    // handle that is never handed out.
    const auto placed = m_map.emplace(handle, 0);
    const auto keptPlaced = PlaceKept(m_kept, handle, m_map, placed);
    DWORD cookie = 0;
    if (object) {
        ComPtr<T> extra(object);
        HRESULT hr = GIT::Store_NoLock(extra.Get(), __uuidof(T), &cookie);
        if (FAILED(hr)) {
            if (keptPlaced.second) m_kept.erase(keptPlaced.first);
            if (placed.second) m_map.erase(placed.first);
            TraceError(L"%S::Set_ExclusiveLock: GIT::Store_NoLock failed with HRESULT %u", m_name,
                       static_cast<unsigned>(hr));
            return hr;
        }
    }
    placed.first->second = cookie;
    keptPlaced.first->second = ComPtr<IUnknown>(object);
    TraceInfo(L"%S::Set_ExclusiveLock: Stored object with handle %u and GIT cookie %u", m_name, handle,
              static_cast<unsigned>(cookie));
    return S_OK;
}

template <class T>
void ComObjectTable<T>::Set_ExclusiveLock_Throws(unsigned int handle, T* object, const char* operation) {
    const HRESULT hr = Set_ExclusiveLock(handle, object);
    if (FAILED(hr)) {
        TraceError(L"%S: %S::Set_ExclusiveLock failed with HRESULT %u", operation, m_name, static_cast<unsigned>(hr));
        ThrowComError(hr);
    }
}

template <class T>
HRESULT ComObjectTable<T>::Get_SharedLock(unsigned int handle, ComPtr<T>& object) {
    SharedLockHold hold(g_DataLock);
    auto it = m_map.find(handle);
    if (it == m_map.end()) return E_HANDLE;
    return Fetch_NoLock(m_kept, handle, it->second, object);
}

template <class T>
ComPtr<T> ComObjectTable<T>::Get_SharedLock_Throws(unsigned int handle) {
    ComPtr<T> object;
    HRESULT hr = Get_SharedLock(handle, object);
    if (FAILED(hr)) {
        TraceError(L"%S: %S::Get_SharedLock_Throws failed to get object for handle %u", "", m_name, handle);
        ThrowComError(hr);
    }
    return object;
}

template <class T>
void ComObjectTable<T>::Delete_ExclusiveLock(unsigned int handle) {
    TraceInfo(L"%S::Delete_ExclusiveLock called for handle %u", m_name, handle);
    HRESULT hr;
    KeptReferences released;
    {
        ExclusiveLockHold hold(g_DataLock);
        hr = Delete_NoLock(handle, released);
    }
    ReleaseKeptReferences(std::move(released));
    if (FAILED(hr)) {
        TraceError(L"%S: %S::Delete_ExclusiveLock failed with HRESULT %u", m_deleteOperation, m_name,
                   static_cast<unsigned>(hr));
        ThrowComError(hr);
    }
}

template <class T>
HRESULT ComObjectTable<T>::Delete_NoLock(unsigned int handle, KeptReferences& released) {
    TraceInfo(L"%S::Delete_NoLock starts for handle %u", m_name, handle);
    auto it = m_map.find(handle);
    if (it == m_map.end()) {
        TraceError(L"%S::Delete_NoLock: The handle %u was not found.", m_name, handle);
        return E_HANDLE;
    }
    DWORD cookie = it->second;
    // The entry goes first and stays gone even when the revoke fails.
    m_map.erase(it);
    HRESULT hr = DeleteComPtr_NoLock(cookie);
    TakeKept(m_kept, &handle, released);
    if (FAILED(hr)) {
        TraceError(L"%S::Delete_NoLock: GIT::Remove_NoLock failed with HRESULT %u", m_name, static_cast<unsigned>(hr));
        return hr;
    }
    TraceInfo(L"%S::Delete_NoLock completed ok for handle %u", m_name, handle);
    return S_OK;
}

template <class T>
HRESULT ComObjectTable<T>::DeleteComPtr_NoLock(DWORD cookie) {
    HRESULT hr = RevokeCookie(cookie);
    if (FAILED(hr)) {
        TraceError(L"%S::DeleteComPtr_NoLock: GIT::Remove_NoLock failed with HRESULT %u", m_name,
                   static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

template <class T>
void ComObjectTable<T>::DeleteAll_NoLock(const wchar_t* countTrace, KeptReferences& released) {
    TraceInfo(countTrace, static_cast<unsigned>(m_map.size()));
    for (const auto& entry : m_map) DeleteComPtr_NoLock(entry.second);
    m_map.clear();
    TakeKept(m_kept, nullptr, released);
}

template class ComObjectTable<IZelvarAuthContext>;
template class ComObjectTable<IZelvarVpnAuthContext>;
template class ComObjectTable<IZelvarHttpRequest>;

// ---- ConnectionTable ------------------------------------------------------

HRESULT ConnectionTable::SetData_ExclusiveLock(unsigned int handle, IZelvarConnection* object, ConnectionData data) {
    ExclusiveLockHold hold(g_DataLock);
    // Entry first, as in ComObjectTable::Set_ExclusiveLock.
    data.gitCookie = 0;
    const auto placed = m_map.emplace(handle, data);
    const auto keptPlaced = PlaceKept(m_kept, handle, m_map, placed);
    DWORD cookie = 0;
    if (object) {
        ComPtr<IZelvarConnection> extra(object);
        HRESULT hr = GIT::Store_NoLock(extra.Get(), IID_IZelvarConnection, &cookie);
        if (FAILED(hr)) {
            if (keptPlaced.second) m_kept.erase(keptPlaced.first);
            if (placed.second) m_map.erase(placed.first);
            TraceError(L"ConnectionTable::SetData_ExclusiveLock: GIT::Store_NoLock failed with HRESULT %u",
                       static_cast<unsigned>(hr));
            return hr;
        }
    }
    data.gitCookie = cookie;
    placed.first->second = data;
    keptPlaced.first->second = ComPtr<IUnknown>(object);
    TraceInfo(L"ConnectionTable::SetData_ExclusiveLock: Stored Zelvar with handle %u and GIT cookie %u", handle,
              static_cast<unsigned>(cookie));
    return S_OK;
}

HRESULT ConnectionTable::Get_SharedLock(unsigned int handle, ComPtr<IZelvarConnection>& object) {
    SharedLockHold hold(g_DataLock);
    auto it = m_map.find(handle);
    if (it == m_map.end()) return E_HANDLE;
    return Fetch_NoLock(m_kept, handle, it->second.gitCookie, object);
}

ComPtr<IZelvarConnection> ConnectionTable::Get_SharedLock_Throws(unsigned int handle) {
    ComPtr<IZelvarConnection> object;
    HRESULT hr = Get_SharedLock(handle, object);
    if (FAILED(hr)) {
        TraceError(L"%S failed to get Zelvar connection for handle %u", "", handle);
        ThrowComError(hr);
    }
    return object;
}

HRESULT ConnectionTable::GetDataAndObject_SharedLock(unsigned int handle, ComPtr<IZelvarConnection>& object,
                                                     ConnectionData& data) {
    SharedLockHold hold(g_DataLock);
    auto it = m_map.find(handle);
    if (it == m_map.end()) return E_HANDLE;
    data = it->second;
    HRESULT hr = Fetch_NoLock(m_kept, handle, data.gitCookie, object);
    if (FAILED(hr)) {
        TraceError(L"ConnectionTable::GetDataAndObject_SharedLock: GIT::Get_NoLock failed with HRESULT %u",
                   static_cast<unsigned>(hr));
    }
    return hr;
}

bool ConnectionTable::GetData_SharedLock(unsigned int handle, ConnectionData& data) {
    SharedLockHold hold(g_DataLock);
    auto it = m_map.find(handle);
    if (it == m_map.end()) return false;
    data = it->second;
    return true;
}

HRESULT ConnectionTable::Delete_ExclusiveLock(unsigned int handle) {
    TraceInfo(L"ConnectionTable::Delete_ExclusiveLock Starts for handle %u", handle);
    HRESULT hr;
    KeptReferences released;
    {
        ExclusiveLockHold hold(g_DataLock);
        hr = Delete_NoLock(handle, released);
    }
    ReleaseKeptReferences(std::move(released));
    return hr;
}

HRESULT ConnectionTable::Delete_NoLock(unsigned int handle, KeptReferences& released) {
    TraceInfo(L"ConnectionTable::Delete_NoLock: Starts for handle %u", handle);
    auto it = m_map.find(handle);
    if (it == m_map.end()) return E_HANDLE;
    ConnectionData data = it->second;
    m_map.erase(it);
    HRESULT hr = DeleteComPtr_NoLock(data.gitCookie);
    TakeKept(m_kept, &handle, released);
    TraceInfo(L"ConnectionTable::Delete_NoLock: Finished for handle %u", handle);
    return hr;
}

HRESULT ConnectionTable::DeleteComPtr_NoLock(DWORD cookie) {
    HRESULT hr = RevokeCookie(cookie);
    if (FAILED(hr)) {
        TraceError(L"ConnectionTable::DeleteComPtr_NoLock: GIT::Remove_NoLock failed with HRESULT %u",
                   static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

void ConnectionTable::ForEach_NoLock(
    const std::function<bool(unsigned int handle, const ConnectionData& data)>& visitor) const {
    for (const auto& entry : m_map) {
        if (!visitor(entry.first, entry.second)) break;
    }
}

void ConnectionTable::DeleteAll_NoLock(KeptReferences& released) {
    TraceInfo(L"Deleting %u zelvar connections", static_cast<unsigned>(m_map.size()));
    for (const auto& entry : m_map) DeleteComPtr_NoLock(entry.second.gitCookie);
    m_map.clear();
    TakeKept(m_kept, nullptr, released);
}

}  // namespace BrennicZelvarSDK
