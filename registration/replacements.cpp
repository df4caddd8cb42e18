#include "registration/replacements.h"

#include "platform/owners.h"
#include "platform/platform.h"
#include "text/code_page.h"
#include "text/errors.h"

namespace {

void* HeapGet(SIZE_T cb) { return platform::ops().HeapAlloc(::GetProcessHeap(), 0, cb); }
void* HeapGrow(void* p, SIZE_T cb)
{
    if (p == nullptr)
        return HeapGet(cb);
    return platform::ops().HeapReAlloc(::GetProcessHeap(), 0, p, cb);
}
HeapBlock<char> CopyText(const char* psz)
{
    SIZE_T cb = static_cast<SIZE_T>(lstrlenA(psz)) + 1;
    HeapBlock<char> copy(static_cast<char*>(HeapGet(cb)));
    if (copy)
        CopyMemory(copy.Get(), psz, cb);
    return copy;
}

}  // namespace

ReplacementTable::~ReplacementTable() { Clear(); }

HRESULT STDMETHODCALLTYPE ReplacementTable::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITarnwickReplacements)) {
        *ppv = static_cast<ITarnwickReplacements*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ReplacementTable::AddRef() { return 1; }
ULONG STDMETHODCALLTYPE ReplacementTable::Release() { return 1; }

HRESULT STDMETHODCALLTYPE ReplacementTable::Add(const char* pszName, const char* pszText)
{
    if (pszName == nullptr || pszText == nullptr)
        return E_INVALIDARG;
    HeapBlock<char> name = CopyText(pszName);
    if (!name)
        return E_OUTOFMEMORY;
    HeapBlock<char> text = CopyText(pszText);
    if (!text)
        return E_OUTOFMEMORY;
    SIZE_T cb = sizeof(char*) * (static_cast<SIZE_T>(m_count) + 1);
    char** names = static_cast<char**>(HeapGrow(m_names, cb));
    if (names == nullptr)
        return E_OUTOFMEMORY;
    m_names = names;
    char** texts = static_cast<char**>(HeapGrow(m_texts, cb));
    if (texts == nullptr)
        return E_OUTOFMEMORY;  // the names array keeps its extra slot unused
    m_texts = texts;
    m_names[m_count] = name.Detach();  // the table owns both from here
    m_texts[m_count] = text.Detach();
    ++m_count;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ReplacementTable::AddWide(const wchar_t* pszName, const wchar_t* pszText)
{
    // The entry's one barrier: an addition that cannot be made, whatever the
    // reason, reports E_OUTOFMEMORY.
    try {
        const UINT codePage = GetConversionCodePage();
        CWideToNarrowText name(pszName, codePage);
        CWideToNarrowText text(pszText, codePage);
        return Add(name.Text(), text.Text());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE ReplacementTable::Clear()
{
    for (UINT i = 0; i < m_count; ++i) {
        HeapBlock<char> name(m_names[i]);
        HeapBlock<char> text(m_texts[i]);
    }
    HeapBlock<char*> names(m_names);
    HeapBlock<char*> texts(m_texts);
    m_names = nullptr;
    m_texts = nullptr;
    m_count = 0;
    return S_OK;
}

const char* ReplacementTable::Find(const char* pszName) const noexcept
{
    for (UINT i = 0; i < m_count; ++i) {
        if (::lstrcmpiA(m_names[i], pszName) == 0)
            return m_texts[i];
    }
    return nullptr;
}

namespace {

class ExpansionBuffer {
public:
    bool Append(const char* p, SIZE_T cb)
    {
        for (SIZE_T i = 0; i < cb; ++i) {
            if (m_size == m_capacity) {
                SIZE_T cap = m_capacity == 0 ? 1 : m_capacity * 2;
                char* grown = static_cast<char*>(HeapGrow(m_text.Get(), cap));
                if (grown == nullptr)
                    return false;  // the old block is still ours
                m_text.Detach();   // moved into the grown one
                m_text.Reset(grown);
                m_capacity = cap;
            }
            m_text.Get()[m_size++] = p[i];
        }
        return true;
    }
    char* Detach() noexcept { return m_text.Detach(); }

private:
    HeapBlock<char> m_text;
    SIZE_T m_size = 0;
    SIZE_T m_capacity = 0;
};

// The next '%' at or after p, stepping whole characters; null when there is none.
const char* FindPercent(const char* p)
{
    while (*p != '\0') {
        if (*p == '%')
            return p;
        p = CharNextA(p);
    }
    return nullptr;
}

}  // namespace

HRESULT ExpandReplacements(const StringEntry* table, UINT index, ReplacementTable& replacements,
                           char** ppszOut, bool* pbOwned)
{
    *ppszOut = nullptr;
    *pbOwned = false;
    const char* pszText = table[index].pszText;
    if (pszText == nullptr)
        return S_FALSE;
    if (table[index].bExpand == 0) {
        *ppszOut = const_cast<char*>(pszText);
        return S_OK;
    }
    ExpansionBuffer buffer;
    const char* p = pszText;
    while (*p != '\0') {
        if (*p == '%') {
            if (p[1] == '%') {
                if (!buffer.Append("%", 1))
                    return E_OUTOFMEMORY;
                p += 2;
                continue;
            }
            const char* pszName = p + 1;
            const char* pszEnd = FindPercent(pszName);
            if (pszEnd == nullptr)
                return E_FAIL;
            SIZE_T cbName = static_cast<SIZE_T>(pszEnd - pszName);
            if (cbName > 31)
                return E_FAIL;
            char szName[32];
            CopyMemory(szName, pszName, cbName);
            szName[cbName] = '\0';
            const char* pszValue = replacements.Find(szName);
            if (pszValue == nullptr)
                return E_FAIL;
            if (!buffer.Append(pszValue, static_cast<SIZE_T>(lstrlenA(pszValue))))
                return E_OUTOFMEMORY;
            p = pszEnd + 1;
            continue;
        }
        const char* pNext = CharNextA(p);
        if (pNext == p)
            pNext = p + 1;
        if (!buffer.Append(p, static_cast<SIZE_T>(pNext - p)))
            return E_OUTOFMEMORY;
        p = pNext;
    }
    if (!buffer.Append("", 1))
        return E_OUTOFMEMORY;
    *ppszOut = buffer.Detach();
    *pbOwned = true;
    return S_OK;
}

void FreeExpandedText(char* psz) noexcept
{
    HeapBlock<char> text(psz);
}
