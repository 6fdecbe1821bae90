// Handle tables: the application holds 32-bit handles, the tables map them to
// Global Interface Table cookies, so any of the SDK's threads, in any
// apartment, can fetch a correctly marshalled pointer for a handle. All four
// tables are guarded by g_DataLock.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include "ZelvarSvrLib.h"
#include "sync/Globals.h"
#include "interface/ZVTypes.h"
#include "support/Scoped.h"

namespace BrennicZelvarSDK {

class ThreadPool;

// Releases the references on the creator pool's thread, as a work item of its
// own after whatever that thread runs now (here when there is no pool). A
// work item passes the pool it was given, since it must not look one up.
void ReleaseOnCreatorPool(std::vector<ComPtr<IUnknown>> objects, ThreadPool* creatorPool = nullptr);

// References taken out of the tables under g_DataLock, to be released after
// it is let go: a release is a round trip to the service, and a service may
// report a last status change from inside it and wait for the event sink,
// which needs the lock.
typedef std::vector<ComPtr<IUnknown>> KeptReferences;

// Releases kept references in the multithreaded apartment, where they were
// taken, before it returns: on this thread when it is in that apartment,
// otherwise on a thread started for the purpose. Never with an SDK lock held.
void ReleaseKeptReferences(KeptReferences objects);

// Draws the next handle of any kind: 1 first, never 0, never reused while the
// library stays loaded (not even across Uninitialize).
unsigned int DrawHandle();

// The three steps on the Global Interface Table. While the SDK is
// initialised they use the table kept by Keep_NoLock; otherwise each step
// obtains it afresh, and failing to obtain it is the step's failure. All run
// with g_DataLock held (exclusively for Keep_NoLock and Drop_NoLock).
namespace GIT {
HRESULT Keep_NoLock() ZV_REQUIRES(g_DataLock);
void Drop_NoLock() ZV_REQUIRES(g_DataLock);
HRESULT Store_NoLock(IUnknown* object, REFIID iid, DWORD* cookie) ZV_REQUIRES_SHARED(g_DataLock);
HRESULT Get_NoLock(DWORD cookie, REFIID iid, void** object) ZV_REQUIRES_SHARED(g_DataLock);
HRESULT Remove_NoLock(DWORD cookie) ZV_REQUIRES_SHARED(g_DataLock);
}  // namespace GIT

// One reference to each stored object, taken on the thread that stores it
// (a thread of the multithreaded apartment) and released when its entry goes.
// It keeps the object's proxy alive in that apartment, so that fetching the
// object from the Global Interface Table there finds the proxy instead of
// building a new one and asking the service process for references each
// time (several round trips to the service per fetch and release).
// Looked up on every call in the multithreaded apartment, never walked in
// order: hashed, so the look-up does not grow with the number of live objects.
typedef std::unordered_map<unsigned int, ComPtr<IUnknown>> KeptObjects;

// Handle -> cookie for one kind of service object. `name` appears in every
// trace line; `deleteOperation` names the API operation in the failure trace
// of Delete_ExclusiveLock.
template <class T>
class ComObjectTable {
public:
    ComObjectTable(const char* name, const char* deleteOperation) : m_name(name), m_deleteOperation(deleteOperation) {}

    const char* Name() const { return m_name; }
    HRESULT Set_ExclusiveLock(unsigned int handle, T* object);
    // Set_ExclusiveLock for a creation work item: a failure is traced as
    // "%S: %S::Set_ExclusiveLock failed with HRESULT %u" with `operation` and
    // the table's name, and raised as a COM error.
    void Set_ExclusiveLock_Throws(unsigned int handle, T* object, const char* operation);
    HRESULT Get_SharedLock(unsigned int handle, ComPtr<T>& object);
    ComPtr<T> Get_SharedLock_Throws(unsigned int handle);
    void Delete_ExclusiveLock(unsigned int handle);
    // The entry's kept reference goes into `released`.
    HRESULT Delete_NoLock(unsigned int handle, KeptReferences& released) ZV_REQUIRES(g_DataLock);
    HRESULT DeleteComPtr_NoLock(DWORD cookie) ZV_REQUIRES(g_DataLock);
    // Revokes every entry and empties the map.
    void DeleteAll_NoLock(const wchar_t* countTrace, KeptReferences& released) ZV_REQUIRES(g_DataLock);

private:
    const char* m_name;
    const char* m_deleteOperation;
    std::map<unsigned int, DWORD> m_map ZV_GUARDED_BY(g_DataLock);
    KeptObjects m_kept ZV_GUARDED_BY(g_DataLock);
};

struct ConnectionData {
    DWORD gitCookie;
    ZVStatusChangeCallback callback;
    void* context;
};

class ConnectionTable {
public:
    HRESULT SetData_ExclusiveLock(unsigned int handle, IZelvarConnection* object, ConnectionData data);
    HRESULT Get_SharedLock(unsigned int handle, ComPtr<IZelvarConnection>& object);
    ComPtr<IZelvarConnection> Get_SharedLock_Throws(unsigned int handle);
    HRESULT GetDataAndObject_SharedLock(unsigned int handle, ComPtr<IZelvarConnection>& object, ConnectionData& data);
    // A copy of the entry; false when the handle is not in the table.
    bool GetData_SharedLock(unsigned int handle, ConnectionData& data);
    HRESULT Delete_ExclusiveLock(unsigned int handle);
    HRESULT Delete_NoLock(unsigned int handle, KeptReferences& released) ZV_REQUIRES(g_DataLock);
    HRESULT DeleteComPtr_NoLock(DWORD cookie) ZV_REQUIRES(g_DataLock);
    // Walks the entries in ascending handle order with g_DataLock already
    // held; the visitor returns false to stop the walk.
    void ForEach_NoLock(const std::function<bool(unsigned int handle, const ConnectionData& data)>& visitor) const
        ZV_REQUIRES_SHARED(g_DataLock);
    void DeleteAll_NoLock(KeptReferences& released) ZV_REQUIRES(g_DataLock);

private:
    std::map<unsigned int, ConnectionData> m_map ZV_GUARDED_BY(g_DataLock);
    KeptObjects m_kept ZV_GUARDED_BY(g_DataLock);
};

typedef ComObjectTable<IZelvarAuthContext> RequestContextTable;
typedef ComObjectTable<IZelvarVpnAuthContext> VpnAuthContextTable;
typedef ComObjectTable<IZelvarHttpRequest> HttpRequestTable;

extern template class ComObjectTable<IZelvarAuthContext>;
extern template class ComObjectTable<IZelvarVpnAuthContext>;
extern template class ComObjectTable<IZelvarHttpRequest>;

}  // namespace BrennicZelvarSDK
