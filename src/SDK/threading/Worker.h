// Work items run by the SDK's pools, and the exception raised when a caller
// cannot wait for one.
#pragma once

#include <windows.h>

#include <boost/shared_ptr.hpp>
#include <exception>

namespace BrennicZelvarSDK {

class Worker {
public:
    virtual ~Worker() {}
    // Runs the item on a pool thread. Returns 0; for a pool thread's own loop
    // the value is the thread's exit code.
    virtual unsigned int Execute() = 0;
};

typedef boost::shared_ptr<Worker> WorkerPtr;

// Raised when waiting for a work item fails; carries no message of its own
// and reads "Unknown exception", whatever the C++ runtime's text would be.
class ThreadPoolInvocationException : public std::exception {
public:
    const char* what() const noexcept override { return "Unknown exception"; }
};

}  // namespace BrennicZelvarSDK
