#include "wave/diagnostics.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/platform.h"
#include "host/realtime.h"
#include "run/progress.h"

namespace player {
namespace diagnostics {
namespace {

// Guards everything below.  The timer thread takes it for a few statements,
// so a normal thread holding it lends to the timer thread's priority.
host::PiMutex g_mutex;
FILE* g_out = nullptr;
bool g_debug = false;
uint64_t g_origin = 0;             // boot, then the first write
bool g_beforeFirstWrite = false;   // lines are timed from boot until the first write
uint64_t g_frequency = 1;
std::map<std::thread::id, std::string> g_threadNames;
unsigned g_unnamed = 0;

// The lines go to the console from a printer thread of their own, in the
// order they were made, so that no thread that prints (the timer thread
// among them) does console I/O itself.
std::vector<std::string> g_lines;
bool g_printerStop = false;
std::condition_variable_any g_printerWake;
std::thread g_printer;

void PrinterLoop(FILE* out)
{
    host::NameThisThread("console");
    std::vector<std::string> batch;
    std::unique_lock<host::PiMutex> lock(g_mutex);
    for (;;) {
        g_printerWake.wait(lock, [] { return g_printerStop || !g_lines.empty(); });
        if (g_lines.empty())
            return;
        batch.swap(g_lines);
        lock.unlock();
        for (const std::string& line : batch)
            ConsoleLine(out, line);
        batch.clear();
        lock.lock();
    }
}

// Caller holds g_mutex.
void QueueLocked(std::string line)
{
    g_lines.push_back(std::move(line));
}

// Caller holds g_mutex.
const std::string& ThreadNameLocked()
{
    auto it = g_threadNames.find(std::this_thread::get_id());
    if (it != g_threadNames.end())
        return it->second;
    return g_threadNames[std::this_thread::get_id()] = "thread " + std::to_string(++g_unnamed);
}

double SecondsNow()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(static_cast<int64_t>(static_cast<uint64_t>(c.QuadPart) - g_origin)) /
           static_cast<double>(g_frequency);
}

std::string Hex(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Times from the first write, as the report's; before it, from boot, marked
// so (in the same width).
std::string Prefix(double seconds, const std::string& thread)
{
    char buf[64];
    if (g_beforeFirstWrite)
        std::snprintf(buf, sizeof buf, "[boot %6.6f s %-8s] ", seconds, thread.c_str());
    else
        std::snprintf(buf, sizeof buf, "[%11.6f s %-8s] ", seconds, thread.c_str());
    return buf;
}

}  // namespace

void Start(FILE* out, bool debug, bool trace, uint64_t originCounter, uint64_t frequency)
{
    {
        std::lock_guard<host::PiMutex> lock(g_mutex);
        g_out = out;
        g_debug = debug;
        g_origin = originCounter;
        g_beforeFirstWrite = true;
        g_frequency = frequency ? frequency : 1;
        g_threadNames.clear();
        g_unnamed = 0;
        g_threadNames[std::this_thread::get_id()] = "main";
        g_lines.clear();
        g_printerStop = false;
    }
    if ((debug || trace) && out && !g_printer.joinable())
        g_printer = std::thread(PrinterLoop, out);
    host::SetWaveMessageObserver(trace ? &OnWaveMessage : nullptr);
}

void Stop()
{
    host::SetWaveMessageObserver(nullptr);
    {
        std::lock_guard<host::PiMutex> lock(g_mutex);
        g_out = nullptr;
        g_debug = false;
        g_beforeFirstWrite = false;
        g_printerStop = true;
    }
    g_printerWake.notify_one();
    if (g_printer.joinable())
        g_printer.join();
}

void SetFirstWrite(uint64_t counter)
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    g_origin = counter;
    g_beforeFirstWrite = false;
}

void NameThisThread(const char* name)
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    g_threadNames.emplace(std::this_thread::get_id(), name);
}

void DebugLine(const std::string& line)
{
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    {
        std::lock_guard<host::PiMutex> lock(g_mutex);
        if (!g_out || !g_debug)
            return;
        QueueLocked(FormatDebug(SecondsNow(), ThreadNameLocked(), text));
    }
    g_printerWake.notify_one();
}

