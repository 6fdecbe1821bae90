#include "ClassFactory.h"

#include <atomic>
#include <new>

#include "ScenarioControlObject.h"
#include "ServiceModule.h"
#include "ServiceObjects.h"
#include "StandinGuids.h"

namespace ZelvarStandin {

namespace {

// Not a ComObject: a factory registered with CoRegisterClassObject lives as
// long as the registration and must not keep the local server alive.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(ObjectCreator creator) : m_creator(creator) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return m_creator(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ServiceModule::Instance().AddObject();
        } else {
            ServiceModule::Instance().RemoveObject();
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> m_references{1};
    ObjectCreator m_creator;
};

}  // namespace

IClassFactory* NewClassFactory(ObjectCreator creator) {
    return new (std::nothrow) ClassFactory(creator);
}

IClassFactory* NewClassFactoryFor(REFCLSID clsid) {
    if (IsEqualCLSID(clsid, CLSID_Zelvar)) return NewClassFactory(CreateConnectionObject);
    if (IsEqualCLSID(clsid, kClsidScenarioControl)) return NewClassFactory(CreateScenarioControlObject);
    return nullptr;
}

}  // namespace ZelvarStandin
