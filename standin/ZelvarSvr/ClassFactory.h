// One class factory per served class; LockServer counts as a live object.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace ZelvarStandin {

using ObjectCreator = HRESULT (*)(REFIID iid, void** out);

// A new factory with one reference.
IClassFactory* NewClassFactory(ObjectCreator creator);

// The factory for a class served by the stand-in (the Zelvar class or the
// scenario control), or null for any other class.
IClassFactory* NewClassFactoryFor(REFCLSID clsid);

}  // namespace ZelvarStandin
