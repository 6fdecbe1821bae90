// Reference counting shared by every COM object of the stand-in: each object
// counts itself in the module from construction to destruction, so that the
// local server knows when its last object is gone.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

#include "ServiceModule.h"

namespace ZelvarStandin {

class ComObject {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

protected:
    ComObject() { ServiceModule::Instance().AddObject(); }
    virtual ~ComObject() { ServiceModule::Instance().RemoveObject(); }

    ULONG AddRefObject() { return ++m_references; }
    ULONG ReleaseObject() {
        ULONG left = --m_references;
        if (left == 0) {
            OnFinalRelease();
            delete this;
        }
        return left;
    }
    // Runs inside the final Release, before the object goes.
    virtual void OnFinalRelease() {}

private:
    std::atomic<ULONG> m_references{1};  // the creator's reference
};

#define ZV_STANDIN_REFERENCE_COUNTING            \
    ULONG STDMETHODCALLTYPE AddRef() override {  \
        return AddRefObject();                   \
    }                                            \
    ULONG STDMETHODCALLTYPE Release() override { \
        return ReleaseObject();                  \
    }

}  // namespace ZelvarStandin
