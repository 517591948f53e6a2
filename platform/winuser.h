/* Windows, as far as the host has them (included by <windows.h>): windows
 * that take messages and never draw.  A program registers a class, creates
 * a window of it, and receives messages through its window procedure:
 * posted ones (PostMessage, CALLBACK_WINDOW's MM_WOM_* from the wave API)
 * through its message loop (GetMessage, TranslateMessage, DispatchMessage),
 * sent ones (SendMessage) directly.  Nothing about drawing, input, menus or
 * dialogs is declared, so such a call fails to compile rather than doing
 * nothing.  The platform has W forms only; the plain names stand for them. */
#ifndef PLATFORM_WINUSER_H
#define PLATFORM_WINUSER_H

#include "windows.h"

typedef HANDLE HICON;
typedef HANDLE HCURSOR;
typedef HANDLE HBRUSH;
typedef HANDLE HMENU;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *PWNDCLASSW, *LPWNDCLASSW;
typedef WNDCLASSW WNDCLASS;
typedef PWNDCLASSW PWNDCLASS;
typedef LPWNDCLASSW LPWNDCLASS;

/* WM_CREATE's lParam. */
typedef struct tagCREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;
typedef CREATESTRUCTW CREATESTRUCT;
typedef LPCREATESTRUCTW LPCREATESTRUCT;

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_TIMER 0x0113
#define WM_APP 0x8000

/* Styles are recorded and have no other effect: nothing is drawn. */
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define CW_USEDEFAULT ((int)0x80000000)

/* The window's own pointer-sized value. */
#define GWL_USERDATA (-21)

/* MessageBox: the buttons, icons, default button and modality, and the
 * button answered. */
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONSTOP MB_ICONHAND
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFBUTTON4 0x00000300L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
#define MB_TYPEMASK 0x0000000FL
#define MB_ICONMASK 0x000000F0L
#define MB_DEFMASK 0x00000F00L
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

#ifdef __cplusplus
extern "C" {
#endif

/* A class name is unique in the process; ERROR_CLASS_ALREADY_EXISTS
 * otherwise.  cbClsExtra and cbWndExtra must be 0 here. */
ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass);
BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
/* The window belongs to the calling thread: its posted messages arrive in
 * that thread's queue.  WM_CREATE is sent before the call returns (-1 from
 * the procedure destroys the window and answers NULL). */
HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam);
#define CreateWindowW(lpClassName, lpWindowName, dwStyle, x, y, nWidth, nHeight, hWndParent, hMenu, hInstance, \
                      lpParam)                                                                                 \
    CreateWindowExW(0L, lpClassName, lpWindowName, dwStyle, x, y, nWidth, nHeight, hWndParent, hMenu, hInstance, \
                    lpParam)
/* Sends WM_DESTROY; the window's messages still queued are dropped. */
BOOL WINAPI DestroyWindow(HWND hWnd);
BOOL WINAPI IsWindow(HWND hWnd);
LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
/* PostMessage queues for the window's thread (hWnd NULL: the calling
 * thread, as PostThreadMessage).  SendMessage calls the procedure and
 * answers its result: directly on the window's thread, otherwise on that
 * thread while it waits in GetMessage or calls PeekMessage, the sender
 * blocked until then. */
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int nExitCode);
/* There are no keyboard messages: TranslateMessage answers FALSE. */
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex);
LONG WINAPI SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong);
/* Nothing is drawn and nobody answers: the caption and the text go to
 * standard error as "MessageBox: caption: text" and the default button
 * (MB_DEFBUTTON*, the first where the type has fewer buttons) is the
 * answer.  An unknown button type answers 0 (ERROR_INVALID_PARAMETER). */
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

#define RegisterClass RegisterClassW
#define UnregisterClass UnregisterClassW
#define CreateWindowEx CreateWindowExW
#define CreateWindow CreateWindowW
#define DefWindowProc DefWindowProcW
#define PostMessage PostMessageW
#define SendMessage SendMessageW
#define DispatchMessage DispatchMessageW
#define GetWindowLong GetWindowLongW
#define SetWindowLong SetWindowLongW
#define MessageBox MessageBoxW

#ifdef __cplusplus
}
#endif

#endif
