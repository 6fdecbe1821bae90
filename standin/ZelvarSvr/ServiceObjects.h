// The service objects: the connection (IZelvarConnection with its one
// connection point for _IZelvarEvents), request contexts, VPN contexts and
// HTTP requests. All are free-threaded; every method records its call and
// arguments in ScenarioState and does what the scenario says, else its
// default (see README).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "ZelvarSvrLib.h"

namespace ZelvarStandin {

// A new connection object with one reference, as the class factory hands it out.
HRESULT CreateConnectionObject(REFIID iid, void** out);

}  // namespace ZelvarStandin
