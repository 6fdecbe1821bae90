// Types shared by every interface of ZelvarSDK.dll: the result codes, the
// string unit, the records and the status-change callback.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace BrennicZelvarSDK {

// One UTF-16 code unit. Strings are NUL-terminated arrays of it.
typedef wchar_t ZVChar;
static_assert(sizeof(ZVChar) == 2, "ZVChar must be one UTF-16 code unit");

// Result of every operation: 0 on success, otherwise a value up to 0xFFFF.
typedef unsigned int ZVResult;

const ZVResult ZV_SUCCESS = 0;
const ZVResult ZV_ERROR_CERTIFICATE_DUPLICATE_FAILED = 0xFFF1;
const ZVResult ZV_ERROR_CERTIFICATE_FREE_FAILED = 0xFFF2;
const ZVResult ZV_ERROR_SERVICE_CODE_201 = 0xFFF3;
const ZVResult ZV_ERROR_SERVICE_CODE_200 = 0xFFF4;
const ZVResult ZV_ERROR_FAILED = 0xFFF6;
const ZVResult ZV_ERROR_CANCELLED = 0xFFF7;
const ZVResult ZV_ERROR_SERVICE_UNAVAILABLE = 0xFFF8;
const ZVResult ZV_ERROR_OUT_OF_MEMORY = 0xFFF9;
const ZVResult ZV_ERROR_INVALID_HANDLE = 0xFFFA;
const ZVResult ZV_ERROR_INVALID_PARAMETER = 0xFFFB;
const ZVResult ZV_ERROR_NOT_INITIALIZED = 0xFFFD;

// Called on the SDK's callback thread for every status change of a
// connection. Calls back into the SDK from here are refused. The callback is
// __cdecl in 32-bit processes (x64 has one convention).
typedef void(__cdecl* ZVStatusChangeCallback)(unsigned int connectionHandle, void* context, unsigned int status,
                                              int window);

// A gateway as the application describes it; the service interprets the
// strings and values.
struct _ZV_GATEWAY_INFO {
    ZVChar* gatewayString;
    ZVChar* gatewayUrl;
    unsigned int gatewayValue1;
    unsigned int gatewayValue2;
    unsigned int gatewayValue3;
};

// Returned by GetVpnAuthorizationInfo; released with FreeVpnAuthorizationInfo.
struct _ZV_VPN_AUTHORIZATION_INFO {
    unsigned int result;
    ZVChar* firstString;
    ZVChar* secondString;
};

// Returned by DetermineServerType; gatewayInfo is set exactly for type 2.
// Released with FreeServerTypeInfo.
struct _ZV_SERVER_TYPE_INFO {
    unsigned int serverType;
    _ZV_GATEWAY_INFO* gatewayInfo;
};

// One cookie of the service's cookie jar. Flags are 0 or 1.
struct _ZV_COOKIE_DATA {
    ZVChar* string1;
    ZVChar* string2;
    ZVChar* string3;
    ZVChar* string4;
    unsigned short flag1;
    unsigned short flag2;
    unsigned short flag3;
    unsigned short flag4;
    long long value64;
    unsigned int value32;
};

// The records' layouts, the same for every compiler of one width: natural
// alignment, no packing pragma (a 64-bit value is 8-aligned in 32-bit records
// too).
#if defined(_WIN64)
static_assert(sizeof(_ZV_GATEWAY_INFO) == 32 && offsetof(_ZV_GATEWAY_INFO, gatewayUrl) == 8 &&
                  offsetof(_ZV_GATEWAY_INFO, gatewayValue1) == 16 && offsetof(_ZV_GATEWAY_INFO, gatewayValue3) == 24,
              "_ZV_GATEWAY_INFO layout (64-bit)");
static_assert(sizeof(_ZV_VPN_AUTHORIZATION_INFO) == 24 && offsetof(_ZV_VPN_AUTHORIZATION_INFO, firstString) == 8 &&
                  offsetof(_ZV_VPN_AUTHORIZATION_INFO, secondString) == 16,
              "_ZV_VPN_AUTHORIZATION_INFO layout (64-bit)");
static_assert(sizeof(_ZV_SERVER_TYPE_INFO) == 16 && offsetof(_ZV_SERVER_TYPE_INFO, gatewayInfo) == 8,
              "_ZV_SERVER_TYPE_INFO layout (64-bit)");
static_assert(sizeof(_ZV_COOKIE_DATA) == 56 && offsetof(_ZV_COOKIE_DATA, string4) == 24 &&
                  offsetof(_ZV_COOKIE_DATA, flag1) == 32 && offsetof(_ZV_COOKIE_DATA, flag4) == 38 &&
                  offsetof(_ZV_COOKIE_DATA, value64) == 40 && offsetof(_ZV_COOKIE_DATA, value32) == 48,
              "_ZV_COOKIE_DATA layout (64-bit)");
#else
static_assert(sizeof(_ZV_GATEWAY_INFO) == 20 && offsetof(_ZV_GATEWAY_INFO, gatewayUrl) == 4 &&
                  offsetof(_ZV_GATEWAY_INFO, gatewayValue1) == 8 && offsetof(_ZV_GATEWAY_INFO, gatewayValue3) == 16,
              "_ZV_GATEWAY_INFO layout (32-bit)");
static_assert(sizeof(_ZV_VPN_AUTHORIZATION_INFO) == 12 && offsetof(_ZV_VPN_AUTHORIZATION_INFO, firstString) == 4 &&
                  offsetof(_ZV_VPN_AUTHORIZATION_INFO, secondString) == 8,
              "_ZV_VPN_AUTHORIZATION_INFO layout (32-bit)");
static_assert(sizeof(_ZV_SERVER_TYPE_INFO) == 8 && offsetof(_ZV_SERVER_TYPE_INFO, gatewayInfo) == 4,
              "_ZV_SERVER_TYPE_INFO layout (32-bit)");
static_assert(sizeof(_ZV_COOKIE_DATA) == 40 && offsetof(_ZV_COOKIE_DATA, string4) == 12 &&
                  offsetof(_ZV_COOKIE_DATA, flag1) == 16 && offsetof(_ZV_COOKIE_DATA, flag4) == 22 &&
                  offsetof(_ZV_COOKIE_DATA, value64) == 24 && offsetof(_ZV_COOKIE_DATA, value32) == 32,
              "_ZV_COOKIE_DATA layout (32-bit)");
#endif

}  // namespace BrennicZelvarSDK
