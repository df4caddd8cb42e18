// GetVer, and the methods' common exception barrier.
#include "bridge/invoker.h"

#include "text/errors.h"

HRESULT CInvokerK318Methods::GetVer(ULONG* ver) noexcept
{
    if (!ver)
        return E_POINTER;
    *ver = 1;
    return S_OK;
}
