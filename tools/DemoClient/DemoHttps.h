// The demo's HTTPS part: one request that the service performs to the
// loopback test server named by ZELVAR_DEMO_HTTPS_URL.
#pragma once

#include "ZelvarSDK.h"

// Prints status, headers, the first bytes of the body and the server
// certificate's subject and thumbprint. 0 on success (or when no URL is set),
// else 1.
int DemoHttpsRequest(ZVQueryInterfaceFn queryInterface, unsigned int connection);
