// DllRegisterServer / DllUnregisterServer of the built ZelvarSDK.dll, called
// through the real exports, against the registry of the test prefix.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "common/RegistryIsolation.h"
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

// Runs a program to its end (at most 30 s) and returns its exit code.
DWORD RunProgram(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError() | 0x80000000u;
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

class SelfRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_module = LoadLibraryW((ExeDirectory() + L"\\ZelvarSDK.dll").c_str());
        ASSERT_NE(nullptr, m_module);
        m_register =
            reinterpret_cast<RegistrationEntry>(reinterpret_cast<void*>(GetProcAddress(m_module, "DllRegisterServer")));
        m_unregister = reinterpret_cast<RegistrationEntry>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllUnregisterServer")));
        ASSERT_NE(nullptr, m_register);
        ASSERT_NE(nullptr, m_unregister);
        m_dllPath = ModulePath(m_module);
    }
    void TearDown() override {
        if (m_module) FreeLibrary(m_module);
    }

    static void ExpectPathValue(HKEY hive, const std::wstring& path) {
        RegValue value;
        ASSERT_TRUE(ReadRegValue(hive, kZelvarKey, kPathValue, value));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
        EXPECT_EQ((path.size() + 1) * 2, value.bytes.size());
        EXPECT_EQ(RegSzBytes(path), value.bytes);
    }
    static bool HasPathValue(HKEY hive) {
        RegValue value;
        return ReadRegValue(hive, kZelvarKey, kPathValue, value);
    }

    ScopedRegistryKeyIsolation m_machine{HKEY_LOCAL_MACHINE, kZelvarKey};
    ScopedRegistryKeyIsolation m_user{HKEY_CURRENT_USER, kZelvarKey};
    HMODULE m_module = nullptr;
    RegistrationEntry m_register = nullptr;
    RegistrationEntry m_unregister = nullptr;
    std::wstring m_dllPath;
};

TEST_F(SelfRegistrationTest, RegisteringWritesTheLibrarysPathToTheMachineOnlyAndCanBeRepeated) {
    EXPECT_EQ(S_OK, m_register());
    ExpectPathValue(HKEY_LOCAL_MACHINE, m_dllPath);
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarKey));

    EXPECT_EQ(S_OK, m_register());
    ExpectPathValue(HKEY_LOCAL_MACHINE, m_dllPath);
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarKey));
}

TEST_F(SelfRegistrationTest, UnregisteringDeletesOneValueAtATimeMachineFirstAndKeepsTheKeys) {
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kZelvarKey, L"SDKTracingEnabled", L"false"));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kZelvarKey, kPathValue, L"C:\\user copy\\ZelvarSDK.dll"));
    ASSERT_EQ(S_OK, m_register());

    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_FALSE(HasPathValue(HKEY_LOCAL_MACHINE));
    ExpectPathValue(HKEY_CURRENT_USER, L"C:\\user copy\\ZelvarSDK.dll");
    RegValue other;
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, kZelvarKey, L"SDKTracingEnabled", other));

    // The machine no longer holds it: the user's copy goes next.
    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_FALSE(HasPathValue(HKEY_CURRENT_USER));
    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, kZelvarKey));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kZelvarKey));

    EXPECT_EQ(E_UNEXPECTED, m_unregister());
}

TEST_F(SelfRegistrationTest, UnregisteringWhatWasNeverRegisteredFails) {
    EXPECT_EQ(E_UNEXPECTED, m_unregister());
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kZelvarKey, L"Other", L"x"));
    EXPECT_EQ(E_UNEXPECTED, m_unregister());
}

// The machine's key made read-only for everyone, as it is for an unelevated
// caller on Windows; its original security is put back afterwards.
class ReadOnlyMachineKey {
public:
    ReadOnlyMachineKey() {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZelvarKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return;
        m_applied = SetDacl(key, L"D:P(A;;KR;;;WD)");
        RegCloseKey(key);
    }
    ~ReadOnlyMachineKey() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZelvarKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
        SetDacl(key, L"D:(A;;KA;;;WD)");
        RegCloseKey(key);
    }
    bool Applied() const { return m_applied; }

private:
    static bool SetDacl(HKEY key, const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            return false;
        const bool ok = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
        LocalFree(descriptor);
        return ok;
    }
    bool m_applied = false;
};

TEST_F(SelfRegistrationTest, WithoutWriteAccessToTheMachineTheUserHiveIsUsed) {
    ReadOnlyMachineKey readOnly;
    ASSERT_TRUE(readOnly.Applied());
    HKEY probe = nullptr;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZelvarKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                                   nullptr, &probe, nullptr));

    EXPECT_EQ(S_OK, m_register());
    ExpectPathValue(HKEY_CURRENT_USER, m_dllPath);
    EXPECT_FALSE(HasPathValue(HKEY_LOCAL_MACHINE));

    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_FALSE(HasPathValue(HKEY_CURRENT_USER));
    EXPECT_EQ(E_UNEXPECTED, m_unregister());
}

TEST_F(SelfRegistrationTest, TheValueNamesTheLibraryFileNotTheProcessThatLoadedIt) {
    // A copy of the library in another folder, loaded by this program.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"zv selfreg " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + L"\\ZelvarSDK.dll";
    ASSERT_TRUE(CopyFileW(m_dllPath.c_str(), copy.c_str(), FALSE));
    HMODULE copied = LoadLibraryExW(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(nullptr, copied);
    ASSERT_NE(m_module, copied);
    auto registerCopy =
        reinterpret_cast<RegistrationEntry>(reinterpret_cast<void*>(GetProcAddress(copied, "DllRegisterServer")));
    EXPECT_EQ(S_OK, registerCopy());
    ExpectPathValue(HKEY_LOCAL_MACHINE, ModulePath(copied));
    FreeLibrary(copied);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(SelfRegistrationTest, ThePlatformsRegistrationToolRecordsTheLibrarysOwnPath) {
    // regsvr32 lives in the system folder: the library is loaded by a
    // process from another folder than its own.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring regsvr32 = std::wstring(system) + L"\\regsvr32.exe";
    ASSERT_NE(ExeDirectory(), std::wstring(system));

    EXPECT_EQ(0u, RunProgram(L"\"" + regsvr32 + L"\" /s \"" + m_dllPath + L"\""));
    ExpectPathValue(HKEY_LOCAL_MACHINE, m_dllPath);
    EXPECT_EQ(0u, RunProgram(L"\"" + regsvr32 + L"\" /u /s \"" + m_dllPath + L"\""));
    EXPECT_FALSE(HasPathValue(HKEY_LOCAL_MACHINE));
    // Nothing left to unregister: the tool reports the failure.
    EXPECT_NE(0u, RunProgram(L"\"" + regsvr32 + L"\" /u /s \"" + m_dllPath + L"\""));
}

}  // namespace
