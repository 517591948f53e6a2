// The kernel debug output: NKDbgPrintfW formats each call into one UTF-8
// line, kept for tests and handed to the echo.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "host/host.h"
#include "codepage.h"
#include "host_internal.h"

namespace host {
namespace {

// Never destroyed: a driver's timer callback may print as the process ends.
std::mutex g_debugMutex;   // guards the two below; a leaf lock
std::vector<std::string>& g_debugLines = *new std::vector<std::string>;   // every line since the last clear
// SetDebugEcho's function, or empty
std::function<void(const std::string&)>& g_debugEcho = *new std::function<void(const std::string&)>;

// Called on the driver's thread, maybe under its stream lock.  The echo runs
// after g_debugMutex is released, so it may read the lines itself.
void RecordDebug(std::string line)
{
    std::function<void(const std::string&)> echo;
    {
        std::lock_guard<std::mutex> lock(g_debugMutex);
        g_debugLines.push_back(line);
        echo = g_debugEcho;
    }
    if (echo)
        echo(line);
}

}  // namespace

void DebugPrint(const std::string& line, bool echo)
{
    if (echo) {
        RecordDebug(line);
        return;
    }
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugLines.push_back(line);
}

std::vector<std::string> DebugLines()
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    return g_debugLines;
}

void ClearDebug()
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugLines.clear();
}

void SetDebugEcho(std::function<void(const std::string&)> fn)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugEcho = std::move(fn);
}

// The echo is kept: it belongs to whoever set it, not to the driver's run.
void ResetDebugOutput()
{
    ClearDebug();
}

}  // namespace host

extern "C" {

// printf-style output over a UTF-16 format: %d %i %u %x %X %c %s (UTF-16
// string) %p %%, with flags, width, and the h/l size prefixes.
void NKDbgPrintfW(LPCWSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string out;
    for (const WCHAR* p = fmt; p && *p; ++p) {
        if (*p != '%') {
            // The format ends with a 0, so the unit after p can be read.
            size_t i = 0;
            host::AppendUtf8(out, host::NextCodePoint(p, static_cast<size_t>(-1), &i));
            p += i - 1;
            continue;
        }
        std::string conv = "%";
        ++p;
        while (*p == '-' || *p == '0' || *p == '+' || *p == ' ' || *p == '#')
            conv += static_cast<char>(*p++);
        while (*p >= '0' && *p <= '9')
            conv += static_cast<char>(*p++);
        while (*p == 'l' || *p == 'h')
            ++p;   // every integer argument is 32-bit
        char buf[64];
        switch (*p) {
        case 'd': case 'i':
            std::snprintf(buf, sizeof buf, (conv + "d").c_str(), va_arg(ap, int));
            out += buf;
            break;
        case 'u': case 'x': case 'X':
            std::snprintf(buf, sizeof buf, (conv + static_cast<char>(*p)).c_str(), va_arg(ap, unsigned));
            out += buf;
            break;
        case 'c':
            host::AppendUtf8(out, static_cast<char32_t>(va_arg(ap, int) & 0xFFFF));
            break;
        case 's':
            out += host::Narrow(va_arg(ap, const WCHAR*));
            break;
        case 'p':
            std::snprintf(buf, sizeof buf, "%p", va_arg(ap, void*));
            out += buf;
            break;
        case '%':
            out += '%';
            break;
        case 0:
            --p;
            break;
        default:
            out += conv;
            host::AppendUtf8(out, *p);
            break;
        }
    }
    va_end(ap);
    host::RecordDebug(std::move(out));
}

// The text as it stands, one debug line per call.
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString)
{
    host::RecordDebug(host::Narrow(lpOutputString));
}

// 8-bit text in the ANSI code page.
void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    if (lpOutputString == nullptr || *lpOutputString == 0) {
        host::RecordDebug(std::string());
        return;
    }
    int n = MultiByteToWideChar(CP_ACP, 0, lpOutputString, -1, nullptr, 0);
    std::vector<WCHAR> wide(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, lpOutputString, -1, wide.data(), n);
    host::RecordDebug(host::Narrow(wide.data()));
}

}  // extern "C"
