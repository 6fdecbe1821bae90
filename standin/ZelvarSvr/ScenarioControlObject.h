// ZelvarScenarioControl: the late-bound object through which tests and
// application developers drive the stand-in. Every method takes at most one
// string (JSON text or a method name) and returns JSON text; see README
// "Scenario control" for the methods.
#pragma once

#include <windows.h>

namespace ZelvarStandin {

HRESULT CreateScenarioControlObject(REFIID iid, void** out);

}  // namespace ZelvarStandin
