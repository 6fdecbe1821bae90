/* Class factory and self-registration of the event proxy/stub DLL. The proxy
   class gets an identifier of its own instead of the event interface's. */
#define REGISTER_PROXY_DLL
#define PROXY_DELEGATION /* the event interface derives from IDispatch: its stub delegates */
#define PROXY_CLSID_IS \
    { 0x3f2cc53c, 0x9c3d, 0x4087, { 0x9c, 0x50, 0x0e, 0x26, 0x77, 0x78, 0xd9, 0xeb } }
#include "ZelvarEventsProxy_dlldata.c"
