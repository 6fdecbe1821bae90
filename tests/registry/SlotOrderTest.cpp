// The wrapper interfaces are replaced by other implementations: their virtual
// slots are part of the contract and must stay in the documented order.
#include <gtest/gtest.h>

#include <cstring>

#include "Utility/RegUtil.h"
#include "service/UpdaterServiceCommunication.h"

namespace {

// Slot index of a virtual member function (Itanium C++ ABI: a pointer to a
// virtual member holds 1 + the byte offset of its slot in the table).
template <class F>
ptrdiff_t Slot(F member) {
    static_assert(sizeof(F) == 2 * sizeof(ptrdiff_t), "member function pointer layout");
    ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    return (words[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

TEST(SlotOrderTest, RegistryWrapper) {
    using W = BrennicUtility::IBncRegistryUtilApiWrapper;
    EXPECT_EQ(0, Slot(&W::RegOpenKeyExW));
    EXPECT_EQ(1, Slot(&W::RegQueryValueExW));
    EXPECT_EQ(2, Slot(&W::RegGetValueW));
    EXPECT_EQ(3, Slot(&W::RegSetValueExA));
    EXPECT_EQ(4, Slot(&W::RegSetValueExW));
    EXPECT_EQ(5, Slot(&W::RegCreateKeyExW));
    EXPECT_EQ(6, Slot(&W::RegQueryInfoKeyW));
    EXPECT_EQ(7, Slot(&W::RegEnumKeyExW));
    EXPECT_EQ(8, Slot(&W::RegEnumValueW));
    EXPECT_EQ(9, Slot(&W::RegCloseKey));
    EXPECT_EQ(10, Slot(&W::RegDeleteValueW));
}

TEST(SlotOrderTest, RegistryUtility) {
    using U = BrennicUtility::IRegUtil;
    EXPECT_EQ(0, Slot(&U::ReadString));
    EXPECT_EQ(1, Slot(&U::CreateKeyAndSetValue));
    EXPECT_EQ(2, Slot(&U::GetStringValue));
}

TEST(SlotOrderTest, FileOperation) {
    using F = BrennicZelvarSDK::IBncFileOperation;
    EXPECT_EQ(0, Slot(&F::CreateFile));
    EXPECT_EQ(1, Slot(&F::WaitNamedPipe));
    EXPECT_EQ(2, Slot(&F::WriteFile));
    EXPECT_EQ(3, Slot(&F::ReadFile));
    EXPECT_EQ(4, Slot(&F::CloseHandle));
}

}  // namespace
