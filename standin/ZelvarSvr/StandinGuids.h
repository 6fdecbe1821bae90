// Identifiers that belong to the stand-in only (never to the product's IDL).
#pragma once

#include <windows.h>

namespace ZelvarStandin {

// ZelvarScenarioControl {B4798CF4-CD00-4EBA-93B6-6D4259E4D422}, ProgID
// "ZelvarStandin.ScenarioControl": the late-bound (IDispatch) control object
// served beside the Zelvar class by both hosts.
inline constexpr CLSID kClsidScenarioControl = {
    0xb4798cf4, 0xcd00, 0x4eba, {0x93, 0xb6, 0x6d, 0x42, 0x59, 0xe4, 0xd4, 0x22}};
inline constexpr wchar_t kScenarioControlProgId[] = L"ZelvarStandin.ScenarioControl";

// Class of the event proxy/stub DLL ZelvarSvrPS.dll {3F2CC53C-9C3D-4087-9C50-0E267778D9EB}.
inline constexpr CLSID kClsidEventsProxy = {
    0x3f2cc53c, 0x9c3d, 0x4087, {0x9c, 0x50, 0x0e, 0x26, 0x77, 0x78, 0xd9, 0xeb}};

}  // namespace ZelvarStandin
