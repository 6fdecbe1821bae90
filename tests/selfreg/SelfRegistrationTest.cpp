// DllRegisterServer / DllUnregisterServer of the built ZelvarSDK.dll, called
// through the real exports and through the platform's registration tool,
// against the registry of the test prefix.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "common/TestSupport.h"

using namespace zvtest;

namespace {

const wchar_t kZelvarKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kPathValue[] = L"ZelvarSDKPath";
using RegistrationEntry = HRESULT(WINAPI*)();

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

RegistrationEntry Entry(HMODULE module, const char* name) {
    return reinterpret_cast<RegistrationEntry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The path value of a hive, "<none>" when there is none.
std::wstring PathValue(HKEY hive) {
    RegValue value;
    if (!ReadRegValue(hive, kZelvarKey, kPathValue, value)) return L"<none>";
    if (value.type != REG_SZ || value.bytes.size() % 2 || value.bytes.empty() || value.bytes.back()) return L"<bad>";
    return std::wstring(reinterpret_cast<const wchar_t*>(value.bytes.data()), value.bytes.size() / 2 - 1);
}

class SelfRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, m_module);
        ASSERT_TRUE(m_register && m_unregister);
    }
    void TearDown() override { FreeLibrary(m_module); }

    ScopedRegistryKeyIsolation m_machine{HKEY_LOCAL_MACHINE, kZelvarKey};
    ScopedRegistryKeyIsolation m_user{HKEY_CURRENT_USER, kZelvarKey};
    HMODULE m_module = LoadLibraryW((ExeDirectory() + L"\\ZelvarSDK.dll").c_str());
    RegistrationEntry m_register = Entry(m_module, "DllRegisterServer");
    RegistrationEntry m_unregister = Entry(m_module, "DllUnregisterServer");
    std::wstring m_dllPath = ModulePath(m_module);
};

TEST_F(SelfRegistrationTest, RegisterWritesToTheMachineUnregisterDeletesOneValueAtATimeMachineFirst) {
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kZelvarKey, L"SDKTracingEnabled", L"false"));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kZelvarKey, kPathValue, L"C:\\user copy\\ZelvarSDK.dll"));
    for (int i = 0; i < 2; ++i) {  // registering again changes nothing
        EXPECT_EQ(S_OK, m_register());
        EXPECT_EQ(m_dllPath, PathValue(HKEY_LOCAL_MACHINE));
        EXPECT_EQ(L"C:\\user copy\\ZelvarSDK.dll", PathValue(HKEY_CURRENT_USER));
    }
    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_EQ(L"<none>", PathValue(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(L"C:\\user copy\\ZelvarSDK.dll", PathValue(HKEY_CURRENT_USER));
    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_EQ(L"<none>", PathValue(HKEY_CURRENT_USER));
    // Other values and the keys stay.
    RegValue other;
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, kZelvarKey, L"SDKTracingEnabled", other));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, kZelvarKey));
    EXPECT_EQ(E_UNEXPECTED, m_unregister()) << "nothing left to unregister";
}

TEST_F(SelfRegistrationTest, WithoutWriteAccessToTheMachineTheUserHiveIsUsed) {
    // The machine's key read-only for everyone, as for an unelevated caller on Windows.
    auto setDacl = [](REGSAM access, const wchar_t* sddl) {
        HKEY key = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZelvarKey, 0, nullptr, 0, access, nullptr, &key, nullptr) ==
                      ERROR_SUCCESS &&
                  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr) &&
                  RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
        LocalFree(descriptor);
        if (key) RegCloseKey(key);
        return ok;
    };
    ASSERT_TRUE(setDacl(KEY_ALL_ACCESS, L"D:P(A;;KR;;;WD)"));
    EXPECT_EQ(S_OK, m_register());
    EXPECT_EQ(m_dllPath, PathValue(HKEY_CURRENT_USER));
    EXPECT_EQ(L"<none>", PathValue(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_EQ(L"<none>", PathValue(HKEY_CURRENT_USER));
    EXPECT_EQ(E_UNEXPECTED, m_unregister());
    EXPECT_TRUE(setDacl(WRITE_DAC, L"D:(A;;KA;;;WD)"));
}

TEST_F(SelfRegistrationTest, TheValueNamesTheLibraryFileNotTheProcessThatLoadedIt) {
    // regsvr32 lives in the system folder: the library is loaded by a process from another folder.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    auto run = [&](const std::wstring& options) {
        return RunProcess(L"\"" + std::wstring(system) + L"\\regsvr32.exe\" " + options + L" \"" + m_dllPath + L"\"");
    };
    EXPECT_EQ(0u, run(L"/s"));
    EXPECT_EQ(m_dllPath, PathValue(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(0u, run(L"/u /s"));
    EXPECT_EQ(L"<none>", PathValue(HKEY_LOCAL_MACHINE));
    EXPECT_NE(0u, run(L"/u /s")) << "the tool did not report the failed unregistration";
}

}  // namespace
