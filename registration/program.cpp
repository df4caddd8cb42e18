#include "registration/program.h"

#include "platform/platform.h"
#include "platform/key_handle.h"
#include "text/code_page.h"
#include "text/errors.h"
#include "text/work_buffer.h"

namespace {

// Texts and bytes up to this size are converted without touching the heap.
constexpr SIZE_T kFixedText = 1024;
constexpr SIZE_T kFixedWide = 64;

DWORD Opcode(DWORD w) { return w >> 28; }
UINT Operand1(DWORD w) { return (w >> 14) & 0x3FFF; }
UINT Operand2(DWORD w) { return w & 0x3FFF; }

// The predefined keys are sign-extended 32-bit values (HKEY_CLASSES_ROOT is
// 0xFFFFFFFF80000000 in a 64-bit process).
HKEY PredefinedRoot(UINT n)
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000000u + n)));
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

    HRESULT From(const RegistrationProgram& program, UINT index)
    {
        return ExpandReplacements(program.strings, index, program.replacements, &m_psz, &m_owned);
    }
    const char* Text() const noexcept { return m_psz != nullptr ? m_psz : ""; }

private:
    char* m_psz = nullptr;
    bool m_owned = false;
};

bool IsDeleteSuccess(LONG code) { return code == 0 || code == 2 || code == 3; }

// Deletes the tree named by string entry `index` under hLevelKey.
HRESULT DeleteNamed(HKEY hLevelKey, const RegistrationProgram& program, UINT index)
{
    Expanded name;
    HRESULT hr = name.From(program, index);
    if (FAILED(hr))
        return hr;
    if (hLevelKey != nullptr) {
        const LONG code = KeyView(hLevelKey).DeleteTree(name.Text());
        if (!IsDeleteSuccess(code))
            return HResultFromWin32(code);
    }
    return hr;
}

// Copies psz with each "\0" pair turned into a NUL, then two NULs: one spare
// beyond the text's own terminator, so a text that does not end with "\0"
// still gives a multi-string ended by an empty string. `out` holds
// lstrlenA(psz) + 2 characters. A double-byte character is copied whole.
void ToMultiString(const char* psz, char* out)
{
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
}

