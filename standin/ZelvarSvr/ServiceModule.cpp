#include "ServiceModule.h"

namespace ZelvarStandin {

ServiceModule& ServiceModule::Instance() {
    static ServiceModule module;
    return module;
}

void ServiceModule::SetHost(HostKind host, HMODULE module) {
    m_host = host;
    m_module = module;
    NoteActivity();
}

std::wstring ServiceModule::ModulePath() const {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(m_module, path, MAX_PATH);
    return path;
}

void ServiceModule::AddObject() {
    ++m_liveObjects;
    NoteActivity();
}

void ServiceModule::RemoveObject() {
    NoteActivity();
    if (--m_liveObjects != 0) return;
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> hold(m_handlerLock);
        handler = m_lastObjectHandler;
    }
    if (handler) handler();
}

void ServiceModule::NoteActivity() {
    m_lastActivity = GetTickCount64();
}

ULONGLONG ServiceModule::MillisecondsSinceActivity() const {
    return GetTickCount64() - m_lastActivity.load();
}

void ServiceModule::SetLastObjectHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> hold(m_handlerLock);
    m_lastObjectHandler = std::move(handler);
}

void ServiceModule::SetShutdownHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> hold(m_handlerLock);
    m_shutdownHandler = std::move(handler);
}

bool ServiceModule::RequestShutdown() {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> hold(m_handlerLock);
        handler = m_shutdownHandler;
    }
    if (!handler) return false;
    handler();
    return true;
}

}  // namespace ZelvarStandin
