// A text that the hall keeps from a request outlives the host's unload of the
// library: the hall lets go of it later, through the text's manager, which is
// code of the library. A program of its own, as the library then stays loaded
// until the process ends.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include "fake_hall/fake_hall.h"
#include "loaded_dll.h"
#include "tarnwick_h.h"

namespace {

// The manager's table as the hall reaches it; its second slot lets go of a text.
#if defined(__i386__)
#define HALL_THISCALL __attribute__((thiscall))
#else
#define HALL_THISCALL
#endif
struct ManagerTable {
    void*(HALL_THISCALL* Allocate)(void* self, int nChars, int nCharSize);
    void(HALL_THISCALL* Free)(void* self, fake_hall::Header* pData);
};

TEST(DllPinned, ATextTheHallKeepsIsReleasedSafelyAfterTheHostUnloadsTheLibrary)
{
    fake_hall::Hall hall;
    ASSERT_NE(hall.Open(fake_hall::kPlainTitle), nullptr);
    fake_hall::Header* pKept = nullptr;
    hall.onRequest = [&](const fake_hall::Request&, fake_hall::Header* pLive) {
        InterlockedIncrement(&pLive->refs);  // the hall queues the request
        pKept = pLive;
    };

    LoadedDll dll;
    ASSERT_TRUE(dll.Load());
    IInvokerK318* pObj = nullptr;
    ASSERT_EQ(dll.CreateObject(kIidInvoker, reinterpret_cast<void**>(&pObj)), S_OK);
    BSTR text = SysAllocString(L"room=7");
    const HRESULT hr = pObj->LoadExe(12, text);
    SysFreeString(text);
    pObj->Release();
    if (hr == S_FALSE)
        GTEST_SKIP() << "the clock has not run long enough to accept a first request";
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(pKept, nullptr);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    dll.Free();                 // the host's unload
    EXPECT_TRUE(DllIsMapped());  // kept for the text's sake
    void* pManager = reinterpret_cast<void*>(static_cast<UINT_PTR>(pKept->manager));
    (*reinterpret_cast<ManagerTable**>(pManager))->Free(pManager, pKept);
}

}  // namespace
