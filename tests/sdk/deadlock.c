/* A device application that deadlocks: two threads, each waiting for ever on
 * the event the other would set after its own wait.  Under the runner's
 * self-moving clock it must be reported as hung, both waits named, and not
 * wait on the wall clock. */
#include <windows.h>
#include <stdio.h>

static HANDLE g_first, g_second;

static DWORD WINAPI Second(LPVOID unused)
{
    (void)unused;
    WaitForSingleObject(g_first, INFINITE);
    SetEvent(g_second);
    return 0;
}

int main(void)
{
    HANDLE thread;
    g_first = CreateEventW(NULL, FALSE, FALSE, L"first");
    g_second = CreateEventW(NULL, FALSE, FALSE, L"second");
    thread = CreateThread(NULL, 0, Second, NULL, 0, NULL);
    if (g_first == NULL || g_second == NULL || thread == NULL) {
        fprintf(stderr, "deadlock: cannot create its objects\n");
        return 1;
    }
    WaitForSingleObject(g_second, INFINITE);
    SetEvent(g_first);
    WaitForSingleObject(thread, INFINITE);
    return 0;
}
