// The shared narrow string, its manager and the process-heap allocator.
#include "text/narrow_string.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/init_order.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "text/code_page.h"
#include "text/errors.h"

// ---------------------------------------------------------------------------
// CProcessHeapAllocator

void* CProcessHeapAllocator::Allocate(size_t cb)
{
    return platform::ops().HeapAlloc(::GetProcessHeap(), 0, cb);
}

void CProcessHeapAllocator::Free(void* p)
{
    if (p)
        platform::ops().HeapFree(::GetProcessHeap(), 0, p);
}

void* CProcessHeapAllocator::Reallocate(void* p, size_t cb)
{
    if (!p)
        return Allocate(cb);
    return platform::ops().HeapReAlloc(::GetProcessHeap(), 0, p, cb);
}

size_t CProcessHeapAllocator::SizeOf(const void* p)
{
    return ::HeapSize(::GetProcessHeap(), 0, p);
}

// ---------------------------------------------------------------------------
// CStringManager

LONG RoundCapacity(LONG nChars) noexcept
{
    if (nChars < 0)
        nChars = 0;
    if (nChars > LONG_MAX - 8)
        return LONG_MAX;
    return ((nChars + 8) & ~static_cast<LONG>(7)) - 1;
}

namespace {

// Bytes of a block holding nCapacity characters and the NUL; 0 when too large.
size_t BlockSize(LONG nCapacity, int nCharSize) noexcept
{
    if (nCharSize <= 0 || nCapacity == LONG_MAX)
        return 0;
    const unsigned long long cb =
        sizeof(CStringHeader) + (static_cast<unsigned long long>(nCapacity) + 1) * nCharSize;
    if (cb > static_cast<unsigned long long>(INT_MAX))
        return 0;
    return static_cast<size_t>(cb);
}

}  // namespace

CStringManager::CStringManager(CProcessHeapAllocator* pAllocator) noexcept
    : m_pAllocator(pAllocator), m_nilHeader{this, 0, 0, 2}, m_nilChar(0)
{
}

CStringHeader* CStringManager::Allocate(int nChars, int nCharSize)
{
    const LONG nCapacity = RoundCapacity(nChars);
    const size_t cb = BlockSize(nCapacity, nCharSize);
    if (cb == 0)
        return nullptr;
    auto* pData = static_cast<CStringHeader*>(m_pAllocator->Allocate(cb));
    if (!pData)
        return nullptr;
    pData->pManager = this;
    pData->nLength = 0;
    pData->nCapacity = nCapacity;
    pData->nRefs = 1;
    std::memset(pData->Text(), 0, static_cast<size_t>(nCharSize));
    return pData;
}

void CStringManager::Free(CStringHeader* pData)
{
    if (pData && pData != &m_nilHeader)
        m_pAllocator->Free(pData);
}

CStringHeader* CStringManager::Reallocate(CStringHeader* pData, int nChars, int nCharSize)
{
    // No block yet: a new, fully formed empty text, as Allocate gives.
    if (!pData)
        return Allocate(nChars, nCharSize);
    const LONG nCapacity = RoundCapacity(nChars);
    const size_t cb = BlockSize(nCapacity, nCharSize);
    if (cb == 0)
        return nullptr;
    auto* pNew = static_cast<CStringHeader*>(m_pAllocator->Reallocate(pData, cb));
    if (!pNew)
        return nullptr;
    pNew->nCapacity = nCapacity;
    return pNew;
}

CStringHeader* CStringManager::GetNilString()
{
    InterlockedIncrement(&m_nilHeader.nRefs);
    return &m_nilHeader;
}

CStringManager* CStringManager::Clone()
{
    return this;
}

CProcessHeapAllocator g_heapAllocator TW_INIT_HEAP_ALLOCATOR;
CStringManager g_stringManager TW_INIT_STRING_MANAGER(&g_heapAllocator);

CProcessHeapAllocator& ProcessHeapAllocator() noexcept
{
    return g_heapAllocator;
}

CStringManager& StringManager() noexcept
{
    return g_stringManager;
}

// ---------------------------------------------------------------------------
// CNarrowString

CNarrowString::CNarrowString() noexcept
{
    Attach(StringManager().GetNilString());
}

// Delegating to the default constructor makes the handle whole before the
// copy starts, so a failure below releases it through the destructor.
CNarrowString::CNarrowString(const char* psz) : CNarrowString()
{
    if (psz && *psz) {
        const size_t cch = std::strlen(psz);
        if (cch > static_cast<size_t>(INT_MAX - 8))
            RaiseOutOfMemory();
        char* pszBuffer = GetBuffer(static_cast<int>(cch));
        std::memcpy(pszBuffer, psz, cch);
        ReleaseBuffer(static_cast<int>(cch));
    }
}

CNarrowString::CNarrowString(const CNarrowString& other) noexcept
{
    CStringHeader* pData = other.Header();
    InterlockedIncrement(&pData->nRefs);
    Attach(pData);
}

CNarrowString& CNarrowString::operator=(const CNarrowString& other) noexcept
{
    CStringHeader* pNew = other.Header();
    CStringHeader* pOld = Header();
    if (pNew != pOld) {
        InterlockedIncrement(&pNew->nRefs);
        Attach(pNew);
        ReleaseData(pOld);
    }
    return *this;
}

