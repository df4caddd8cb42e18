#include "registration/program.h"

#include "platform/platform.h"
#include "registration/key_handle.h"
#include "text/code_page.h"
#include "text/errors.h"

namespace {

constexpr UINT kFixedBuffer = 1024;

DWORD Opcode(DWORD w) { return w >> 28; }
UINT Operand1(DWORD w) { return (w >> 14) & 0x3FFF; }
UINT Operand2(DWORD w) { return w & 0x3FFF; }

// The predefined keys are sign-extended 32-bit values (HKEY_CLASSES_ROOT is
// 0xFFFFFFFF80000000 in a 64-bit process).
HKEY PredefinedRoot(UINT n)
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000000u + n)));
}

void* HeapGet(SIZE_T cb) { return platform::g_ops.HeapAlloc(platform::g_ops.GetProcessHeap(), 0, cb); }
void HeapPut(void* p)
{
    if (p != nullptr)
        platform::g_ops.HeapFree(platform::g_ops.GetProcessHeap(), 0, p);
}

// One expanded string entry, freed when it was built by the expansion.
class Expanded {
public:
    Expanded() noexcept = default;
    ~Expanded()
    {
        if (m_owned)
            FreeExpandedText(m_psz);
    }
    Expanded(const Expanded&) = delete;
    Expanded& operator=(const Expanded&) = delete;

    HRESULT From(const StringEntry* table, UINT index, ReplacementTable& repl)
    {
        return ExpandReplacements(table, index, repl, &m_psz, &m_owned);
    }
    const char* Get() const noexcept { return m_psz; }
    const char* Text() const noexcept { return m_psz != nullptr ? m_psz : ""; }

private:
    char* m_psz = nullptr;
    bool m_owned = false;
};

bool IsDeleteSuccess(LONG code) { return code == 0 || code == 2 || code == 3; }

