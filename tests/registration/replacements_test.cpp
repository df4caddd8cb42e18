// The replacement table and the expansion of %NAME% references.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "registration/replacements.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

using AllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using ReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using FreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

struct HeapBudget {
    int allocsLeft = -1;  // allocations and reallocations that still succeed; -1 = all
    int live = 0;         // blocks currently held
};

LPVOID WINAPI CountedAlloc(HANDLE h, DWORD f, SIZE_T cb)
{
    HeapBudget& budget = FakeState<HeapBudget>::Current();
    if (budget.allocsLeft == 0)
        return nullptr;
    if (budget.allocsLeft > 0)
        --budget.allocsLeft;
    LPVOID p = platform::RealOps().HeapAlloc(h, f, cb);
    if (p != nullptr)
        ++budget.live;
    return p;
}
LPVOID WINAPI CountedReAlloc(HANDLE h, DWORD f, LPVOID p, SIZE_T cb)
{
    HeapBudget& budget = FakeState<HeapBudget>::Current();
    if (budget.allocsLeft == 0)
        return nullptr;
    if (budget.allocsLeft > 0)
        --budget.allocsLeft;
    return platform::RealOps().HeapReAlloc(h, f, p, cb);
}
BOOL WINAPI CountedFree(HANDLE h, DWORD f, LPVOID p)
{
    --FakeState<HeapBudget>::Current().live;
    return platform::RealOps().HeapFree(h, f, p);
}

// The heap with a budget of allowed allocations while the object lives.
class CountedHeap {
public:
    explicit CountedHeap(int allowed) { m_budget->allocsLeft = allowed; }
    int Live() { return m_budget->live; }

private:
    FakeState<HeapBudget> m_budget;
    ScopedOp<AllocFn> m_a{&platform::Ops::HeapAlloc, &CountedAlloc};
    ScopedOp<ReAllocFn> m_r{&platform::Ops::HeapReAlloc, &CountedReAlloc};
    ScopedOp<FreeFn> m_f{&platform::Ops::HeapFree, &CountedFree};
};

TEST(ReplacementTable, FindIsCaseInsensitiveAndPrefersTheFirstDuplicate)
{
    ReplacementTable t;
    EXPECT_EQ(S_OK, t.Add("Module", "first"));
    EXPECT_EQ(S_OK, t.Add("MODULE", "second"));
    EXPECT_EQ(S_OK, t.Add("AppId", ""));
    EXPECT_EQ(3u, t.Count());
    EXPECT_STREQ("first", t.Find("module"));
    EXPECT_STREQ("", t.Find("APPID"));
    EXPECT_EQ(nullptr, t.Find("Modul"));
    EXPECT_EQ(S_OK, t.Clear());
    EXPECT_EQ(0u, t.Count());
    EXPECT_EQ(nullptr, t.Find("Module"));
    EXPECT_EQ(S_OK, t.Add("Module", "again"));
    EXPECT_STREQ("again", t.Find("Module"));
}

TEST(ReplacementTable, AddCopiesItsArgumentsAndRejectsNull)
{
    ReplacementTable t;
    char name[] = "Name";
    char text[] = "Text";
    ASSERT_EQ(S_OK, t.Add(name, text));
    name[0] = 'X';
    text[0] = 'X';
    EXPECT_STREQ("Text", t.Find("Name"));
    EXPECT_EQ(E_INVALIDARG, t.Add(nullptr, "x"));
    EXPECT_EQ(E_INVALIDARG, t.Add("x", nullptr));
    EXPECT_EQ(1u, t.Count());
}

TEST(ReplacementTable, AddWideConvertsBothTexts)
{
    ReplacementTable t;
    EXPECT_EQ(S_OK, t.AddWide(L"Clsid", L"{1234}"));
    EXPECT_STREQ("{1234}", t.Find("CLSID"));
    EXPECT_EQ(E_INVALIDARG, t.AddWide(nullptr, L"x"));
}

TEST(ReplacementTable, AllocationFailureAddsNothingAndLeaksNothing)
{
    ReplacementTable t;
    ASSERT_EQ(S_OK, t.Add("Kept", "k"));
    // Each failing step of an addition: name copy, text copy, names array, texts array.
    for (int allowed = 0; allowed < 4; ++allowed) {
        CountedHeap heap(allowed);
        EXPECT_EQ(E_OUTOFMEMORY, t.Add("New", "n")) << allowed;
        EXPECT_EQ(1u, t.Count());
        EXPECT_EQ(nullptr, t.Find("New"));
        EXPECT_EQ(0, heap.Live()) << allowed;
    }
    EXPECT_STREQ("k", t.Find("Kept"));
    {
        CountedHeap heap(-1);
        EXPECT_EQ(S_OK, t.Add("New", "n"));
        EXPECT_EQ(S_OK, t.Add("More", "m"));
    }
    EXPECT_STREQ("k", t.Find("Kept"));
    EXPECT_STREQ("n", t.Find("New"));
    EXPECT_STREQ("m", t.Find("More"));
}

