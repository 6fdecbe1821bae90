// The exported QueryInterface and the interface tables, through the built DLL.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {
const wchar_t* const kIds[] = {ZV_IID_V1, ZV_IID_V2, ZV_IID_V3, ZV_IID_V4, ZV_IID_V5,
                               ZV_IID_V6, ZV_IID_V7, ZV_IID_V8, ZV_IID_V9};

void* Query(const wchar_t* id) {
    void* out = reinterpret_cast<void*>(0x1);
    BOOL ok = zvtest::LoadSdkQueryInterface()(id, &out);
    return ok ? out : nullptr;
}
}  // namespace

TEST(QueryInterface, ExportsResolveAndEveryIdentifierGivesATable) {
    ASSERT_NE(nullptr, zvtest::LoadSdkQueryInterface());
    for (size_t i = 0; i < sizeof kIds / sizeof kIds[0]; ++i) EXPECT_NE(nullptr, Query(kIds[i])) << "table V" << i + 1;
}

TEST(QueryInterface, ComparesWithoutCaseButRefusesBracesAndUnknownIds) {
    void* v1 = Query(ZV_IID_V1);
    EXPECT_EQ(v1, Query(L"b8ebf2fc-06d6-4fe1-b4c7-4786871f0523"));
    EXPECT_EQ(v1, Query(L"B8EBF2FC-06D6-4FE1-B4C7-4786871F0523"));
    EXPECT_EQ(Query(ZV_IID_V8), Query(L"a9573c9c-7030-4fc4-80ca-9dc71cb73c22"));

    auto qi = zvtest::LoadSdkQueryInterface();
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_FALSE(qi(L"{B8EBF2FC-06D6-4fe1-B4C7-4786871F0523}", &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_FALSE(qi(L"B8EBF2FC-06D6-4fe1-B4C7-4786871F052", &out));  // a prefix is not a match
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_FALSE(qi(L"", &out));
    EXPECT_EQ(nullptr, out);
}

TEST(QueryInterface, NullArgumentsAreRefusedWithoutWriting) {
    auto qi = zvtest::LoadSdkQueryInterface();
    EXPECT_FALSE(qi(ZV_IID_V1, nullptr));
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_FALSE(qi(nullptr, &out));
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), out);
}

TEST(QueryInterface, OneObjectForEveryTableAndThreadAndTheWalkDownReachesV1) {
    // Concurrent first calls must all see the one singleton.
    std::vector<void*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = Query(ZV_IID_V9); });
    for (auto& t : threads) t.join();
    for (void* p : seen) EXPECT_EQ(seen[0], p);

    auto* v9 = static_cast<ZVImplementationV9Interface*>(seen[0]);
    auto* v8 = v9->GetPreviousInterface();
    auto* v7 = v8->GetPreviousInterface();
    auto* v6 = v7->GetPreviousInterface();
    auto* v5 = v6->GetPreviousInterface();
    auto* v4 = v5->GetPreviousInterface();
    auto* v3 = v4->GetPreviousInterface();
    auto* v2 = v3->GetPreviousInterface();
    auto* v1 = v2->GetPreviousInterface();
    EXPECT_EQ(Query(ZV_IID_V8), v8);
    EXPECT_EQ(Query(ZV_IID_V7), v7);
    EXPECT_EQ(Query(ZV_IID_V6), v6);
    EXPECT_EQ(Query(ZV_IID_V5), v5);
    EXPECT_EQ(Query(ZV_IID_V4), v4);
    EXPECT_EQ(Query(ZV_IID_V3), v3);
    EXPECT_EQ(Query(ZV_IID_V2), v2);
    EXPECT_EQ(Query(ZV_IID_V1), v1);
    // The V1 table is the object itself; the others are distinct sub-objects.
    EXPECT_NE(static_cast<void*>(v1), static_cast<void*>(v2));
    v1->Reserved();
}

TEST(QueryInterface, ReleaseOperationsAcceptNullInAnyState) {
    auto* v1 = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
    auto* v2 = zvtest::GetSdkInterface<ZVImplementationV2Interface>(ZV_IID_V2);
    auto* v3 = zvtest::GetSdkInterface<ZVImplementationV3Interface>(ZV_IID_V3);
    auto* v5 = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5);
    auto* v9 = zvtest::GetSdkInterface<ZVImplementationV9Interface>(ZV_IID_V9);
    v1->FreeHeaders(nullptr);
    v1->FreeTranslatedUrl(nullptr);
    EXPECT_EQ(ZV_SUCCESS, v2->FreeVpnAuthorizationInfo(nullptr));
    EXPECT_EQ(ZV_SUCCESS, v3->FreeTrampolineUrl(nullptr));
    EXPECT_EQ(ZV_SUCCESS, v3->FreeServerTypeInfo(nullptr));
    EXPECT_EQ(ZV_SUCCESS, v9->FreeCookieDataArray(nullptr, 5));
    EXPECT_EQ(ZV_SUCCESS, v5->FreeCertificate(nullptr));
    PCCERT_CONTEXT dup = reinterpret_cast<PCCERT_CONTEXT>(0x1);
    EXPECT_EQ(ZV_SUCCESS, v5->DuplicateCertificate(nullptr, &dup));
    EXPECT_EQ(nullptr, dup);
}