// Deletes the tree named by string entry `index` under hLevelKey.
HRESULT DeleteNamed(HKEY hLevelKey, const StringEntry* strings, UINT index, ReplacementTable& repl)
{
    Expanded name;
    HRESULT hr = name.From(strings, index, repl);
    if (FAILED(hr))
        return hr;
    if (hLevelKey != nullptr) {
        KeyHandle lent = KeyHandle::Lent(hLevelKey);
        LONG code = lent.DeleteTree(name.Text());
        lent.Release();
        if (!IsDeleteSuccess(code))
            return HResultFromWin32(code);
    }
    return hr;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

class Level {
public:
    Level(HKEY hLevelKey, const DWORD* words, UINT* pPos, const StringEntry* strings, const DwordEntry* dwords,
          const BinaryEntry* binaries, ReplacementTable& repl, bool bRegister) noexcept
        : m_level(hLevelKey), m_words(words), m_pos(pPos), m_strings(strings), m_dwords(dwords),
          m_binaries(binaries), m_repl(repl), m_register(bRegister)
    {
    }

    HRESULT Run()
    {
        for (;;) {
            const DWORD w = m_words[*m_pos];
            HRESULT hr = S_OK;
            switch (Opcode(w)) {
            case REGOP_END:
                m_current.Close();
                return S_OK;
            case REGOP_NOREMOVE:
                m_noRemove = true;
                if (m_register) {
                    hr = OpenOrCreate(Operand1(w));
                    if (FAILED(hr))
                        return Stop(hr);
                }
                ++*m_pos;
                break;
            case REGOP_FORCEREMOVE:
                if (m_register) {
                    hr = DeleteNamed(m_level, m_strings, Operand1(w), m_repl);
                    if (FAILED(hr))
                        return Stop(hr);
                }
                hr = Key(w);
                if (FAILED(hr))
                    return Stop(hr);
                ++*m_pos;
                break;
            case REGOP_KEY:
                hr = Key(w);
                if (FAILED(hr))
                    return Stop(hr);
                ++*m_pos;
                break;
            case REGOP_ENTER:
                ++*m_pos;
                hr = ExecuteLevel(m_current.Get(), m_words, m_pos, m_strings, m_dwords, m_binaries, m_repl,
                                  m_register);
                m_result = hr;
                if (FAILED(hr))
                    return Stop(hr);
                if (!m_register) {
                    if (m_noRemove) {
                        m_noRemove = false;
                    } else if (!m_haveKeyWord) {
                        // A block with no key before it: the program is damaged,
                        // and there is no key name to delete.
                        return Stop(E_FAIL);
                    } else {
                        // The remembered key may still be open as the current key.
                        m_current.Close();
                        hr = DeleteNamed(m_level, m_strings, Operand1(m_keyWord), m_repl);
                        m_result = hr;
                        if (FAILED(hr))
                            return Stop(hr);
                    }
                }
                break;
            case REGOP_LEAVE:
                ++*m_pos;
                m_current.Close();
                return m_result;
            case REGOP_ROOT:
                ++*m_pos;
                hr = ExecuteLevel(PredefinedRoot(Operand1(w)), m_words, m_pos, m_strings, m_dwords, m_binaries,
                                  m_repl, m_register);
                m_current.Close();
                return hr;
            case REGOP_SZ:
            case REGOP_MULTI_SZ:
            case REGOP_DWORD:
            case REGOP_BINARY:
                if (m_register) {
                    hr = Value(w);
                    if (FAILED(hr))
                        return Stop(hr);
                }
                ++*m_pos;
                break;
            default:
                // Not an opcode: the program is damaged, so nothing more is written.
                return Stop(E_FAIL);
            }
        }
    }

private:
    HRESULT Stop(HRESULT hr)
    {
        m_current.Close();
        return hr;
    }

    // Expands string entry `index`, recording the status as the level result.
    HRESULT Expand(Expanded& text, UINT index)
    {
        m_result = text.From(m_strings, index, m_repl);
        return m_result;
    }

    static HRESULT SetValue(HKEY hKey, const char* pszName, DWORD type, const BYTE* pb, DWORD cb)
    {
        LONG code = platform::g_ops.RegSetValueExA(hKey, pszName, 0, type, pb, cb);
        return code != 0 ? HResultFromWin32(code) : S_OK;
    }

    HRESULT OpenOrCreate(UINT index)
    {
        Expanded name;
        HRESULT hr = Expand(name, index);
        if (FAILED(hr))
            return hr;
        hr = m_current.OpenOrCreate(m_level, name.Text());
        m_result = hr;
        return hr;
    }

    HRESULT Key(DWORD w)
    {
        if (m_register)
            return OpenOrCreate(Operand1(w));
        Expanded name;
        HRESULT hr = Expand(name, Operand1(w));
        if (FAILED(hr))
            return hr;
        m_current.Close();
        if (m_level != nullptr) {
            LONG code = m_current.Open(m_level, name.Text(), KeyHandle::kReadWrite);
            if (code != 0 && code != ERROR_FILE_NOT_FOUND)
                return HResultFromWin32(code);
        }
        m_keyWord = w;
        m_haveKeyWord = true;
        return S_OK;
    }

    HRESULT Value(DWORD w)
    {
        // Without a current key, the level key is borrowed for this step only.
        HKEY hCurrent = m_current.Get() != nullptr ? m_current.Get() : m_level;

        const UINT nameIndex = Operand1(w);
        Expanded name;
        HRESULT hr;
        // A string value expands its data before its name, so the name's status
        // is the one recorded last.
        Expanded stringData;
        if (Opcode(w) == REGOP_SZ) {
            hr = Expand(stringData, Operand2(w));
            if (FAILED(hr))
                return hr;
        }
        if (nameIndex != 0) {
            hr = Expand(name, nameIndex);
            if (FAILED(hr))
                return hr;
        }
        HKEY hTarget = nameIndex != 0 ? m_level : hCurrent;
        const char* pszName = nameIndex != 0 ? name.Text() : nullptr;

        switch (Opcode(w)) {
        case REGOP_SZ: {
            const char* psz = stringData.Text();
            return SetValue(hTarget, pszName, REG_SZ, reinterpret_cast<const BYTE*>(psz), lstrlenA(psz) + 1);
        }
        case REGOP_MULTI_SZ: {
            Expanded data;
            hr = Expand(data, Operand2(w));
            if (FAILED(hr))
                return hr;
            const char* psz = data.Text();
            const UINT len = static_cast<UINT>(lstrlenA(psz));
            // One spare byte beyond the text's own terminator: a text that does
            // not end with \0 still gives a multi-string ended by an empty string,
            // so the length count never walks past the buffer.
            char fixed[kFixedBuffer + 1];
            char* buf = fixed;
            if (len >= kFixedBuffer) {
                buf = static_cast<char*>(HeapGet(len + 2));
                if (buf == nullptr)
                    return E_OUTOFMEMORY;
            }
            char* out = buf;
            const char* p = psz;
            while (*p != '\0') {
                if (p[0] == '\\' && p[1] == '0') {
                    *out++ = '\0';
                    p += 2;
                    continue;
                }
                const char* next = CharNextA(p);
                while (p < next)
                    *out++ = *p++;
            }
            out[0] = '\0';
            out[1] = '\0';
            KeyHandle lent = KeyHandle::Lent(hTarget);
            LONG code = lent.SetMultiString(pszName, buf);
            lent.Release();
            if (buf != fixed)
                HeapPut(buf);
            return code != 0 ? HResultFromWin32(code) : S_OK;
        }
        case REGOP_DWORD: {
            if (m_dwords == nullptr)
                return E_INVALIDARG;
            const DwordEntry& e = m_dwords[Operand2(w)];
            DWORD value = e.dwValue;
            if (e.bFromString == 1) {
                Expanded data;
                hr = Expand(data, e.dwValue);
                if (FAILED(hr))
                    return hr;
                const char* psz = data.Text();
                const int cch = lstrlenA(psz) + 1;
                wchar_t fixed[64];
                wchar_t* wide = fixed;
                if (cch > 64) {
                    wide = static_cast<wchar_t*>(HeapGet(cch * sizeof(wchar_t)));
                    if (wide == nullptr)
                        return E_OUTOFMEMORY;
                }
                ULONG parsed = 0;
                HRESULT hrParse = E_FAIL;
                if (NarrowToWide(wide, psz, cch, GetConversionCodePage()) != nullptr)
                    hrParse = platform::g_ops.VarUI4FromStr(wide, 0, 0, &parsed);
                if (wide != fixed)
                    HeapPut(wide);
                if (FAILED(hrParse))
                    return E_FAIL;
                value = parsed;
            }
            return SetValue(hTarget, pszName, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        default: {  // REGOP_BINARY
            if (m_binaries == nullptr)
                return E_INVALIDARG;
            const BinaryEntry& e = m_binaries[Operand2(w)];
            if (e.bFromString != 1) {
                return SetValue(hTarget, pszName, REG_BINARY, e.pb, e.dw);
            }
            Expanded data;
            hr = Expand(data, e.dw);
            if (FAILED(hr))
                return hr;
            const char* psz = data.Text();
            const UINT len = static_cast<UINT>(lstrlenA(psz));
            if (len % 2 != 0)
                return E_FAIL;
            const UINT cb = len / 2;
            BYTE fixed[kFixedBuffer];
            BYTE* buf = fixed;
            if (cb > kFixedBuffer) {
                buf = static_cast<BYTE*>(HeapGet(cb));
                if (buf == nullptr)
                    return E_OUTOFMEMORY;
            }
            for (UINT i = 0; i < cb; ++i)
                buf[i] = 0;
            for (UINT i = 0; i < len; ++i)
                buf[i / 2] |= static_cast<BYTE>(HexDigit(psz[i]) << ((i % 2 == 0) ? 4 : 0));
            hr = SetValue(hTarget, pszName, REG_BINARY, buf, cb);
            if (buf != fixed)
                HeapPut(buf);
            return hr;
        }
        }
    }

    HKEY m_level;
    const DWORD* m_words;
    UINT* m_pos;
    const StringEntry* m_strings;
    const DwordEntry* m_dwords;
    const BinaryEntry* m_binaries;
    ReplacementTable& m_repl;
    bool m_register;

    KeyHandle m_current;
    HRESULT m_result = S_OK;
    bool m_noRemove = false;
    DWORD m_keyWord = 0;
    bool m_haveKeyWord = false;
};

}  // namespace

HRESULT ExecuteLevel(HKEY hLevelKey, const DWORD* words, UINT* pPos, const StringEntry* strings,
                     const DwordEntry* dwords, const BinaryEntry* binaries, ReplacementTable& replacements,
                     bool bRegister)
{
    Level level(hLevelKey, words, pPos, strings, dwords, binaries, replacements, bRegister);
    return level.Run();
}

HRESULT RunRegistrationProgram(const DWORD* words, const StringEntry* strings, const DwordEntry* dwords,
                               const BinaryEntry* binaries, ReplacementTable& replacements, bool bRegister)
{
    if (words == nullptr || strings == nullptr)
        return E_INVALIDARG;
    if (Opcode(words[0]) != REGOP_ROOT)
        return E_FAIL;
    UINT pos = 1;
    return ExecuteLevel(PredefinedRoot(Operand1(words[0])), words, &pos, strings, dwords, binaries,
                        replacements, bRegister);
}
