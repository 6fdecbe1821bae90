// A work item that runs a function (an empty one does nothing), for queuing
// on the SDK's pools in the programs that link its static library.
#pragma once

#include <functional>
#include <utility>

#include "threading/Worker.h"

namespace zvtest {

struct FunctionItem : BrennicZelvarSDK::Worker {
    explicit FunctionItem(std::function<void()> f) : f(std::move(f)) {}
    unsigned int Execute() override { return f ? f() : void(), 0u; }
    std::function<void()> f;
};

inline BrennicZelvarSDK::WorkerPtr Item(std::function<void()> f = nullptr) {
    return BrennicZelvarSDK::WorkerPtr(new FunctionItem(std::move(f)));
}

}  // namespace zvtest
