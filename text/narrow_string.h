// Shared, reference-counted narrow text. Its layout is part of the hall
// interface: WM_HALL_REQUEST carries the address of a CNarrowString handle,
// and the hall reads the CStringHeader in front of the text.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdarg>

class CStringManager;

struct CStringHeader {
    CStringManager* pManager;  // owns the buffer
    LONG nLength;              // characters, NUL not counted
    LONG nCapacity;            // characters the buffer holds, NUL not counted
    LONG nRefs;                // handles sharing the buffer

    char* Text() noexcept { return reinterpret_cast<char*>(this + 1); }
};
// The hall reads this header in front of the text: 16 bytes in a 32-bit
// process; in a 64-bit one the manager pointer takes 8 bytes, the three counts
// follow at 8, 12 and 16, and the header is padded to 24 bytes.
static_assert(sizeof(CStringHeader) == (sizeof(void*) == 4 ? 16 : 24), "the hall reads a 16-byte header (24 in a 64-bit process)");

// Memory manager of the string manager: the process's default heap, flags 0.
class CProcessHeapAllocator {
public:
    virtual void* Allocate(size_t cb);
    virtual void Free(void* p);  // null does nothing
    virtual void* Reallocate(void* p, size_t cb);  // null allocates
    virtual size_t SizeOf(const void* p);
    virtual ~CProcessHeapAllocator() = default;
};

// One per process. The virtual operations keep this order: the hall may reach
// them through the header to copy or release a text.
class CStringManager {
public:
    explicit CStringManager(CProcessHeapAllocator* pAllocator) noexcept;
    virtual CStringHeader* Allocate(int nChars, int nCharSize);
    virtual void Free(CStringHeader* pData);
    virtual CStringHeader* Reallocate(CStringHeader* pData, int nChars, int nCharSize);
    virtual CStringHeader* GetNilString();
    virtual CStringManager* Clone();

private:
    CProcessHeapAllocator* m_pAllocator;
    CStringHeader m_nilHeader;
    char m_nilChar;
};

// Capacity for a request of n characters: the next value of the form 8k - 1.
LONG RoundCapacity(LONG nChars) noexcept;

CProcessHeapAllocator& ProcessHeapAllocator() noexcept;
CStringManager& StringManager() noexcept;

// A handle: the address of the first character. Never null; an empty handle
// points to the manager's nil text. Raises CHResultException on failure.
class CNarrowString {
public:
    CNarrowString() noexcept;
    explicit CNarrowString(const char* psz);
    CNarrowString(const CNarrowString& other) noexcept;  // shares the buffer
    CNarrowString& operator=(const CNarrowString& other) noexcept;
    ~CNarrowString();

    // printf-style formatting into the handle, by the system's printf
    // (msvcrt's); E_INVALIDARG for a null format.
    void SetFormatted(const char* pszFormat, ...);

    // Makes the buffer the handle's own with room for nChars characters
    // (copy before write, growth rule) and returns it for writing.
    char* GetBuffer(int nChars);
    // Sets the length after writing through GetBuffer (-1: up to the first NUL).
    void ReleaseBuffer(int nNewLength = -1);

    const char* GetString() const noexcept { return m_pszData; }
    operator const char*() const noexcept { return m_pszData; }
    int GetLength() const noexcept { return Header()->nLength; }
    CStringHeader* Header() const noexcept { return reinterpret_cast<CStringHeader*>(m_pszData) - 1; }

private:
    void FormatArguments(const char* pszFormat, va_list args);
    void PrepareWrite(int nChars);
    void Attach(CStringHeader* pData) noexcept;
    static void ReleaseData(CStringHeader* pData) noexcept;

    char* m_pszData;
};
static_assert(sizeof(CNarrowString) == sizeof(void*), "a handle is one pointer");

// New BSTR holding the handle's text, converted with GetConversionCodePage.
// Empty text gives a BSTR of length 0. Raises E_OUTOFMEMORY.
BSTR MakeBstr(const CNarrowString& text);
