// The service's HTTP request object: it performs the request for real with
// the platform's WinHTTP (method, URL, headers, user-agent suffix, body,
// time-out and reference URL as set), streams the response body, hands out
// the certificate of the real TLS connection with the trust failures found
// for it, and puts the response's cookies into the service's cookie jar.
// What a scenario names for a method wins over the real outcome. Hosts under
// the reserved domain ".test" are not contacted: the defaults answer for them.
#pragma once

#include <windows.h>

#include "ScenarioState.h"
#include "ZelvarSvrLib.h"

namespace ZelvarStandin {

// A new request object of the connection (creation index), one reference.
IZelvarHttpRequest* CreateHttpRequestObject(unsigned connection);

// The outputs of the connection's GetServerCertificate: for an http(s) URL
// the certificate the server presents (none for plain HTTP) and its trust
// failures, found by a HEAD request; otherwise the default certificate. The
// scenario's outputs win. Returns the failure of the request, if any.
HRESULT ServerCertificateOutputs(const CallOutcome& call, BSTR url, UINT* trustFailureFlags,
                                 SAFEARRAY** certificateBlock);

}  // namespace ZelvarStandin
