// Windows that take messages and never draw: window classes, windows, and
// the delivery of their messages (posted ones through the owning thread's
// queue in kernel.cpp, sent ones directly or through that queue).
//
// Locking: one mutex guards the classes and the windows; it is a leaf, and
// no window procedure is ever called with it held.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host_internal.h"

namespace host {
namespace {

struct WindowClass {
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    unsigned windows = 0;   // windows of the class still alive
};

struct Window {
    std::u16string className;
    WNDPROC proc = nullptr;
    DWORD thread = 0;        // the creating thread, whose queue gets its messages
    LONG userData = 0;       // GWL_USERDATA
};

struct Windows {
    std::mutex mutex;   // guards every field below; a leaf
    std::map<std::u16string, WindowClass> classes;
    std::map<HWND, Window> windows;
    uintptr_t next = 0x10000;   // window handles, never reused
};

// Never destroyed: windows may be used by threads that outlive main.
Windows& W()
{
    static Windows* w = new Windows;
    return *w;
}

std::u16string ClassName(LPCWSTR name)
{
    std::u16string out;
    if (name)
        for (const WCHAR* p = name; *p; ++p)
            out.push_back(static_cast<char16_t>(*p));
    return out;
}

// The window's procedure, or null with ERROR_INVALID_WINDOW_HANDLE set.
WNDPROC ProcOf(HWND hwnd, DWORD* thread)
{
    Windows& w = W();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find(hwnd);
    if (it == w.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (thread)
        *thread = it->second.thread;
    return it->second.proc;
}

}  // namespace

LRESULT CallWindowProcedure(const MSG& m)
{
    WNDPROC proc = ProcOf(m.hwnd, nullptr);
    return proc ? proc(m.hwnd, m.message, m.wParam, m.lParam) : 0;
}

DWORD WindowThread(HWND hwnd)
{
    DWORD thread = 0;
    return ProcOf(hwnd, &thread) ? thread : 0;
}

}  // namespace host

extern "C" {

ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass)
{
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr || lpWndClass->lpszClassName == nullptr ||
        lpWndClass->lpszClassName[0] == 0 || lpWndClass->cbClsExtra != 0 || lpWndClass->cbWndExtra != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    host::Windows& w = host::W();
    std::lock_guard<std::mutex> lock(w.mutex);
    std::u16string name = host::ClassName(lpWndClass->lpszClassName);
    if (w.classes.count(name)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    host::WindowClass& c = w.classes[name];
    c.proc = lpWndClass->lpfnWndProc;
    c.instance = lpWndClass->hInstance;
    // The atom: a number that identifies the class, from 0xC000 as the
    // platform's class atoms.
    return static_cast<ATOM>(0xC000 + w.classes.size());
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE)
{
    host::Windows& w = host::W();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.classes.find(host::ClassName(lpClassName));
    if (it == w.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (it->second.windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    w.classes.erase(it);
    return TRUE;
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    host::Windows& w = host::W();
    HWND hwnd;
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        auto c = w.classes.find(host::ClassName(lpClassName));
        if (c == w.classes.end()) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        if (hWndParent != nullptr && w.windows.count(hWndParent) == 0) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        w.next += 4;
        hwnd = reinterpret_cast<HWND>(w.next);
        host::Window& win = w.windows[hwnd];
        win.className = c->first;
        win.proc = proc = c->second.proc;
        win.thread = GetCurrentThreadId();
        ++c->second.windows;
    }
    CREATESTRUCTW cs;
    cs.lpCreateParams = lpParam;
    cs.hInstance = hInstance;
    cs.hMenu = hMenu;
    cs.hwndParent = hWndParent;
    cs.cy = nHeight;
    cs.cx = nWidth;
    cs.y = Y;
    cs.x = X;
    cs.style = static_cast<LONG>(dwStyle);
    cs.lpszName = lpWindowName;
    cs.lpszClass = lpClassName;
    cs.dwExStyle = dwExStyle;
    if (proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    WNDPROC proc = host::ProcOf(hWnd, nullptr);
    if (proc == nullptr)
        return FALSE;
    proc(hWnd, WM_DESTROY, 0, 0);
    host::Windows& w = host::W();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        auto it = w.windows.find(hWnd);
        if (it == w.windows.end())
            return TRUE;   // destroyed from its own WM_DESTROY
        auto c = w.classes.find(it->second.className);
        if (c != w.classes.end())
            --c->second.windows;
        w.windows.erase(it);
    }
    host::DropWindowMessages(hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    host::Windows& w = host::W();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.windows.count(hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM, LPARAM)
{
    // WM_CLOSE destroys the window; nothing else needs a default here.
    if (Msg == WM_CLOSE)
        DestroyWindow(hWnd);
    return 0;
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.hwnd = hWnd;
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    DWORD thread = GetCurrentThreadId();
    if (hWnd != nullptr && host::ProcOf(hWnd, &thread) == nullptr)
        return FALSE;
    return host::PostQueueMessage(thread, m) ? TRUE : FALSE;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    DWORD thread = 0;
    WNDPROC proc = host::ProcOf(hWnd, &thread);
    if (proc == nullptr)
        return 0;
    if (thread == GetCurrentThreadId())
        return proc(hWnd, Msg, wParam, lParam);
    MSG m{};
    m.hwnd = hWnd;
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return host::SendQueueMessage(thread, m);
}

void WINAPI PostQuitMessage(int nExitCode)
{
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, static_cast<WPARAM>(nExitCode), 0);
}

BOOL WINAPI TranslateMessage(const MSG*)
{
    return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg)
{
    if (lpMsg == nullptr || lpMsg->hwnd == nullptr)
        return 0;
    return host::CallWindowProcedure(*lpMsg);
}

LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex)
{
    host::Windows& w = host::W();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find(hWnd);
    if (it == w.windows.end() || nIndex != GWL_USERDATA) {
        SetLastError(it == w.windows.end() ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    return it->second.userData;
}

LONG WINAPI SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong)
{
    host::Windows& w = host::W();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find(hWnd);
    if (it == w.windows.end() || nIndex != GWL_USERDATA) {
        SetLastError(it == w.windows.end() ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    LONG old = it->second.userData;
    it->second.userData = dwNewLong;
    return old;
}

}  // extern "C"
