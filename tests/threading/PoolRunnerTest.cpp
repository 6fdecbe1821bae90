#include <gtest/gtest.h>

#include <objbase.h>

#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <stdexcept>

#include "common/TracerSession.h"
#include "core/ErrorHandling.h"
#include "support/Scoped.h"
#include "threading/ApartmentWorkers.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {

const DWORD kTestWaitMs = 20000;
const wchar_t kPool[] = L"Pool runner test pool";

// A registered pool for the duration of one test.
class RegisteredPool {
public:
    RegisteredPool() { CreateThreadPool(kPool); }
    ~RegisteredPool() { DestroyThreadPool(kPool); }
};

struct Apartment {
    HRESULT hr = E_UNEXPECTED;
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    DWORD thread = 0;
};

Apartment PoolThreadApartment() {
    Apartment seen;
    RunOnPoolAndWait(
        kPool,
        [&seen] {
            seen.hr = CoGetApartmentType(&seen.type, &seen.qualifier);
            seen.thread = GetCurrentThreadId();
        },
        "BrennicZelvarSDK::Test::Apartment");
    return seen;
}

// A minimal in-process COM object.
class CountedObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs); }
    volatile LONG refs = 1;
};

}  // namespace

TEST(ApartmentWorkers, PutThePoolThreadIntoTheMultithreadedApartmentAndTakeItOut) {
    RegisteredPool pool;
    HRESULT initResult = E_UNEXPECTED;
    ASSERT_EQ(WAIT_OBJECT_0, JoinApartmentOnPoolThread(kPool, initResult, kTestWaitMs));
    EXPECT_EQ(S_OK, initResult);

    const Apartment inside = PoolThreadApartment();
    EXPECT_EQ(S_OK, inside.hr);
    EXPECT_EQ(APTTYPE_MTA, inside.type);
    EXPECT_EQ(APTTYPEQUALIFIER_NONE, inside.qualifier);  // joined, not the implicit MTA

    DWORD poolThreadId = 0;
    ASSERT_EQ(WAIT_OBJECT_0, ReadPoolThreadId(kPool, poolThreadId, kTestWaitMs));
    EXPECT_EQ(inside.thread, poolThreadId);
    EXPECT_NE(GetCurrentThreadId(), poolThreadId);

    ASSERT_EQ(WAIT_OBJECT_0, LeaveApartmentOnPoolThread(kPool, kTestWaitMs));
    const Apartment after = PoolThreadApartment();
    EXPECT_FALSE(after.hr == S_OK && after.type == APTTYPE_MTA && after.qualifier == APTTYPEQUALIFIER_NONE)
        << "the pool thread is still in the apartment it joined";
}

TEST(PoolRunner, RunOnPoolAndWaitRunsOnThePoolThreadAndReturnsAfterTheItem) {
    RegisteredPool pool;
    DWORD ranOn = 0;
    volatile LONG finished = 0;
    RunOnPoolAndWait(
        kPool,
        [&] {
            Sleep(200);
            ranOn = GetCurrentThreadId();
            InterlockedExchange(&finished, 1);
        },
        "BrennicZelvarSDK::Test::Wait");
    EXPECT_EQ(1, finished);
    EXPECT_NE(0u, ranOn);
    EXPECT_NE(GetCurrentThreadId(), ranOn);
}

TEST(PoolRunner, AMissingPoolPassesTheRegistryErrorThrough) {
    try {
        RunOnPoolAndWait(
            L"No such pool", [] {}, "BrennicZelvarSDK::Test::Missing");
        FAIL() << "work was queued on a missing pool";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Thread pool not found!", e.what());
    }
}

TEST(PoolRunner, RunOnPoolAndCheckTakesNonNegativeResultsAsSuccess) {
    RegisteredPool pool;
    int calls = 0;
    EXPECT_NO_THROW(RunOnPoolAndCheck("BrennicZelvarSDK::Test::Check", kPool, [&]() -> HRESULT {
        ++calls;
        return S_FALSE;
    }));
    EXPECT_NO_THROW(RunOnPoolAndCheck("BrennicZelvarSDK::Test::Check", kPool, [&]() -> HRESULT {
        ++calls;
        return S_OK;
    }));
    EXPECT_EQ(2, calls);
}

