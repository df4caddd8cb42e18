// GetVer, and the methods' common exception barrier.
#include "bridge/invoker.h"

#include "text/errors.h"

HRESULT CInvokerK318Methods::GetVer(ULONG* ver) noexcept
{
    return GuardedCall([&]() -> HRESULT {
        *ver = 1;
        return S_OK;
    });
}
