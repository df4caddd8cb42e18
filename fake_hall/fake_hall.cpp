#include "fake_hall/fake_hall.h"

#include <algorithm>

namespace fake_hall {

namespace {

Hall* g_pHall = nullptr;  // the one open hall of the process

}  // namespace

Hall::Hall()
{
    g_pHall = this;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);  // already there after a first hall: that is fine
}

Hall::~Hall()
{
    for (HWND hWnd : m_windows)
        DestroyWindow(hWnd);
    if (g_pHall == this)
        g_pHall = nullptr;
}

HWND Hall::Open(const char* pszTitle)
{
    HWND hWnd = CreateWindowA(kWindowClass, pszTitle, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    if (hWnd != nullptr)
        m_windows.push_back(hWnd);
    return hWnd;
}

void Hall::Close(HWND hWnd)
{
    auto it = std::find(m_windows.begin(), m_windows.end(), hWnd);
    if (it == m_windows.end())
        return;
    m_windows.erase(it);
    DestroyWindow(hWnd);
}

LRESULT CALLBACK Hall::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg != kRequestMessage || g_pHall == nullptr || lParam == 0)
        return DefWindowProcA(hWnd, msg, wParam, lParam);
    const int length = TarnwickReadRequest(lParam, nullptr, 0);
    if (length < 0)
        return 0;  // not a well-formed request: a hall ignores it
    std::vector<char> text(static_cast<size_t>(length) + 1);
    TarnwickReadRequest(lParam, text.data(), length + 1);
    Header* pHeader = reinterpret_cast<Header*>(*reinterpret_cast<char* const*>(lParam)) - 1;
    char title[64] = {};
    GetWindowTextA(hWnd, title, sizeof title);
    Request request{hWnd, title, wParam, std::string(text.data(), static_cast<size_t>(length)), *pHeader};
    if (g_pHall->onRequest)
        g_pHall->onRequest(request, pHeader);
    g_pHall->m_received.push_back(std::move(request));
    return 1;
}

}  // namespace fake_hall
