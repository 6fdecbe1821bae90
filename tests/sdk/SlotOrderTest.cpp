// The tables' slot order as a client compiled from the documented layout sees
// it: every call here goes through a raw slot number, not through the
// project's own header, so a header that drifted from the contract fails.
#include <gtest/gtest.h>

#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {

void* Table(const wchar_t* id) {
    void* out = nullptr;
    zvtest::LoadSdkQueryInterface()(id, &out);
    return out;
}

template <class Fn>
Fn Slot(void* table, int slot) {
    void** vtable = *static_cast<void***>(table);
    return reinterpret_cast<Fn>(vtable[slot]);
}

typedef void* (*PreviousFn)(void*);
typedef unsigned int (*NoArgFn)(void*);
typedef unsigned int (*HandleFn)(void*, unsigned int);
typedef unsigned int (*FreeFn)(void*, void*);
typedef void (*FreeVoidFn)(void*, void*);
typedef void (*ReservedFn)(void*);

}  // namespace

TEST(SlotOrder, GetPreviousInterfaceIsTheLastSlotOfEveryTableFromV2On) {
    const struct {
        const wchar_t* id;
        const wchar_t* previous;
        int slot;
    } tables[] = {
        {ZV_IID_V2, ZV_IID_V1, 8}, {ZV_IID_V3, ZV_IID_V2, 8}, {ZV_IID_V4, ZV_IID_V3, 3}, {ZV_IID_V5, ZV_IID_V4, 21},
        {ZV_IID_V6, ZV_IID_V5, 1}, {ZV_IID_V7, ZV_IID_V6, 1}, {ZV_IID_V8, ZV_IID_V7, 1}, {ZV_IID_V9, ZV_IID_V8, 3},
    };
    for (const auto& t : tables) {
        void* table = Table(t.id);
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(Table(t.previous), Slot<PreviousFn>(table, t.slot)(table)) << "slot " << t.slot;
    }
}

TEST(SlotOrder, LifecycleAndConnectionSlotsOfV1) {
    void* v1 = Table(ZV_IID_V1);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<NoArgFn>(v1, 1)(v1));         // Uninitialize
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<HandleFn>(v1, 4)(v1, 1));     // DestroyConnection
    EXPECT_EQ(ZV_SUCCESS, Slot<NoArgFn>(v1, 0)(v1));                       // Initialize
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, Slot<HandleFn>(v1, 4)(v1, 12345));  // DestroyConnection
    Slot<FreeVoidFn>(v1, 11)(v1, nullptr);                                 // FreeHeaders
    Slot<FreeVoidFn>(v1, 13)(v1, nullptr);                                 // FreeTranslatedUrl
    Slot<ReservedFn>(v1, 14)(v1);                                          // Reserved
    EXPECT_EQ(ZV_SUCCESS, Slot<NoArgFn>(v1, 1)(v1));                       // Uninitialize
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<NoArgFn>(v1, 1)(v1));
}

TEST(SlotOrder, ReleaseOperationsSitInTheirSlotsAndFreeWhatTheyAreGiven) {
    void* v2 = Table(ZV_IID_V2);
    void* v3 = Table(ZV_IID_V3);
    void* v5 = Table(ZV_IID_V5);
    void* v9 = Table(ZV_IID_V9);
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v2, 7)(v2, nullptr));   // FreeVpnAuthorizationInfo
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 2)(v3, nullptr));   // FreeTrampolineUrl
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 6)(v3, nullptr));   // FreeServerTypeInfo
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v5, 17)(v5, nullptr));  // FreeCertificate
    PCCERT_CONTEXT duplicate = reinterpret_cast<PCCERT_CONTEXT>(0x1);
    typedef unsigned int (*DuplicateFn)(void*, PCCERT_CONTEXT, PCCERT_CONTEXT*);
    EXPECT_EQ(ZV_SUCCESS, Slot<DuplicateFn>(v5, 18)(v5, nullptr, &duplicate));  // DuplicateCertificate
    EXPECT_EQ(nullptr, duplicate);
    typedef unsigned int (*FreeCookiesFn)(void*, void*, unsigned int);
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeCookiesFn>(v9, 1)(v9, nullptr, 3));  // FreeCookieDataArray

    // Records built the way the SDK builds them go back through their slot:
    // the record, its gateway and their strings are all released.
    auto* info = static_cast<_ZV_SERVER_TYPE_INFO*>(malloc(sizeof(_ZV_SERVER_TYPE_INFO)));
    info->serverType = 2;
    info->gatewayInfo = static_cast<_ZV_GATEWAY_INFO*>(malloc(sizeof(_ZV_GATEWAY_INFO)));
    info->gatewayInfo->gatewayString = static_cast<ZVChar*>(calloc(4, sizeof(ZVChar)));
    info->gatewayInfo->gatewayUrl = static_cast<ZVChar*>(calloc(4, sizeof(ZVChar)));
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 6)(v3, info));
}

TEST(SlotOrder, StubbedOperationsOfLaterVersionsRunTheFrame) {
    void* v6 = Table(ZV_IID_V6);
    typedef unsigned int (*EpochFn)(void*, unsigned int, unsigned int*);
    unsigned int epoch = 7;
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<EpochFn>(v6, 0)(v6, 1, &epoch));  // GetAuthEpoch
    EXPECT_EQ(7u, epoch);
}
