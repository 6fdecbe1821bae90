// The tables' slot order as a client compiled from the documented layout sees
// it: every call here goes through a raw slot number, not through the
// project's own header, so a header that drifted from the contract fails.
#include <gtest/gtest.h>

#include <type_traits>

#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {

void* (*const Table)(const wchar_t* id) = zvtest::GetSdkInterface<void>;

// A slot takes the table as its first argument, with the convention of
// virtual member functions: in 32-bit processes __thiscall (the table in ECX).
#if defined(__i386__)
#define ZV_SLOT __attribute__((thiscall))
#else
#define ZV_SLOT
#endif

// The export and the callback carry the conventions the header states (in
// 32-bit processes a convention is part of the function type).
static_assert(std::is_same<decltype(&QueryInterface), ZVQueryInterfaceFn>::value &&
                  std::is_same<ZVQueryInterfaceFn, BOOL(__stdcall*)(const wchar_t*, void**)>::value,
              "QueryInterface is __stdcall");
static_assert(std::is_same<ZVStatusChangeCallback, void(__cdecl*)(unsigned int, void*, unsigned int, int)>::value,
              "the status callback is __cdecl");

template <class Fn>
Fn Slot(void* table, int slot) {
    return reinterpret_cast<Fn>((*static_cast<void***>(table))[slot]);
}

typedef unsigned int(ZV_SLOT* NoArgFn)(void*);
typedef unsigned int(ZV_SLOT* HandleFn)(void*, unsigned int);
typedef unsigned int(ZV_SLOT* FreeFn)(void*, void*);

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
        EXPECT_EQ(Table(t.previous), Slot<void*(ZV_SLOT*)(void*)>(table, t.slot)(table)) << "slot " << t.slot;
    }
}

TEST(SlotOrder, LifecycleConnectionAndReleaseSlotsDoTheirOperations) {
    void* v1 = Table(ZV_IID_V1);
    void* v2 = Table(ZV_IID_V2);
    void* v3 = Table(ZV_IID_V3);
    void* v5 = Table(ZV_IID_V5);
    void* v6 = Table(ZV_IID_V6);
    void* v9 = Table(ZV_IID_V9);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<NoArgFn>(v1, 1)(v1));      // Uninitialize
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<HandleFn>(v1, 4)(v1, 1));  // DestroyConnection
    unsigned int epoch = 7;
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, (Slot<unsigned int(ZV_SLOT*)(void*, unsigned int, unsigned int*)>(v6, 0)(
                                            v6, 1, &epoch)));  // GetAuthEpoch
    EXPECT_EQ(7u, epoch);
    EXPECT_EQ(ZV_SUCCESS, Slot<NoArgFn>(v1, 0)(v1));                       // Initialize
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, Slot<HandleFn>(v1, 4)(v1, 12345));  // DestroyConnection
    Slot<void(ZV_SLOT*)(void*, void*)>(v1, 11)(v1, nullptr);               // FreeHeaders
    Slot<void(ZV_SLOT*)(void*, void*)>(v1, 13)(v1, nullptr);               // FreeTranslatedUrl
    Slot<void(ZV_SLOT*)(void*)>(v1, 14)(v1);                               // Reserved
    EXPECT_EQ(ZV_SUCCESS, Slot<NoArgFn>(v1, 1)(v1));                       // Uninitialize
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, Slot<NoArgFn>(v1, 1)(v1));

    // The release operations accept null in any state.
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v2, 7)(v2, nullptr));   // FreeVpnAuthorizationInfo
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 2)(v3, nullptr));   // FreeTrampolineUrl
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 6)(v3, nullptr));   // FreeServerTypeInfo
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v5, 17)(v5, nullptr));  // FreeCertificate
    PCCERT_CONTEXT duplicate = reinterpret_cast<PCCERT_CONTEXT>(0x1);
    EXPECT_EQ(ZV_SUCCESS, (Slot<unsigned int(ZV_SLOT*)(void*, PCCERT_CONTEXT, PCCERT_CONTEXT*)>(v5, 18)(
                              v5, nullptr, &duplicate)));  // DuplicateCertificate
    EXPECT_EQ(nullptr, duplicate);
    EXPECT_EQ(ZV_SUCCESS, (Slot<unsigned int(ZV_SLOT*)(void*, void*, unsigned int)>(v9, 1)(v9, nullptr,
                                                                                           3)));  // FreeCookieDataArray
    // A record built the way the SDK builds it goes back through its slot,
    // with its gateway and their strings.
    auto* info = static_cast<_ZV_SERVER_TYPE_INFO*>(malloc(sizeof(_ZV_SERVER_TYPE_INFO)));
    info->serverType = 2;
    info->gatewayInfo = static_cast<_ZV_GATEWAY_INFO*>(malloc(sizeof(_ZV_GATEWAY_INFO)));
    info->gatewayInfo->gatewayString = static_cast<ZVChar*>(calloc(4, sizeof(ZVChar)));
    info->gatewayInfo->gatewayUrl = static_cast<ZVChar*>(calloc(4, sizeof(ZVChar)));
    EXPECT_EQ(ZV_SUCCESS, Slot<FreeFn>(v3, 6)(v3, info));
}
