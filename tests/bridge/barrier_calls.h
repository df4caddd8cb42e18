// The bridge's methods as the bridge object's interface methods call them:
// through one barrier, which turns a raised failure into its HRESULT.
#pragma once

#include "bridge/invoker.h"
#include "text/errors.h"

struct Methods {
    static HRESULT LoadExe(ULONG rid, BSTR text)
    {
        return GuardedCall([&] { return CInvokerK318Methods::LoadExe(rid, text); });
    }
    static HRESULT RunVideo(ULONG userid, ULONG rid, BSTR text)
    {
        return GuardedCall([&] { return CInvokerK318Methods::RunVideo(userid, rid, text); });
    }
    static HRESULT GetMacAddress(BSTR* out)
    {
        return GuardedCall([&] { return CInvokerK318Methods::GetMacAddress(out); });
    }
    static HRESULT GetSpReadUserID(BSTR* out)
    {
        return GuardedCall([&] { return CInvokerK318Methods::GetSpReadUserID(out); });
    }
    static HRESULT GetVer(ULONG* out) { return CInvokerK318Methods::GetVer(out); }
};
