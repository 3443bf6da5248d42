/* The IUnknown proxies that widl's -Oif output references by name. rpcrt4
   exports them, but mingw-w64's headers only declare them in a branch that the
   proxy build does not take. */
#ifndef CFX_PROXY_IMPORTS_H
#define CFX_PROXY_IMPORTS_H
#include <unknwn.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppv);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#endif
