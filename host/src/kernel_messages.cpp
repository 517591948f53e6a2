// Thread message queues, with the messages of the thread's windows: posted
// messages, and messages sent from another thread, whose window procedure
// runs on the queue's thread in its next GetMessage or PeekMessage with the
// kernel's mutex released while the sender waits for the result.  The
// kernel's state and its locking are kernel_state.h's and kernel.cpp's.
#include <algorithm>
#include <future>
#include <memory>
#include <mutex>

#include "host/kernel.h"
#include "host_internal.h"
#include "kernel_state.h"
#include "autoclock.h"

namespace host {
namespace {

// A window's messages go to a filter for that window or for every message.
bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi)
{
    return (hwnd == nullptr || m.hwnd == hwnd) && ((lo == 0 && hi == 0) || (m.message >= lo && m.message <= hi));
}

// Caller holds the kernel's mutex.  The calling thread's queue, made on
// first use.
Queue& OwnQueueLocked(Kernel& k)
{
    std::shared_ptr<Queue>& q = k.queues[GetCurrentThreadId()];
    if (!q)
        q = std::make_shared<Queue>();
    return *q;
}

// Caller holds the kernel's mutex.  Takes (or, without remove, copies) the
// first message in [lo, hi].
bool TakeLocked(Queue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove)
{
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
        if (!Matches(*it, hwnd, lo, hi))
            continue;
        *out = *it;
        if (remove)
            q.messages.erase(it);
        return true;
    }
    return false;
}
// Caller holds the kernel's mutex (in `lock`).  Runs the window procedures
// for the messages sent to this thread's windows, releasing the mutex
// around each call.
void RunSentLocked(Kernel& k, std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        Queue& q = OwnQueueLocked(k);
        if (q.sent.empty())
            return;
        std::shared_ptr<Sent> sent = q.sent.front();
        q.sent.pop_front();
        lock.unlock();
        sent->result.set_value(CallWindowProcedure(sent->msg));
        lock.lock();
    }
}
}  // namespace

bool PostQueueMessage(DWORD threadId, const MSG& m)
{
    Kernel& k = K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (!IsLiveThreadId(threadId)) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        std::shared_ptr<Queue>& q = k.queues[threadId];
        if (!q)
            q = std::make_shared<Queue>();
        q->messages.push_back(m);
        autoclock::Wake(threadId, &autoclock::kMessageWait);
    }
    k.changed.notify_all();
    return true;
}

LRESULT SendQueueMessage(DWORD threadId, const MSG& m)
{
    Kernel& k = K();
    auto sent = std::make_shared<Sent>();
    sent->msg = m;
    std::future<LRESULT> result = sent->result.get_future();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (!IsLiveThreadId(threadId))
            return 0;
        std::shared_ptr<Queue>& q = k.queues[threadId];
        if (!q)
            q = std::make_shared<Queue>();
        q->sent.push_back(sent);
        // The sender stays counted as running until the answer: no time
        // passes inside SendMessage.
        autoclock::Wake(threadId, &autoclock::kMessageWait);
    }
    k.changed.notify_all();
    return result.get();
}

void DropWindowMessages(HWND hwnd)
{
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto& q : k.queues) {
        auto& messages = q.second->messages;
        messages.erase(std::remove_if(messages.begin(), messages.end(), [&](const MSG& m) { return m.hwnd == hwnd; }),
                       messages.end());
    }
}

}  // namespace host
extern "C" {

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    // Every living thread can be posted to; its queue is made on demand.
    return host::PostQueueMessage(idThread, m) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd != nullptr && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    for (;;) {
        host::RunSentLocked(k, lock);
        // A reset drops the queue; the wait goes on with a new one.
        host::Queue& q = host::OwnQueueLocked(k);
        if (host::TakeLocked(q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        host::autoclock::Blocked b("GetMessage", &host::autoclock::kMessageWait, INFINITE, host::autoclock::Poke::Kernel,
                             [] { return std::string("the thread's message queue"); });
        k.changed.wait(lock);
    }
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (hWnd != nullptr && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    host::RunSentLocked(k, lock);
    host::Queue& q = host::OwnQueueLocked(k);
    if (lpMsg == nullptr)
        return FALSE;
    return host::TakeLocked(q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE
                                                                                                          : FALSE;
}
}  // extern "C"
