// Placeholder until the trace writer lands: tracing stays off.
#include "support/Trace.h"

namespace BrennicZelvarSDK {
volatile bool g_TracingEnabled = false;
void TraceInfo(const wchar_t*, ...) {}
void TraceError(const wchar_t*, ...) {}
void TraceWarning(const wchar_t*, ...) {}
void TraceAssert(bool, const wchar_t*, ...) {}
void CTracer::Open(const std::wstring&, const std::wstring&) {}
void CTracer::Close() {}
}  // namespace BrennicZelvarSDK
