// Lifetime of the module that hosts the service objects: the count of live
// objects and server locks, the time of the last call, and what to do when the
// last object goes away or a shutdown is asked for. The local server exits on
// these; the in-process server answers DllCanUnloadNow with them.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace ZelvarStandin {

enum class HostKind { LocalServer, InprocServer };

class ServiceModule {
public:
    static ServiceModule& Instance();

    void SetHost(HostKind host, HMODULE module);
    HostKind Host() const { return m_host; }
    HMODULE Module() const { return m_module; }
    std::wstring ModulePath() const;

    // Every COM object of the module counts itself from construction to
    // destruction; IClassFactory::LockServer counts as an object as well.
    void AddObject();
    void RemoveObject();
    long LiveObjects() const { return m_liveObjects.load(); }

    // Any incoming call marks the module busy; the local server's idle
    // time-out counts from the last one.
    void NoteActivity();
    ULONGLONG MillisecondsSinceActivity() const;

    // Called (outside any lock) each time the count of live objects drops to 0.
    void SetLastObjectHandler(std::function<void()> handler);
    // Called when a client asks the server to end (scenario control "Shutdown").
    void SetShutdownHandler(std::function<void()> handler);
    bool RequestShutdown();

private:
    ServiceModule() = default;

    HostKind m_host = HostKind::InprocServer;
    HMODULE m_module = nullptr;
    std::atomic<long> m_liveObjects{0};
    std::atomic<ULONGLONG> m_lastActivity{0};
    std::mutex m_handlerLock;
    std::function<void()> m_lastObjectHandler;
    std::function<void()> m_shutdownHandler;
};

}  // namespace ZelvarStandin
