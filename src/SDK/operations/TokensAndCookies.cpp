// The service's authentication epoch, secondary tokens, session cookie and
// cookie jar.
#include <cstdlib>

#include "core/ZVImplementation.h"

namespace BrennicZelvarSDK {

ZVResult ZVImplementationV6::GetAuthEpoch(unsigned int, unsigned int*) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV6::GetAuthEpoch");
}
ZVResult ZVImplementationV7::GetSecondaryToken(unsigned int, ZVChar**) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV7::GetSecondaryToken");
}
ZVResult ZVImplementationV8::GetSessionCookie(unsigned int, const ZVChar*, ZVChar**) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV8::GetSessionCookie");
}
ZVResult ZVImplementationV9::GetCookiesForDomain(unsigned int, const ZVChar*, _ZV_COOKIE_DATA**, unsigned int*) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV9::GetCookiesForDomain");
}
ZVResult ZVImplementationV9::AddCookies(unsigned int, _ZV_COOKIE_DATA*, unsigned int) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV9::AddCookies");
}

ZVResult ZVImplementationV9::FreeCookieDataArray(_ZV_COOKIE_DATA* cookieDataArr, unsigned int cookieCount) {
    if (!cookieDataArr) return ZV_SUCCESS;
    for (unsigned int i = 0; i < cookieCount; ++i) {
        free(cookieDataArr[i].string1);
        free(cookieDataArr[i].string2);
        free(cookieDataArr[i].string3);
        free(cookieDataArr[i].string4);
    }
    free(cookieDataArr);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
