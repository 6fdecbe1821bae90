/* The widl-generated proxy/stub code. mingw-w64's unknwnbase.h declares the
   IUnknown proxy routines (exported by rpcrt4) only for C++; the generated C
   code needs them declared here. */
#include <objbase.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "ZelvarEventsProxy_p.c"
