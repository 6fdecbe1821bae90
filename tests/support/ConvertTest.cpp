#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"
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

// What the call frame makes of the exception a converter raised.
template <class F>
ZVResult FrameResult(F f) {
    try {
        f();
        return ZV_SUCCESS;
    } catch (...) {
        return HandleApiException("BrennicZelvarSDK::Test::Convert");
    }
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
    Block fromNull(BSTRToZVChar(nullptr));
    ASSERT_NE(nullptr, fromNull.p);
    EXPECT_EQ(2u, fromNull.Size());
    EXPECT_EQ(L'\0', static_cast<ZVChar*>(fromNull.p)[0]);

    ScopedBstr empty(SysAllocString(L""));
    Block fromEmpty(BSTRToZVChar(empty.Get()));
    EXPECT_EQ(2u, fromEmpty.Size());
    EXPECT_EQ(L'\0', static_cast<ZVChar*>(fromEmpty.p)[0]);

    ScopedBstr text(SysAllocString(L"Zürich"));
    Block plain(BSTRToZVChar(text.Get()));
    EXPECT_EQ(14u, plain.Size());
    EXPECT_STREQ(L"Zürich", static_cast<ZVChar*>(plain.p));

    ScopedBstr embedded(SysAllocStringLen(L"ab\0cd", 5));
    Block cut(BSTRToZVChar(embedded.Get()));
    EXPECT_EQ(12u, cut.Size());  // sized by the BSTR's length
    EXPECT_STREQ(L"ab", static_cast<ZVChar*>(cut.p));
}

TEST(BSTRSafeArrayToZVChar, TwoStringsMakeOne34ByteBlockInTheDefinedLayout) {
    ScopedSafeArray array(MakeBstrArray({L"a", L"bc"}));
    Block block(BSTRSafeArrayToZVChar(array.Get()));
    ASSERT_EQ(34u, block.Size());
    auto** table = static_cast<ZVChar**>(block.p);
    auto* base = static_cast<unsigned char*>(block.p);
    EXPECT_EQ(reinterpret_cast<ZVChar*>(base + 24), table[0]);
    EXPECT_EQ(reinterpret_cast<ZVChar*>(base + 28), table[1]);
    EXPECT_EQ(nullptr, table[2]);
    const unsigned char strings[] = {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(base + 24, strings, sizeof strings));
}

TEST(BSTRSafeArrayToZVChar, AnEmptyArrayGivesOneNullPointerAndNullElementsGiveEmptyStrings) {
    ScopedSafeArray empty(MakeBstrArray({}));
    Block none(BSTRSafeArrayToZVChar(empty.Get()));
    EXPECT_EQ(8u, none.Size());
    EXPECT_EQ(nullptr, static_cast<ZVChar**>(none.p)[0]);

    ScopedSafeArray withNull(MakeBstrArray({L"x", nullptr, L"yz"}));
    Block block(BSTRSafeArrayToZVChar(withNull.Get()));
    EXPECT_EQ(8u * 4 + 4 + 2 + 6, block.Size());
    auto** table = static_cast<ZVChar**>(block.p);
    EXPECT_STREQ(L"x", table[0]);
    EXPECT_STREQ(L"", table[1]);
    EXPECT_STREQ(L"yz", table[2]);
    EXPECT_EQ(table[1] + 1, table[2]);
    EXPECT_EQ(nullptr, table[3]);
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
    // The call frame counts it among the unclassified exceptions.
    EXPECT_EQ(ZV_ERROR_FAILED, FrameResult([&] { BSTRSafeArrayToZVChar(numbers.Get()); }));

    // An empty array is fine whatever its lower bound: no element is read.
    ScopedSafeArray emptyShifted(MakeBstrArray({}, 5));
    Block none(BSTRSafeArrayToZVChar(emptyShifted.Get()));
    EXPECT_EQ(8u, none.Size());
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
