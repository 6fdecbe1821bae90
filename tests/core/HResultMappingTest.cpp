#include <gtest/gtest.h>

#include "core/ErrorHandling.h"

using namespace BrennicZelvarSDK;

TEST(HResultToZVResult, MapsEveryNamedCaseAndTheServiceFormula) {
    EXPECT_EQ(0u, HResultToZVResult(S_OK));
    EXPECT_EQ(0u, HResultToZVResult(S_FALSE));
    EXPECT_EQ(65528u, HResultToZVResult(static_cast<HRESULT>(0x80040154)));
    EXPECT_EQ(65528u, HResultToZVResult(static_cast<HRESULT>(0x800706BA)));
    EXPECT_EQ(65528u, HResultToZVResult(static_cast<HRESULT>(0x800706A4)));
    EXPECT_EQ(65528u, HResultToZVResult(static_cast<HRESULT>(0x800707CF)));
    EXPECT_EQ(65526u, HResultToZVResult(static_cast<HRESULT>(0x800706A3)));
    EXPECT_EQ(65526u, HResultToZVResult(static_cast<HRESULT>(0x800707D0)));
    EXPECT_EQ(65524u, HResultToZVResult(static_cast<HRESULT>(0x80040200)));
    EXPECT_EQ(65523u, HResultToZVResult(static_cast<HRESULT>(0x80040201)));
    EXPECT_EQ(65533u, HResultToZVResult(static_cast<HRESULT>(0x80040202)));
    EXPECT_EQ(65526u, HResultToZVResult(static_cast<HRESULT>(0x80040209)));
    EXPECT_EQ(0x200u, HResultToZVResult(static_cast<HRESULT>(0x8004FFFF)));
    EXPECT_EQ(65526u, HResultToZVResult(static_cast<HRESULT>(0x800401FF)));
    EXPECT_EQ(65526u, HResultToZVResult(E_POINTER));
    EXPECT_EQ(65527u, HResultToZVResult(E_ABORT));
    EXPECT_EQ(65526u, HResultToZVResult(E_FAIL));
    EXPECT_EQ(65530u, HResultToZVResult(E_HANDLE));
    EXPECT_EQ(65529u, HResultToZVResult(E_OUTOFMEMORY));
    EXPECT_EQ(65531u, HResultToZVResult(E_INVALIDARG));
}
