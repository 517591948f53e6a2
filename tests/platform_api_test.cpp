// The platform services an application's code calls besides the wave API
// and the kernel's events: mutexes, semaphores, named objects and their A
// forms, thread priorities, code-page conversions, the string routines,
// FormatMessage, the debug output, modules, and windows that take messages.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/events.h"
#include "host/host.h"
#include "host/kernel.h"
#include "kit/watchdog.h"

namespace {

class PlatformApi : public ::testing::Test {
protected:
    void SetUp() override { host::ResetAll(); }
    void TearDown() override { host::ResetAll(); }
};

std::vector<WCHAR> W(const char16_t* s)
{
    std::vector<WCHAR> out;
    for (; *s; ++s)
        out.push_back(static_cast<WCHAR>(*s));
    out.push_back(0);
    return out;
}

// ---- Mutexes and semaphores -------------------------------------------------------

TEST_F(PlatformApi, MutexIsOwnedRecursivelyAndGoesToTheWaiterWhenReleased)
{
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);   // the owner again: depth 2
    std::atomic<DWORD> other{0};
    std::atomic<bool> blocking{false};
    std::thread t([&] {
        other = WaitForSingleObject(m, 0);                    // owned elsewhere
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
        blocking = true;
        const DWORD r = WaitForSingleObject(m, INFINITE);
        other = r == WAIT_OBJECT_0 ? 1 : 2;
        EXPECT_TRUE(ReleaseMutex(m));
    });
    // The waiter has left its own zero-timeout wait and blocks on the mutex.
    while (!blocking || host::WaitersOn(m) == 0)
        std::this_thread::yield();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(other.load(), DWORD(WAIT_TIMEOUT));   // still owned once
    EXPECT_TRUE(ReleaseMutex(m));                   // now handed over
    t.join();
    EXPECT_EQ(other.load(), 1u);
    EXPECT_FALSE(ReleaseMutex(m));                  // free again: nobody owns it
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(CloseHandle(m));
}

TEST_F(PlatformApi, SemaphoreCountsBetweenZeroAndItsMaximumAcrossThreads)
{
    EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    HANDLE s = CreateSemaphoreA(nullptr, 1, 2, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), DWORD(WAIT_TIMEOUT));
    LONG previous = -1;
    EXPECT_FALSE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(previous, -1);   // untouched on failure

    // A producer releases, two consumers each take one.
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    for (int i = 0; i < 2; ++i)
        consumers.emplace_back([&] {
            if (WaitForSingleObject(s, INFINITE) == WAIT_OBJECT_0)
                ++taken;
        });
    while (host::WaitersOn(s) < 2)
        std::this_thread::yield();
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
    EXPECT_EQ(previous, 0);
    for (auto& t : consumers)
        t.join();
    EXPECT_EQ(taken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(s, 0), DWORD(WAIT_TIMEOUT));   // both units went to the waiters
    EXPECT_TRUE(CloseHandle(s));
}

TEST_F(PlatformApi, NamedObjectsShareOneNameSpaceAcrossTheAAndWForms)
{
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Caf\xe9");
    ASSERT_NE(a, nullptr);
    auto name = W(u"Caf\u00e9");
    HANDLE w = OpenEventW(EVENT_ALL_ACCESS, FALSE, name.data());
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(SetEvent(w));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);   // the same event
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, name.data());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Caf\xe9"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Nobody"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    for (HANDLE h : {a, w, again})
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Caf\xe9"), nullptr);   // gone with its last handle
}

DWORD WINAPI WaitForIt(LPVOID event) { return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); }

TEST_F(PlatformApi, ThreadPriorityIsThePlatformsEightLevels)
{
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 8));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), -1));
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, WaitForIt, go, 0, nullptr);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);   // not inherited
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ERROR_RETURN);   // ended
    EXPECT_EQ(GetThreadPriority(go), THREAD_PRIORITY_ERROR_RETURN);  // not a thread
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(t);
    CloseHandle(go);
}

// ---- Code pages and strings --------------------------------------------------------------

TEST_F(PlatformApi, AnsiCodePageIs1252BothWays)
{
    EXPECT_EQ(GetACP(), 1252u);
    const char text[] = "\x80 caf\xe9 \x9f";   // euro sign, e acute, Y diaeresis
    WCHAR wide[16];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 9);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 16), 9);
    EXPECT_EQ(wide[0], 0x20AC);
    EXPECT_EQ(wide[5], 0x00E9);
    EXPECT_EQ(wide[7], 0x0178);
    EXPECT_EQ(wide[8], 0);

    char back[16];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 16, nullptr, &usedDefault), 9);
    EXPECT_STREQ(back, text);
    EXPECT_FALSE(usedDefault);

    // A character 1252 lacks becomes the default character.
    const WCHAR kana[] = {0x3042, 'x', 0};
    const char star = '*';
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, kana, -1, back, 16, &star, &usedDefault), 3);
    EXPECT_STREQ(back, "*x");
    EXPECT_TRUE(usedDefault);
    ASSERT_EQ(WideCharToMultiByte(1252, 0, kana, 2, back, 16, nullptr, nullptr), 2);
    EXPECT_EQ(back[0], '?');

    // The five bytes 1252 gives no letter are the C1 controls of the same
    // value, as the platform's table has them, even under MB_ERR_INVALID_CHARS.
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\x81\x9d", 3, wide, 16), 3);
    EXPECT_EQ(wide[1], WCHAR(0x81));
    EXPECT_EQ(wide[2], WCHAR(0x9D));
}

