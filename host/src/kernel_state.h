// The kernel's shared state: its objects, waits and thread message queues
// under one mutex, for the three files that serve them (kernel.cpp: objects
// and waits; kernel_threads.cpp: threads; kernel_messages.cpp: queues).
// Every function named ...Locked is called with Kernel::mutex held and calls
// nothing that takes it.  See kernel.cpp for the locking rules.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel.h"

namespace host {

struct Wait;

struct Object {
    enum class Kind { Event, Thread, Mutex, Semaphore } kind = Kind::Event;
    bool manualReset = false;     // events: a wait does not clear it
    bool signalled = false;       // events: set; threads: returned
    std::u16string name;          // events, mutexes, semaphores: "" when unnamed
    DWORD owner = 0;              // mutexes: the owning thread's id, 0 when free
    DWORD recursion = 0;          // mutexes: the owner's nesting depth
    LONG count = 0;               // semaphores: the current count
    LONG maximum = 0;             // semaphores: the highest count
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    DWORD suspendCount = 0;       // threads: held while non-zero
    std::deque<Wait*> waits;      // blocked waits on it, oldest first
};

// One blocked WaitForMultipleObjects call.
struct Wait {
    std::vector<std::shared_ptr<Object>> objects;   // in the caller's order
    int satisfied = -1;                             // index of the object that released it
    DWORD thread = 0;                               // the waiting thread's id
};

// A message sent to a window of another thread, and its answer.
struct Sent {
    MSG msg;
    std::promise<LRESULT> result;
};

struct Queue {
    std::deque<MSG> messages;                  // posted, oldest first
    std::deque<std::shared_ptr<Sent>> sent;    // sent, oldest first
};

struct Kernel {
    // Guards every field below and every Object; a leaf (see the top).
    std::mutex mutex;
    std::condition_variable changed;
    std::map<HANDLE, std::shared_ptr<Object>> handles;
    std::map<std::u16string, std::weak_ptr<Object>> names;
    std::map<DWORD, std::shared_ptr<Queue>> queues;
    std::map<DWORD, int> priorities;   // threads whose priority was set: THREAD_PRIORITY_*
    uintptr_t nextHandle = 0x4000;   // not reset: stale handles stay invalid
};

// The one kernel, never destroyed: detached threads created by CreateThread
// may still be signalling their end while the process exits.
Kernel& K();

// kernel.cpp: handles, and the objects' signal and hand-over.
HANDLE NewHandleLocked(Kernel& k, std::shared_ptr<Object> o);
std::shared_ptr<Object> FindLocked(Kernel& k, HANDLE h);
void SignalLocked(Object& o);
std::string DescribeWaitLocked(const Wait& w);

// kernel_threads.cpp: the pseudo-handle GetCurrentThread answers, and the id
// of the thread a handle names (0 for a handle that names no living thread).
extern HANDLE const kCurrentThread;
DWORD ThreadOfLocked(Kernel& k, HANDLE h);

}  // namespace host
