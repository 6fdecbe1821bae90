#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "support/Convert.h"
#include "support/Scoped.h"

using namespace BrennicZelvarSDK;

namespace {

// A converted block owned by the test.
struct Block {
    explicit Block(void* p) : p(p) {}
    ~Block() { std::free(p); }
    size_t Size() const { return _msize(p); }
    void* p;
};

// A one-dimensional BSTR array with the given lower bound.
SAFEARRAY* MakeBstrArray(const std::vector<const wchar_t*>& items, LONG lowerBound = 0) {
    SAFEARRAYBOUND bound = {static_cast<ULONG>(items.size()), lowerBound};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    for (size_t i = 0; i < items.size(); ++i) {
        LONG index = lowerBound + static_cast<LONG>(i);
        BSTR b = items[i] ? SysAllocString(items[i]) : nullptr;
        SafeArrayPutElement(array, &index, b);  // copies
        SysFreeString(b);
    }
    return array;
}

std::vector<std::wstring> ArrayStrings(SAFEARRAY* array) {
    std::vector<std::wstring> out;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        BSTR b = nullptr;
        SafeArrayGetElement(array, &i, &b);
        out.emplace_back(b, SysStringLen(b));
        SysFreeString(b);
    }
    return out;
}

}  // namespace

TEST(BSTRToZVChar, CopiesTheTextUpToAnEmbeddedNulAndNeverGivesNull) {
    ScopedBstr empty(SysAllocString(L"")), text(SysAllocString(L"Z\u00fcrich")),
        embedded(SysAllocStringLen(L"ab\0cd", 5));
    const struct {
        BSTR from;
        size_t size;  // sized by the BSTR's length, embedded NULs included
        const wchar_t* text;
    } cases[] = {
        {nullptr, 2, L""}, {empty.Get(), 2, L""}, {text.Get(), 14, L"Z\u00fcrich"}, {embedded.Get(), 12, L"ab"}};
    for (const auto& c : cases) {
        Block block(BSTRToZVChar(c.from));
        ASSERT_NE(nullptr, block.p);
        EXPECT_EQ(c.size, block.Size()) << c.text;
        EXPECT_STREQ(c.text, static_cast<ZVChar*>(block.p));
    }
}

// One block: the null-terminated pointer table, then each string right after
// the one before; a null element gives an empty string, and an empty array
// is fine whatever its lower bound (no element is read).
TEST(BSTRSafeArrayToZVChar, MakesOneBlockOfThePointerTableAndTheStringsInOrder) {
    const struct {
        std::vector<const wchar_t*> items;
        LONG lowerBound;
        size_t size;
    } cases[] = {{{}, 0, 8}, {{}, 5, 8}, {{L"a", L"bc"}, 0, 34}, {{L"x", nullptr, L"yz"}, 0, 8u * 4 + 4 + 2 + 6}};
    for (const auto& c : cases) {
        ScopedSafeArray array(MakeBstrArray(c.items, c.lowerBound));
        Block block(BSTRSafeArrayToZVChar(array.Get()));
        EXPECT_EQ(c.size, block.Size());
        auto** table = static_cast<ZVChar**>(block.p);
        auto* next = reinterpret_cast<ZVChar*>(table + c.items.size() + 1);
        for (size_t i = 0; i < c.items.size(); ++i) {
            EXPECT_EQ(next, table[i]) << i;
            EXPECT_STREQ(c.items[i] ? c.items[i] : L"", table[i]);
            next += wcslen(table[i]) + 1;
        }
        EXPECT_EQ(nullptr, table[c.items.size()]);
    }
}

TEST(BSTRSafeArrayToZVChar, RefusesWrongElementTypesBoundsAndNullAsUnclassifiedFailures) {
    SAFEARRAYBOUND bound = {2, 0};
    ScopedSafeArray numbers(SafeArrayCreate(VT_I4, 1, &bound));
    ScopedSafeArray dispatch(SafeArrayCreate(VT_DISPATCH, 1, &bound));
    ScopedSafeArray shifted(MakeBstrArray({L"a", L"b"}, 1));
    ScopedSafeArray negative(MakeBstrArray({L"a"}, -1));

    for (SAFEARRAY* refused :
         {numbers.Get(), dispatch.Get(), shifted.Get(), negative.Get(), static_cast<SAFEARRAY*>(nullptr)}) {
        try {
            Block leaked(BSTRSafeArrayToZVChar(refused));
            ADD_FAILURE() << "array accepted";
        } catch (const Convert::SafeArrayFailure& failure) {
            EXPECT_EQ(E_INVALIDARG, failure.hr);
        }
    }
}

TEST(ZVCharTableToBSTRSafeArray, CopiesTheStringsInTableOrderIntoAZeroBasedArrayTheCallerOwns) {
    const ZVChar* const emptyTable[] = {nullptr};
    const ZVChar* const table[] = {L"first", L"", L"third \u20AC", nullptr, L"after the end"};
    const std::vector<std::wstring> none, strings = {L"first", L"", L"third \u20AC"};
    const std::pair<const ZVChar* const*, const std::vector<std::wstring>*> cases[] = {
        {nullptr, &none}, {emptyTable, &none}, {table, &strings}};
    for (const auto& c : cases) {
        SAFEARRAY* array = ZVCharTableToBSTRSafeArray(c.first);
        ASSERT_NE(nullptr, array);
        VARTYPE type = VT_EMPTY;
        SafeArrayGetVartype(array, &type);
        EXPECT_EQ(VT_BSTR, type);
        EXPECT_EQ(1u, SafeArrayGetDim(array));
        LONG lower = -7;
        SafeArrayGetLBound(array, 1, &lower);
        EXPECT_EQ(0, lower);
        EXPECT_EQ(*c.second, ArrayStrings(array));
        EXPECT_EQ(S_OK, SafeArrayDestroy(array)) << "the array is handed out locked";
    }
}