TEST_F(PlatformApi, Utf8ConversionsCountSizeAndRefuseWhatTheyMust)
{
    const char text[] = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5";   // a, e acute, euro, U+1F3B5
    WCHAR wide[8];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 6);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 5), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8), 6);
    const WCHAR expected[] = {'a', 0xE9, 0x20AC, 0xD83C, 0xDFB5, 0};
    EXPECT_EQ(std::memcmp(wide, expected, sizeof expected), 0);

    char back[16];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 16, nullptr, nullptr), 11);
    EXPECT_STREQ(back, text);
    // Without the terminator in the count, none is written or counted.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 2, back, 16, nullptr, nullptr), 3);
    // For UTF-8 the default-character arguments must be NULL.
    BOOL used;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 16, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // An overlong form or a cut sequence: refused, or U+FFFD in its place.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xc0\xaf", 2, wide, 8), 0);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "x\xe2\x82", 3, wide, 8), 3);
    EXPECT_EQ(wide[1], 0xFFFD);
    // A lone surrogate is written as U+FFFD.
    const WCHAR lone[] = {0xD800, 'y'};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 2, back, 16, nullptr, nullptr), 4);
    EXPECT_EQ(std::memcmp(back, "\xef\xbf\xbdy", 4), 0);
    // Japanese (932), both ways, a cut double-byte character in its place as
    // U+FFFD; then a code page the host lacks (Cyrillic, 1251).
    ASSERT_EQ(MultiByteToWideChar(932, 0, "\x82\xa0x\x82", 4, wide, 8), 3);
    EXPECT_EQ(wide[0], WCHAR(0x3042));
    EXPECT_EQ(wide[1], WCHAR('x'));
    EXPECT_EQ(wide[2], WCHAR(0xFFFD));
    ASSERT_EQ(WideCharToMultiByte(932, 0, wide, 2, back, 16, nullptr, nullptr), 3);
    EXPECT_EQ(std::memcmp(back, "\x82\xa0x", 3), 0);
    EXPECT_EQ(MultiByteToWideChar(1251, 0, "x", 1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(PlatformApi, StringRoutinesInBothForms)
{
    char a[16];
    EXPECT_EQ(lstrcpyA(a, "Wave"), a);
    lstrcatA(a, "Out");
    EXPECT_STREQ(a, "WaveOut");
    EXPECT_EQ(lstrlenA(a), 7);
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_LT(lstrcmpA("abc", "abd"), 0);
    EXPECT_NE(lstrcmpA("ABC", "abc"), 0);
    EXPECT_EQ(lstrcmpiA("WAVE\xc9", "wave\xe9"), 0);   // Latin-1 letters fold too

    WCHAR w[16];
    auto wave = W(u"Wave"), out = W(u"OUT"), lower = W(u"waveout");
    lstrcpyW(w, wave.data());
    lstrcatW(w, out.data());
    EXPECT_EQ(lstrlenW(w), 7);
    EXPECT_EQ(lstrcmpiW(w, lower.data()), 0);
    EXPECT_LT(lstrcmpW(w, lower.data()), 0);   // 'W' < 'w': by code unit
}

// ---- FormatMessage ---------------------------------------------------------------------

DWORD FormatA(DWORD flags, const char* source, char* buf, DWORD size, ...)
{
    va_list ap;
    va_start(ap, size);
    DWORD n = FormatMessageA(flags, source, 0, 0, buf, size, &ap);
    va_end(ap);
    return n;
}

TEST_F(PlatformApi, FormatMessageGivesSystemTextsAndFillsInserts)
{
    WCHAR w[128];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_INVALID_PARAMETER, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), w, 128, nullptr);
    EXPECT_EQ(host::Narrow(w), "The parameter is incorrect.\r\n");
    EXPECT_EQ(n, 29u);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x2badu, 0, w, 128, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_PARAMETER,
                             MAKELANGID(0x07, SUBLANG_DEFAULT), w, 128, nullptr),
              0u);   // the system's texts are English only
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1, 0, w, 128, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));

    char a[128];
    EXPECT_EQ(FormatA(FORMAT_MESSAGE_FROM_STRING, "%2!d! of %1 at %3!04x!%%%n%0 unseen", a, 128, "caf\xe9", -7, 0xAB),
              21u);
    EXPECT_STREQ(a, "-7 of caf\xe9 at 00ab%\r\n");
    EXPECT_EQ(FormatA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%1 and %2!d!", a, 128), 12u);
    EXPECT_STREQ(a, "%1 and %2!d!");
    EXPECT_EQ(FormatA(FORMAT_MESSAGE_FROM_STRING, "%1", a, 3, "four"), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

    // An argument array, into a buffer the function allocates.
    auto fmt = W(u"%1: %2!u!");
    auto name = W(u"btwav");
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(name.data()), 44100};
    WCHAR* allocated = nullptr;
    n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       fmt.data(), 0, 0, reinterpret_cast<LPWSTR>(&allocated), 0, reinterpret_cast<va_list*>(args));
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(host::Narrow(allocated), "btwav: 44100");
    EXPECT_EQ(LocalFree(allocated), nullptr);
}