CNarrowString::~CNarrowString()
{
    ReleaseData(Header());
}

void CNarrowString::Attach(CStringHeader* pData) noexcept
{
    m_pszData = pData->Text();
}

void CNarrowString::ReleaseData(CStringHeader* pData) noexcept
{
    if (InterlockedDecrement(&pData->nRefs) <= 0)
        pData->pManager->Free(pData);
}

void CNarrowString::PrepareWrite(int nChars)
{
    CStringHeader* pOld = Header();
    if (nChars < 0)
        RaiseHResult(E_INVALIDARG);
    if (pOld->nRefs <= 1 && pOld->nCapacity >= nChars)
        return;
    if (nChars < pOld->nLength)
        nChars = pOld->nLength;

    if (pOld->nRefs > 1) {
        CStringHeader* pNew = pOld->pManager->Allocate(nChars, 1);
        if (!pNew)
            RaiseOutOfMemory();
        const LONG nCopy = pOld->nLength < nChars ? pOld->nLength : nChars;
        std::memcpy(pNew->Text(), pOld->Text(), static_cast<size_t>(nCopy));
        pNew->Text()[nCopy] = '\0';
        pNew->nLength = pOld->nLength;
        Attach(pNew);
        ReleaseData(pOld);
        return;
    }

    const LONG nOld = pOld->nCapacity;
    LONG nNew = nOld <= 1024 ? nOld * 2 : (nOld > LONG_MAX - 1024 ? LONG_MAX : nOld + 1024);
    if (nNew < nChars)
        nNew = nChars;
    CStringHeader* pNew = pOld->pManager->Reallocate(pOld, nNew, 1);
    if (!pNew)
        RaiseOutOfMemory();
    Attach(pNew);
}

char* CNarrowString::GetBuffer(int nChars)
{
    PrepareWrite(nChars);
    return m_pszData;
}

void CNarrowString::ReleaseBuffer(int nNewLength)
{
    CStringHeader* pData = Header();
    if (nNewLength == -1)
        nNewLength = static_cast<int>(strnlen(m_pszData, static_cast<size_t>(pData->nCapacity)));
    if (nNewLength < 0 || nNewLength > pData->nCapacity)
        RaiseHResult(E_INVALIDARG);
    if (pData->nRefs > 1) {
        // Nothing was made writable: only the nil text or a shared text can
        // be here, and neither may be written.
        if (nNewLength == pData->nLength)
            return;
        RaiseHResult(E_INVALIDARG);
    }
    pData->nLength = nNewLength;
    m_pszData[nNewLength] = '\0';
}

namespace {

// Ends a variable argument list however the formatting ends.
class CArgumentsEnd {
public:
    explicit CArgumentsEnd(va_list& args) noexcept : m_args(args) {}
    ~CArgumentsEnd() { va_end(m_args); }
    CArgumentsEnd(const CArgumentsEnd&) = delete;
    CArgumentsEnd& operator=(const CArgumentsEnd&) = delete;

private:
    va_list& m_args;
};

}  // namespace

void CNarrowString::SetFormatted(const char* pszFormat, ...)
{
    if (!pszFormat)
        RaiseHResult(E_INVALIDARG);
    va_list args;
    va_start(args, pszFormat);
    CArgumentsEnd end(args);
    FormatArguments(pszFormat, args);
}

void CNarrowString::FormatArguments(const char* pszFormat, va_list args)
{
    // The system's printf (msvcrt's), not the runtime's own family behind
    // std::vsnprintf, which would add some 27 KB to the library.
    va_list measure;
    va_copy(measure, args);
    const int nLength = ::_vscprintf(pszFormat, measure);
    va_end(measure);
    if (nLength < 0)
        RaiseHResult(E_INVALIDARG);

    PrepareWrite(nLength);
    CStringHeader* pData = Header();
    // Writes no NUL when the text fills the count exactly; the one below ends it.
    const int nWritten = ::_vsnprintf(m_pszData, static_cast<size_t>(pData->nCapacity) + 1,
                                      pszFormat, args);
    if (nWritten < 0 || nWritten > pData->nCapacity) {
        m_pszData[pData->nLength] = '\0';
        RaiseHResult(E_INVALIDARG);
    }
    pData->nLength = nWritten;
    m_pszData[nWritten] = '\0';
}

// ---------------------------------------------------------------------------

BSTR MakeBstr(const CNarrowString& text)
{
    const UINT codePage = GetConversionCodePage();
    const int cb = text.GetLength();
    // An empty text: the platform refuses a conversion of no bytes and
    // answers 0, which sizes an empty BSTR. For any other text, 0 is a
    // failed conversion.
    const int cch = platform::ops().MultiByteToWideChar(codePage, 0, text.GetString(), cb, nullptr, 0);
    if (cb > 0 && cch <= 0)
        RaiseHResult(FailureFromLastError());
    BstrOwner bstr(platform::ops().SysAllocStringLen(nullptr, static_cast<UINT>(cch > 0 ? cch : 0)));
    if (!bstr.Get())
        RaiseOutOfMemory();
    // The characters are handed out only once they are written.
    if (cch > 0 && platform::ops().MultiByteToWideChar(codePage, 0, text.GetString(), cb, bstr.Get(), cch) != cch)
        RaiseHResult(FailureFromLastError());
    return bstr.Detach();
}