TEST(PoolRunner, RunOnPoolAndCheckRaisesAFailingResultAsCOMErrorWithTrace) {
    RegisteredPool pool;
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());

    ZVResult result = ZV_SUCCESS;
    try {
        RunOnPoolAndCheck("BrennicZelvarSDK::Test::Check", kPool, []() -> HRESULT { return E_HANDLE; });
        ADD_FAILURE() << "a failing work item did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(static_cast<HRESULT>(0x80070006), e.Error());
        try {
            throw;
        } catch (...) {
            result = HandleApiException("BrennicZelvarSDK::Test::Check");
        }
    }
    EXPECT_EQ(65530u, result);
    const std::string lines = trace.Lines();
    EXPECT_NE(std::string::npos,
              lines.find(" Err   : BrennicZelvarSDK::Test::Check failed with thread worker returning 2147942406 \r\n"))
        << lines;
    EXPECT_NE(std::string::npos, lines.find(" Err   : BrennicZelvarSDK::Test::Check: caught COM error 2147942406\r\n"))
        << lines;
}

TEST(DelegateWorker, AnEmptyCallableThrowsAndSignalsNothing) {
    auto done = boost::make_shared<ScopedHandle>(MakeCompletionEvent());
    DelegateWorker worker(done, boost::function<void()>());
    try {
        worker.Execute();
        FAIL() << "an empty callable ran";
    } catch (const boost::bad_function_call& e) {
        EXPECT_STREQ("call to empty boost::function", e.what());
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(done->Get(), 0));

    int calls = 0;
    DelegateWorker full(done, [&calls] { ++calls; });
    EXPECT_EQ(0u, full.Execute());
    EXPECT_EQ(1, calls);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done->Get(), 0));
}

TEST(UICapablePtr, NullAccessTracesAndRaisesEFail) {
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());
    UICapablePtr<IUnknown> empty;
    ZVResult result = ZV_SUCCESS;
    try {
        (void)empty.operator->();
        ADD_FAILURE() << "a null pointer was handed out";
    } catch (...) {
        result = HandleApiException("BrennicZelvarSDK::Test::UI");
    }
    EXPECT_EQ(65526u, result);
    const std::string lines = trace.Lines();
    EXPECT_NE(std::string::npos, lines.find(" Err   : UICapablePtr null dereference\r\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find(" Err   : BrennicZelvarSDK::Test::UI: caught COM error 2147500037\r\n"))
        << lines;
}

TEST(UICapablePtr, AccessHandsOutTheHeldPointer) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CountedObject object;
    {
        UICapablePtr<IUnknown> holder{ComPtr<IUnknown>(&object)};
        EXPECT_EQ(2, object.refs);
        EXPECT_EQ(3u, holder->AddRef());
        holder->Release();
    }
    EXPECT_EQ(1, object.refs);  // released with the holder
    CoUninitialize();
}

TEST(RunOnPoolAndWait, AnExceptionOfTheWorkIsRaisedOnTheCallersThreadAndThePoolGoesOn) {
    RegisteredPool pool;
    DWORD poolThread = 0;
    try {
        RunOnPoolAndCheck("BrennicZelvarSDK::Test::Throwing", kPool, [&poolThread]() -> HRESULT {
            poolThread = GetCurrentThreadId();
            throw std::runtime_error("work failed");
        });
        FAIL() << "no exception reached the caller";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("work failed", e.what());
    }
    EXPECT_NE(0u, poolThread);
    EXPECT_NE(GetCurrentThreadId(), poolThread);
    // The same pool thread still takes work.
    DWORD later = 0;
    RunOnPoolAndWait(
        kPool, [&later] { later = GetCurrentThreadId(); }, "BrennicZelvarSDK::Test::Later");
    EXPECT_EQ(poolThread, later);
    // An empty callable is reported, not waited for.
    EXPECT_THROW(RunOnPoolAndWait(kPool, boost::function<void()>(), "BrennicZelvarSDK::Test::Empty"),
                 boost::bad_function_call);
}
