/* The interfaces' proxies and stubs as widl generates them (standin_p.c),
   and their class, which the session DLL serves. mingw-w64 declares
   IUnknown's proxy functions for C++ only; rpcrt4 has them. The interfaces
   derive from IDispatch, whose methods their stubs delegate. */
#define PROXY_DELEGATION
#include <objbase.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);

#include "standin_p.c"

static const ProxyFileInfo *ProxyFiles[] = { (const ProxyFileInfo *)&standin_ProxyFileInfo, NULL };
static CStdPSFactoryBuffer ProxyStubFactory;

/* What the stubs' method tables call, as the SDK's dlldata routines define them. */
CSTDSTUBBUFFERRELEASE(&ProxyStubFactory)
CSTDSTUBBUFFER2RELEASE(&ProxyStubFactory)

HRESULT GetStandinProxyStubClass(REFCLSID clsid, REFIID iid, void **out)
{
    return NdrDllGetClassObject(clsid, iid, out, ProxyFiles, &CLSID_StandinProxyStub, &ProxyStubFactory);
}

int CanUnloadStandinProxyStubs(void)
{
    return NdrDllCanUnloadNow(&ProxyStubFactory) == S_OK;
}