// A number from its text in the conversion code page; E_FAIL when it is none.
HRESULT ParseDword(const char* psz, DWORD* pValue)
{
    const int cch = lstrlenA(psz) + 1;
    WorkBuffer<wchar_t, kFixedWide> wide;
    if (wide.Reserve(cch) == nullptr)
        return E_OUTOFMEMORY;
    ULONG parsed = 0;
    HRESULT hr = E_FAIL;
    if (NarrowToWide(wide.Get(), psz, cch, GetConversionCodePage()) != nullptr)
        hr = ::VarUI4FromStr(wide.Get(), 0, 0, &parsed);
    if (FAILED(hr))
        return E_FAIL;
    *pValue = parsed;
    return S_OK;
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

// len / 2 bytes from pairs of hex digits, high digit first; a character that
// is no hex digit counts as 0.
void HexToBytes(const char* psz, UINT len, BYTE* out)
{
    for (UINT i = 0; i < len / 2; ++i)
        out[i] = 0;
    for (UINT i = 0; i < len; ++i)
        out[i / 2] |= static_cast<BYTE>(HexDigit(psz[i]) << ((i % 2 == 0) ? 4 : 0));
}

// Where a value goes, and under which name (null: the key's default value).
struct ValueTarget {
    HKEY hKey;
    const char* pszName;
};

HRESULT SetValue(const ValueTarget& target, DWORD type, const void* pv, DWORD cb)
{
    LONG code = ::RegSetValueExA(target.hKey, target.pszName, 0, type, static_cast<const BYTE*>(pv), cb);
    return code != 0 ? HResultFromWin32(code) : S_OK;
}

HRESULT SetHexBinary(const ValueTarget& target, const char* psz)
{
    const UINT len = static_cast<UINT>(lstrlenA(psz));
    if (len % 2 != 0)
        return E_FAIL;
    WorkBuffer<BYTE, kFixedText> bytes;
    if (bytes.Reserve(len / 2) == nullptr)
        return E_OUTOFMEMORY;
    HexToBytes(psz, len, bytes.Get());
    return SetValue(target, REG_BINARY, bytes.Get(), len / 2);
}

// One level of the program: the words from the position at entry up to its
// LEAVE (or END, or the ROOT that hands the rest to another root), with the
// key the last key word opened as the current key.
class Level {
public:
    Level(HKEY hLevelKey, RegistrationProgram& program) noexcept : m_level(hLevelKey), m_prog(program) {}

    HRESULT Run()
    {
        for (;;) {
            const DWORD w = m_prog.words[m_prog.pos];
            const Handler handler = kHandlers[Opcode(w)];
            // Not an opcode: the program is damaged, so nothing more is written.
            const Step step = handler != nullptr ? (this->*handler)(w) : Finish(E_FAIL);
            if (step.done) {
                m_current.Close();
                return step.hr;
            }
        }
    }

private:
    // What a word leaves the level to do: go on, or end with a status.
    struct Step {
        bool done;
        HRESULT hr;
    };
    using Handler = Step (Level::*)(DWORD w);
    using Writer = HRESULT (Level::*)(DWORD w);
    static const Handler kHandlers[16];  // by opcode; null for no opcode
    static const Writer kWriters[4];     // by opcode - REGOP_SZ

    static Step Finish(HRESULT hr) { return {true, hr}; }
    static Step Continue() { return {false, S_OK}; }
    Step Advance()
    {
        ++m_prog.pos;
        return Continue();
    }

    // --- keys ---------------------------------------------------------------

    Step OnEnd(DWORD) { return Finish(S_OK); }

    // The unregister pass leaves this key in place; the register pass opens it.
    Step OnNoRemove(DWORD w)
    {
        m_noRemove = true;
        if (m_prog.bRegister) {
            HRESULT hr = OpenOrCreate(Operand1(w));
            if (FAILED(hr))
                return Finish(hr);
        }
        return Advance();
    }

    // The register pass deletes the key's tree before writing it anew.
    Step OnForceRemove(DWORD w)
    {
        if (m_prog.bRegister) {
            HRESULT hr = DeleteNamed(m_level, m_prog, Operand1(w));
            if (FAILED(hr))
                return Finish(hr);
        }
        return OnKey(w);
    }

    Step OnKey(DWORD w)
    {
        HRESULT hr = m_prog.bRegister ? OpenOrCreate(Operand1(w)) : OpenExisting(w);
        if (FAILED(hr))
            return Finish(hr);
        return Advance();
    }

    // Expands string entry `index`, recording the status as the level result.
    HRESULT Expand(Expanded& text, UINT index)
    {
        m_result = text.From(m_prog, index);
        return m_result;
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

    // Unregister pass: the key is opened when it is there (an absent key is
    // no error), and its word is kept for the block that may follow.
    HRESULT OpenExisting(DWORD w)
    {
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

    // --- blocks -------------------------------------------------------------

    Step OnEnter(DWORD)
    {
        ++m_prog.pos;
        HRESULT hr = ExecuteLevel(m_current.Get(), m_prog);
        m_result = hr;
        if (SUCCEEDED(hr) && !m_prog.bRegister)
            hr = DeleteBlockKey();
        return FAILED(hr) ? Finish(hr) : Continue();
    }

    // Unregister pass, after a block: its key goes unless NOREMOVE kept it.
    HRESULT DeleteBlockKey()
    {
        if (m_noRemove) {
            m_noRemove = false;
            return S_OK;
        }
        // A block with no key before it: the program is damaged, and there is
        // no key name to delete.
        if (!m_haveKeyWord)
            return E_FAIL;
        // The remembered key may still be open as the current key.
        m_current.Close();
        m_result = DeleteNamed(m_level, m_prog, Operand1(m_keyWord));
        return m_result;
    }

    Step OnLeave(DWORD)
    {
        ++m_prog.pos;
        return Finish(m_result);
    }

    // The rest of the program runs under another predefined key.
    Step OnRoot(DWORD w)
    {
        ++m_prog.pos;
        return Finish(ExecuteLevel(PredefinedRoot(Operand1(w)), m_prog));
    }

    // --- values (register pass only) ----------------------------------------

    Step OnValue(DWORD w)
    {
        if (m_prog.bRegister) {
            HRESULT hr = (this->*kWriters[Opcode(w) - REGOP_SZ])(w);
            if (FAILED(hr))
                return Finish(hr);
        }
        return Advance();
    }

    // A named value goes on the level key; an unnamed one on the current key,
    // or without one on the level key, borrowed for this step only.
    HRESULT Target(DWORD w, Expanded& name, ValueTarget* pTarget)
    {
        const UINT nameIndex = Operand1(w);
        if (nameIndex == 0) {
            *pTarget = {m_current.Get() != nullptr ? m_current.Get() : m_level, nullptr};
            return S_OK;
        }
        HRESULT hr = Expand(name, nameIndex);
        if (FAILED(hr))
            return hr;
        *pTarget = {m_level, name.Text()};
        return S_OK;
    }

    // A string value expands its data before its name, so the name's status
    // is the one recorded last.
    HRESULT WriteString(DWORD w)
    {
        Expanded name;
        Expanded data;
        HRESULT hr = Expand(data, Operand2(w));
        if (FAILED(hr))
            return hr;
        ValueTarget target;
        hr = Target(w, name, &target);
        if (FAILED(hr))
            return hr;
        const char* psz = data.Text();
        return SetValue(target, REG_SZ, psz, lstrlenA(psz) + 1);
    }

    HRESULT WriteMultiString(DWORD w)
    {
        Expanded name;
        ValueTarget target;
        HRESULT hr = Target(w, name, &target);
        if (FAILED(hr))
            return hr;
        Expanded data;
        hr = Expand(data, Operand2(w));
        if (FAILED(hr))
            return hr;
        const char* psz = data.Text();
        WorkBuffer<char, kFixedText + 1> text;
        if (text.Reserve(static_cast<UINT>(lstrlenA(psz)) + 2) == nullptr)
            return E_OUTOFMEMORY;
        ToMultiString(psz, text.Get());
        const LONG code = KeyView(target.hKey).SetMultiString(target.pszName, text.Get());
        return code != 0 ? HResultFromWin32(code) : S_OK;
    }

    HRESULT WriteDword(DWORD w)
    {
        Expanded name;
        ValueTarget target;
        HRESULT hr = Target(w, name, &target);
        if (FAILED(hr))
            return hr;
        if (m_prog.dwords == nullptr)
            return E_INVALIDARG;
        const DwordEntry& e = m_prog.dwords[Operand2(w)];
        DWORD value = e.dwValue;
        if (e.bFromString == 1) {
            Expanded data;
            hr = Expand(data, e.dwValue);
            if (FAILED(hr))
                return hr;
            hr = ParseDword(data.Text(), &value);
            if (FAILED(hr))
                return hr;
        }
        return SetValue(target, REG_DWORD, &value, sizeof value);
    }

    HRESULT WriteBinary(DWORD w)
    {
        Expanded name;
        ValueTarget target;
        HRESULT hr = Target(w, name, &target);
        if (FAILED(hr))
            return hr;
        if (m_prog.binaries == nullptr)
            return E_INVALIDARG;
        const BinaryEntry& e = m_prog.binaries[Operand2(w)];
        if (e.bFromString != 1)
            return SetValue(target, REG_BINARY, e.pb, e.dw);
        Expanded data;
        hr = Expand(data, e.dw);
        if (FAILED(hr))
            return hr;
        return SetHexBinary(target, data.Text());
    }

    HKEY m_level;
    RegistrationProgram& m_prog;

    KeyHandle m_current;
    HRESULT m_result = S_OK;
    bool m_noRemove = false;
    DWORD m_keyWord = 0;
    bool m_haveKeyWord = false;
};

const Level::Handler Level::kHandlers[16] = {
    &Level::OnEnd,         // REGOP_END
    &Level::OnNoRemove,    // REGOP_NOREMOVE
    &Level::OnForceRemove, // REGOP_FORCEREMOVE
    &Level::OnKey,         // REGOP_KEY
    nullptr,
    &Level::OnEnter,       // REGOP_ENTER
    &Level::OnLeave,       // REGOP_LEAVE
    &Level::OnRoot,        // REGOP_ROOT
    &Level::OnValue,       // REGOP_SZ
    &Level::OnValue,       // REGOP_MULTI_SZ
    &Level::OnValue,       // REGOP_DWORD
    &Level::OnValue,       // REGOP_BINARY
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

const Level::Writer Level::kWriters[4] = {
    &Level::WriteString,       // REGOP_SZ
    &Level::WriteMultiString,  // REGOP_MULTI_SZ
    &Level::WriteDword,        // REGOP_DWORD
    &Level::WriteBinary,       // REGOP_BINARY
};

}  // namespace

HRESULT ExecuteLevel(HKEY hLevelKey, RegistrationProgram& program)
{
    Level level(hLevelKey, program);
    return level.Run();
}

HRESULT RunRegistrationProgram(const DWORD* words, const StringEntry* strings, const DwordEntry* dwords,
                               const BinaryEntry* binaries, ReplacementTable& replacements, bool bRegister)
{
    if (words == nullptr || strings == nullptr)
        return E_INVALIDARG;
    if (Opcode(words[0]) != REGOP_ROOT)
        return E_FAIL;
    RegistrationProgram program{words, 1, strings, dwords, binaries, replacements, bRegister};
    return ExecuteLevel(PredefinedRoot(Operand1(words[0])), program);
}