TEST_F(PlatformApi, DebugStringsOfBothFormsReachTheDebugOutput)
{
    host::ClearDebug();
    OutputDebugStringA("caf\xe9");
    auto w = W(u"\u20ac");
    OutputDebugStringW(w.data());
    EXPECT_EQ(host::DebugLines(), (std::vector<std::string>{"caf\xc3\xa9", "\xe2\x82\xac"}));
}

TEST_F(PlatformApi, ModulesAreTheProcesssLibrariesByTheirPlatformNames)
{
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_NE(GetProcAddressA(self, "GetTickCount"), nullptr);
    auto name = W(u"GetTickCount");
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddressW(self, name.data())),
              reinterpret_cast<void*>(GetProcAddressA(self, "GetTickCount")));
    EXPECT_EQ(GetProcAddressA(self, "NoSuchFunctionAnywhere"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(LoadLibraryA("nosuchlibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("nosuchlibrary.dll"), nullptr);
}

// ---- Windows ---------------------------------------------------------------------------------

struct Seen {
    std::vector<UINT> messages;
    DWORD thread = 0;   // the thread the last message arrived on
};
Seen* g_seen = nullptr;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CREATE && reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams == nullptr)
        return -1;   // refuses a window made without its parameter
    g_seen->messages.push_back(msg);
    g_seen->thread = GetCurrentThreadId();
    if (msg == WM_USER + 1)
        return static_cast<LRESULT>(wParam * 2);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(PlatformApi, WindowsReceivePostedAndSentMessagesOnTheirOwnThread)
{
    Seen seen;
    g_seen = &seen;
    auto cls = W(u"recorder");
    WNDCLASSW wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = cls.data();
    RegisterClassW(&wc);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_ALREADY_EXISTS));
    // Refused by its WM_CREATE: destroyed before CreateWindow returns.
    EXPECT_EQ(CreateWindowW(cls.data(), nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(seen.messages, (std::vector<UINT>{WM_DESTROY}));
    seen.messages.clear();
    int param = 0;
    HWND hwnd = CreateWindowExW(0, cls.data(), nullptr, WS_POPUP, CW_USEDEFAULT, 0, 10, 10, nullptr, nullptr, nullptr,
                                &param);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(seen.messages, (std::vector<UINT>{WM_CREATE}));

    // Sent from its own thread: directly.
    EXPECT_EQ(SendMessageW(hwnd, WM_USER + 1, 21, 0), 42);
    // Sent from another thread: run here while this thread takes messages.
    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageW(hwnd, WM_USER + 1, 50, 0); });
    MSG m;
    EXPECT_TRUE(PostMessageW(hwnd, WM_USER + 2, 0, 0));
    ASSERT_EQ(GetMessageW(&m, hwnd, 0, 0), TRUE);   // posted; the sent one may come first, unseen here
    EXPECT_EQ(m.message, UINT(WM_USER + 2));
    EXPECT_EQ(DispatchMessageW(&m), 0);
    while (answer.load() == 0)
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    sender.join();
    EXPECT_EQ(answer.load(), 100);
    EXPECT_EQ(seen.thread, GetCurrentThreadId());

    // A thread message and a window message: the window's filter takes only its own.
    PostThreadMessageW(GetCurrentThreadId(), WM_USER + 3, 0, 0);
    PostMessageW(hwnd, WM_USER + 4, 0, 0);
    ASSERT_TRUE(PeekMessageW(&m, hwnd, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, UINT(WM_USER + 4));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, UINT(WM_USER + 3));
    EXPECT_EQ(m.hwnd, nullptr);

    // GWL_USERDATA keeps a value; WM_CLOSE through DefWindowProc destroys.
    EXPECT_EQ(SetWindowLongW(hwnd, GWL_USERDATA, 7), 0);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_USERDATA), 7);
    PostMessageW(hwnd, WM_USER + 5, 0, 0);
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));   // its queued message went with it
    EXPECT_EQ(seen.messages.back(), UINT(WM_DESTROY));
    EXPECT_FALSE(PostMessageW(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetMessageW(&m, hwnd, 0, 0), -1);
    EXPECT_TRUE(UnregisterClassW(cls.data(), nullptr));
    g_seen = nullptr;
}

}  // namespace
