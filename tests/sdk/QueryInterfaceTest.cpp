// The exported QueryInterface and the interface tables, through the built DLL.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {
void* Query(const wchar_t* id) {
    void* out = reinterpret_cast<void*>(0x1234);
    BOOL ok = zvtest::LoadSdkQueryInterface()(id, &out);
    EXPECT_EQ(ok, out != nullptr) << "a refusal must clear the out-pointer";
    return ok ? out : nullptr;
}
}  // namespace

TEST(QueryInterface, EveryIdentifierWithoutRegardToCaseGivesItsTableAndNothingElseMatches) {
    const wchar_t* const ids[] = {ZV_IID_V1, ZV_IID_V2, ZV_IID_V3, ZV_IID_V4, ZV_IID_V5,
                                  ZV_IID_V6, ZV_IID_V7, ZV_IID_V8, ZV_IID_V9};
    for (const wchar_t* id : ids) EXPECT_NE(nullptr, Query(id)) << zvtest::Utf8(id);
    EXPECT_EQ(Query(ZV_IID_V1), Query(L"b8ebf2fc-06d6-4fe1-b4c7-4786871f0523"));
    EXPECT_EQ(Query(ZV_IID_V1), Query(L"B8EBF2FC-06D6-4FE1-B4C7-4786871F0523"));
    EXPECT_EQ(Query(ZV_IID_V8), Query(L"a9573c9c-7030-4fc4-80ca-9dc71cb73c22"));
    EXPECT_EQ(nullptr, Query(L"{B8EBF2FC-06D6-4fe1-B4C7-4786871F0523}"));
    EXPECT_EQ(nullptr, Query(L"B8EBF2FC-06D6-4fe1-B4C7-4786871F052"));
    EXPECT_EQ(nullptr, Query(L""));

    auto qi = zvtest::LoadSdkQueryInterface();
    EXPECT_FALSE(qi(ZV_IID_V1, nullptr));
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_FALSE(qi(nullptr, &out));
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), out) << "nothing is written for a null identifier";
}

TEST(QueryInterface, OneObjectForEveryThread) {
    std::vector<void*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = Query(ZV_IID_V9); });
    for (auto& t : threads) t.join();
    for (void* p : seen) EXPECT_EQ(seen[0], p);
}
