// GetVer: the interface version.
#include "bridge/invoker.h"

HRESULT CInvokerK318Methods::GetVer(ULONG* ver) noexcept
{
    if (!ver)
        return E_POINTER;
    *ver = 1;
    return S_OK;
}