void OnWaveMessage(const host::WaveMessageRecord& m)
{
    {
        std::lock_guard<host::PiMutex> lock(g_mutex);
        if (!g_out)
            return;
        QueueLocked(FormatTrace(SecondsNow(), ThreadNameLocked(), m));
    }
    g_printerWake.notify_one();
}

std::string MessageName(unsigned msg)
{
    switch (msg) {
    case WODM_GETNUMDEVS: return "WODM_GETNUMDEVS";
    case WODM_GETDEVCAPS: return "WODM_GETDEVCAPS";
    case WODM_OPEN: return "WODM_OPEN";
    case WODM_CLOSE: return "WODM_CLOSE";
    case WODM_PREPARE: return "WODM_PREPARE";
    case WODM_UNPREPARE: return "WODM_UNPREPARE";
    case WODM_WRITE: return "WODM_WRITE";
    case WODM_PAUSE: return "WODM_PAUSE";
    case WODM_RESTART: return "WODM_RESTART";
    case WODM_RESET: return "WODM_RESET";
    case WODM_GETPOS: return "WODM_GETPOS";
    case WODM_GETPITCH: return "WODM_GETPITCH";
    case WODM_SETPITCH: return "WODM_SETPITCH";
    case WODM_GETVOLUME: return "WODM_GETVOLUME";
    case WODM_SETVOLUME: return "WODM_SETVOLUME";
    case WODM_GETPLAYBACKRATE: return "WODM_GETPLAYBACKRATE";
    case WODM_SETPLAYBACKRATE: return "WODM_SETPLAYBACKRATE";
    case WODM_BREAKLOOP: return "WODM_BREAKLOOP";
    case WODM_GETEXTDEVCAPS: return "WODM_GETEXTDEVCAPS";
    default: return "message " + std::to_string(msg);
    }
}

std::string ResultName(unsigned result)
{
    switch (result) {
    case MMSYSERR_NOERROR: return "MMSYSERR_NOERROR";
    case MMSYSERR_ERROR: return "MMSYSERR_ERROR";
    case MMSYSERR_BADDEVICEID: return "MMSYSERR_BADDEVICEID";
    case MMSYSERR_NOTENABLED: return "MMSYSERR_NOTENABLED";
    case MMSYSERR_ALLOCATED: return "MMSYSERR_ALLOCATED";
    case MMSYSERR_INVALHANDLE: return "MMSYSERR_INVALHANDLE";
    case MMSYSERR_NODRIVER: return "MMSYSERR_NODRIVER";
    case MMSYSERR_NOMEM: return "MMSYSERR_NOMEM";
    case MMSYSERR_NOTSUPPORTED: return "MMSYSERR_NOTSUPPORTED";
    case MMSYSERR_INVALFLAG: return "MMSYSERR_INVALFLAG";
    case MMSYSERR_INVALPARAM: return "MMSYSERR_INVALPARAM";
    case MMSYSERR_HANDLEBUSY: return "MMSYSERR_HANDLEBUSY";
    case WAVERR_BADFORMAT: return "WAVERR_BADFORMAT";
    case WAVERR_STILLPLAYING: return "WAVERR_STILLPLAYING";
    case WAVERR_UNPREPARED: return "WAVERR_UNPREPARED";
    default: return std::to_string(result);
    }
}

std::string FormatDebug(double seconds, const std::string& thread, const std::string& line)
{
    return Prefix(seconds, thread) + "debug: " + line;
}

// Counts and answers that are numbers are shown as such (the device count,
// the capability record's size); everything else is an address or flags.
std::string FormatTrace(double seconds, const std::string& thread, const host::WaveMessageRecord& m)
{
    std::string text = Prefix(seconds, thread) + "wave: " + MessageName(m.uMsg) + " device " +
                       std::to_string(m.subDevice) + " (" + Hex(m.dw1) + ", " + Hex(m.dw2) + ") -> ";
    if (!m.answered)
        return text + "no result (the driver's guard caught a fault)";
    if (m.uMsg == WODM_GETNUMDEVS)
        return text + std::to_string(m.result) + (m.result == 1 ? " device" : " devices");
    return text + ResultName(m.result);
}

}  // namespace diagnostics
}  // namespace player
