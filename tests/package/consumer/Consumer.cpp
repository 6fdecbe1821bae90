// Uses the SDK both ways an application can: linked through the import
// library, and loaded at run time through the C++ layer. Prints "consumer ok".
#include <cstdio>

#include <ZelvarSDK.hpp>

int main() {
    using namespace BrennicZelvarSDK;
    void* linked = nullptr;
    if (!QueryInterface(ZV_IID_V1, &linked)) return 1;
    zv::Sdk sdk;  // finds the ZelvarSDK.dll beside the program
    if (&sdk.V1() != linked) return 2;
    // A handle the SDK never gave out, refused by the DLL's own code.
    if (sdk.V1().DestroyConnection(0x7FFFFFFF) != ZV_ERROR_INVALID_HANDLE) return 3;
    std::printf("consumer ok: %ls\n", sdk.ModulePath().c_str());
    return 0;
}
