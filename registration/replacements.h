// The replacement table of the registration program and the expansion of
// %NAME% references in its string table.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "server/module.h"

struct StringEntry {
    const char* pszText;  // null ends the table
    BYTE bExpand;         // 1 when the text holds %NAME% references
};

class ReplacementTable final : public ITarnwickReplacements {
public:
    ReplacementTable() noexcept = default;
    virtual ~ReplacementTable();
    ReplacementTable(const ReplacementTable&) = delete;
    ReplacementTable& operator=(const ReplacementTable&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE AddWide(const wchar_t* pszName, const wchar_t* pszText) override;
    HRESULT STDMETHODCALLTYPE Clear() override;
    HRESULT STDMETHODCALLTYPE Add(const char* pszName, const char* pszText) override;

    const char* Find(const char* pszName) const noexcept;
    UINT Count() const noexcept { return m_count; }

private:
    char** m_names = nullptr;
    char** m_texts = nullptr;
    UINT m_count = 0;
};

// The text of table[index], expanded when its flag asks for it. *pbOwned tells
// whether *ppszOut was built here (free it with FreeExpandedText) or is the
// entry's own text. S_FALSE and no text for an entry without text.
HRESULT ExpandReplacements(const StringEntry* table, UINT index, ReplacementTable& replacements,
                           char** ppszOut, bool* pbOwned);
void FreeExpandedText(char* psz) noexcept;
