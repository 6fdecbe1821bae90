#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "support/Trace.h"

using namespace BrennicZelvarSDK;

namespace {

std::wstring Format(const wchar_t* format, ...) {
    std::wstring out = L"stale";
    va_list args;
    va_start(args, format);
    CUtils::FormatString(out, format, args);
    va_end(args);
    return out;
}

}  // namespace

TEST(FormatString, FollowsTheMicrosoftRuntimesWideConversions) {
    // %s is a wide string and %S a narrow one in a wide format.
    EXPECT_EQ(L"wide=Zürich narrow=Brennic", Format(L"wide=%s narrow=%S", L"Zürich", "Brennic"));
    EXPECT_EQ(L"2147500037 -5 7", Format(L"%u %d %d", 2147500037u, -5, 7));
    // %p: 16 upper-case hexadecimal digits, no prefix.
    EXPECT_EQ(L"000000001234ABCD", Format(L"%p", reinterpret_cast<void*>(0x1234ABCDull)));
    EXPECT_EQ(L"FEDCBA9876543210", Format(L"%p", reinterpret_cast<void*>(0xFEDCBA9876543210ull)));
    EXPECT_EQ(L"100%", Format(L"100%%"));
    EXPECT_EQ(L"a\nb", Format(L"a\nb"));
}

TEST(FormatString, NullFormatGivesTheEmptyString) {
    EXPECT_EQ(L"", Format(nullptr));
}

TEST(FormatString, LongTextIsNotCut) {
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(L"[" + longText + L"]", Format(L"[%s]", longText.c_str()));
}
