#include "support/ComErrors.h"

namespace BrennicZelvarSDK {

void ThrowComError(HRESULT hr) {
    throw _com_error(hr);
}

void ThrowServiceError(HRESULT hr) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) info = nullptr;
    // _com_error takes over the reference.
    throw _com_error(hr, info, false);
}

}  // namespace BrennicZelvarSDK