TEST(ReplacementTable, ObjectFormAnswersItsOwnInterfaces)
{
    ReplacementTable t;
    IUnknown* unk = &t;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(S_OK, unk->QueryInterface(IID_IUnknown, &pv));
    EXPECT_EQ(static_cast<void*>(static_cast<ITarnwickReplacements*>(&t)), pv);
    pv = nullptr;
    EXPECT_EQ(S_OK, unk->QueryInterface(IID_ITarnwickReplacements, &pv));
    EXPECT_EQ(static_cast<void*>(static_cast<ITarnwickReplacements*>(&t)), pv);
    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, unk->QueryInterface(IID_IDispatch, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(E_POINTER, unk->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(1u, unk->AddRef());
    EXPECT_EQ(1u, unk->AddRef());
    EXPECT_EQ(1u, unk->Release());

    // The slots after IUnknown are AddWide, Clear, Add, in that order.
    using AddWideSlot = HRESULT(STDMETHODCALLTYPE*)(void*, const wchar_t*, const wchar_t*);
    using ClearSlot = HRESULT(STDMETHODCALLTYPE*)(void*);
    using AddSlot = HRESULT(STDMETHODCALLTYPE*)(void*, const char*, const char*);
    void** vtbl = *reinterpret_cast<void***>(static_cast<ITarnwickReplacements*>(&t));
    void* self = static_cast<ITarnwickReplacements*>(&t);
    EXPECT_EQ(S_OK, reinterpret_cast<AddSlot>(vtbl[5])(self, "N", "narrow"));
    EXPECT_EQ(S_OK, reinterpret_cast<AddWideSlot>(vtbl[3])(self, L"W", L"wide"));
    EXPECT_STREQ("narrow", t.Find("n"));
    EXPECT_STREQ("wide", t.Find("w"));
    EXPECT_EQ(S_OK, reinterpret_cast<ClearSlot>(vtbl[4])(self));
    EXPECT_EQ(0u, t.Count());
}

class Expansion : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_t.Add("Module", "C:\\x\\T.dll"));
        ASSERT_EQ(S_OK, m_t.Add("APPID", ""));
        ASSERT_EQ(S_OK, m_t.Add(std::string(31, 'N').c_str(), "long31"));
        ASSERT_EQ(S_OK, m_t.Add(std::string(32, 'N').c_str(), "long32"));
    }
    HRESULT Expand(const char* text, BYTE flag, std::string* out, bool* owned)
    {
        StringEntry table[] = {{text, flag}, {nullptr, 0}};
        char* psz = reinterpret_cast<char*>(1);
        HRESULT hr = ExpandReplacements(table, 0, m_t, &psz, owned);
        if (psz != nullptr) {
            *out = psz;
            if (*owned)
                FreeExpandedText(psz);
        } else {
            *out = "<null>";
        }
        return hr;
    }
    ReplacementTable m_t;
};

TEST_F(Expansion, ReferencesAreReplaced)
{
    const std::string n31(31, 'n'), n32(32, 'n');
    struct Case {
        std::string text;
        HRESULT hr;
        std::string out;
    } cases[] = {
        {"", S_OK, ""},
        {"plain", S_OK, "plain"},
        {"100%%", S_OK, "100%"},
        {"%%%%", S_OK, "%%"},
        {"%APPID%", S_OK, ""},
        {"[%AppId%]", S_OK, "[]"},
        {"%module%", S_OK, "C:\\x\\T.dll"},
        {"a%MODULE%b%Module%c", S_OK, "aC:\\x\\T.dllbC:\\x\\T.dllc"},
        {"%Module%%%", S_OK, "C:\\x\\T.dll%"},
        {"%" + n31 + "%", S_OK, "long31"},
        {"%" + n32 + "%", E_FAIL, "<null>"},
        {"%Unknown%", E_FAIL, "<null>"},
        {"%Module", E_FAIL, "<null>"},
        {"abc%", E_FAIL, "<null>"},
        {"%%Module%", E_FAIL, "<null>"},  // "%%" then "Module" then an unclosed "%"
    };
    for (const auto& c : cases) {
        std::string out;
        bool owned = false;
        EXPECT_EQ(c.hr, Expand(c.text.c_str(), 1, &out, &owned)) << c.text;
        EXPECT_EQ(c.out, out) << c.text;
        EXPECT_EQ(c.hr == S_OK, owned) << c.text;
    }
}

TEST_F(Expansion, UnflaggedAndMissingTextsAreNotBuilt)
{
    const char own[] = "%Module%";
    StringEntry table[] = {{own, 0}, {nullptr, 1}, {nullptr, 0}};
    char* psz = nullptr;
    bool owned = true;
    EXPECT_EQ(S_OK, ExpandReplacements(table, 0, m_t, &psz, &owned));
    EXPECT_EQ(own, psz);
    EXPECT_FALSE(owned);
    psz = reinterpret_cast<char*>(1);
    EXPECT_EQ(S_FALSE, ExpandReplacements(table, 1, m_t, &psz, &owned));
    EXPECT_EQ(nullptr, psz);
    EXPECT_FALSE(owned);
}

TEST_F(Expansion, BufferGrowthFailureIsOutOfMemoryAndLeaksNothing)
{
    // "abcdefgh" needs capacities 1, 2, 4, 8, 16: five allocations.
    for (int allowed = 0; allowed < 5; ++allowed) {
        CountedHeap heap(allowed);
        std::string out;
        bool owned = true;
        EXPECT_EQ(E_OUTOFMEMORY, Expand("abcd%Module%", 1, &out, &owned)) << allowed;
        EXPECT_FALSE(owned);
        EXPECT_EQ(0, heap.Live()) << allowed;
    }
    for (int allowed = 0; allowed < 5; ++allowed) {
        CountedHeap heap(allowed);
        std::string out;
        bool owned = true;
        EXPECT_EQ(E_OUTOFMEMORY, Expand("abcdefgh", 1, &out, &owned)) << allowed;
        EXPECT_EQ(0, heap.Live()) << allowed;
    }
    CountedHeap heap(5);
    std::string out;
    bool owned = false;
    EXPECT_EQ(S_OK, Expand("abcdefgh", 1, &out, &owned));
    EXPECT_EQ("abcdefgh", out);
    EXPECT_EQ(0, heap.Live());
}

}  // namespace
