#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include "support/Trace.h"

using namespace BrennicZelvarSDK;

namespace {

const int kNotInstalledHere = INSTALLSTATE_UNKNOWN;
const int kInstalledLocally = INSTALLSTATE_LOCAL;

TraceSwitchValue Value(const wchar_t* text) {
    return EvaluateTraceSwitchText(true, text);
}
TraceSwitchValue Missing() {
    return EvaluateTraceSwitchText(false, L"");
}

}  // namespace

TEST(TraceSwitch, OnlyTheThreeSpellingsOfTrueAreOn) {
    for (const wchar_t* text : {L"true", L"True", L"TRUE"}) {
        const TraceSwitchValue v = Value(text);
        EXPECT_TRUE(v.found) << text;
        EXPECT_TRUE(v.on) << text;
    }
    for (const wchar_t* text : {L"tRUE", L"1", L"yes", L"true ", L"false"}) {
        const TraceSwitchValue v = Value(text);
        EXPECT_TRUE(v.found) << text;
        EXPECT_FALSE(v.on) << text;
    }
    const TraceSwitchValue empty = Value(L"");
    EXPECT_FALSE(empty.found);
    EXPECT_FALSE(empty.on);
    // A value of the wrong type or without its terminator never counts.
    const TraceSwitchValue absent = EvaluateTraceSwitchText(false, L"true");
    EXPECT_FALSE(absent.found);
    EXPECT_FALSE(absent.on);
}

TEST(TraceSwitch, TheMachineValueDecidesUnlessTheUserTurnsItOff) {
    EXPECT_TRUE(DecideTracing(Value(L"True"), Missing(), kNotInstalledHere));
    EXPECT_FALSE(DecideTracing(Value(L"true"), Value(L"no"), kNotInstalledHere));
    EXPECT_TRUE(DecideTracing(Value(L"TRUE"), Value(L""), kNotInstalledHere));
    EXPECT_TRUE(DecideTracing(Value(L"true"), Value(L"true"), kInstalledLocally));
    EXPECT_FALSE(DecideTracing(Value(L"1"), Missing(), kNotInstalledHere));
    EXPECT_FALSE(DecideTracing(Value(L"1"), Value(L"true"), kNotInstalledHere));
}

TEST(TraceSwitch, WithoutAMachineValueTheUserDecidesUnlessInstalledLocally) {
    EXPECT_TRUE(DecideTracing(Missing(), Value(L"true"), kNotInstalledHere));
    EXPECT_TRUE(DecideTracing(Missing(), Value(L"true"), INSTALLSTATE_ABSENT));
    EXPECT_FALSE(DecideTracing(Missing(), Value(L"true"), kInstalledLocally));
    EXPECT_FALSE(DecideTracing(Missing(), Value(L"false"), kNotInstalledHere));
    EXPECT_FALSE(DecideTracing(Missing(), Missing(), kNotInstalledHere));
    // The machine value "" is not found, so the user value decides.
    EXPECT_TRUE(DecideTracing(Value(L""), Value(L"True"), kNotInstalledHere));
}
