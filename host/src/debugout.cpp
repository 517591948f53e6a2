// The kernel debug output: NKDbgPrintfW formats each call into one UTF-8
// line, kept for tests and handed to the echo, and keeps the call's format
// and arguments as a record for the record observer.
#include <cstdarg>
#include <cstdint>
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
// SetDebugRecordObserver's function, or empty
std::function<void(const DebugRecord&)>& g_debugRecords = *new std::function<void(const DebugRecord&)>;

// Called on the driver's thread, maybe under its stream lock.  The echo and
// the record observer run after g_debugMutex is released, so they may read
// the lines themselves.
void RecordDebug(DebugRecord record)
{
    std::function<void(const std::string&)> echo;
    std::function<void(const DebugRecord&)> observer;
    {
        std::lock_guard<std::mutex> lock(g_debugMutex);
        g_debugLines.push_back(record.line);
        echo = g_debugEcho;
        observer = g_debugRecords;
    }
    if (echo)
        echo(record.line);
    if (observer)
        observer(record);
}

void RecordDebug(std::string line)
{
    DebugRecord record;
    record.line = std::move(line);
    RecordDebug(std::move(record));
}

bool IsWordUnit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The label of the conversion at `at`: the last word before it, with blanks,
// ':' and '=' skipped in between ("Timer %d", "Timer=%d", "Timer: %d"); ""
// when there is none.
std::string LabelBefore(const std::string& format, size_t at)
{
    size_t end = at;
    while (end > 0 && (format[end - 1] == ' ' || format[end - 1] == ':' || format[end - 1] == '='))
        --end;
    size_t begin = end;
    while (begin > 0 && IsWordUnit(format[begin - 1]))
        --begin;
    // A conversion just before ("%d %d") is no word.
    if (begin > 0 && format[begin - 1] == '%')
        return std::string();
    return format.substr(begin, end - begin);
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

void SetDebugRecordObserver(std::function<void(const DebugRecord&)> fn)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugRecords = std::move(fn);
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
    host::DebugRecord record;
    std::string& out = record.line;
    // Each argument is kept as read, labelled by the word before its
    // conversion in the format (as UTF-8, so far as the format has been read).
    auto keep = [&record](host::DebugArgument::Kind kind, int64_t number, std::string text) {
        host::DebugArgument a;
        a.kind = kind;
        a.number = number;
        a.text = std::move(text);
        a.label = host::LabelBefore(record.format, record.format.size());
        record.arguments.push_back(std::move(a));
    };
    for (const WCHAR* p = fmt; p && *p; ++p) {
        if (*p != '%') {
            // The format ends with a 0, so the unit after p can be read.
            size_t i = 0;
            const char32_t c = host::NextCodePoint(p, static_cast<size_t>(-1), &i);
            host::AppendUtf8(out, c);
            host::AppendUtf8(record.format, c);
            p += i - 1;
            continue;
        }
        const WCHAR* start = p;
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
        case 'd': case 'i': {
            const int v = va_arg(ap, int);
            keep(host::DebugArgument::Signed, v, std::string());
            std::snprintf(buf, sizeof buf, (conv + "d").c_str(), v);
            out += buf;
            break;
        }
        case 'u': case 'x': case 'X': {
            const unsigned v = va_arg(ap, unsigned);
            keep(host::DebugArgument::Unsigned, v, std::string());
            std::snprintf(buf, sizeof buf, (conv + static_cast<char>(*p)).c_str(), v);
            out += buf;
            break;
        }
        case 'c': {
            const char32_t c = static_cast<char32_t>(va_arg(ap, int) & 0xFFFF);
            keep(host::DebugArgument::Character, c, std::string());
            host::AppendUtf8(out, c);
            break;
        }
        case 's': {
            std::string text = host::Narrow(va_arg(ap, const WCHAR*));
            out += text;
            keep(host::DebugArgument::Text, 0, std::move(text));
            break;
        }
        case 'p': {
            void* v = va_arg(ap, void*);
            keep(host::DebugArgument::Pointer, static_cast<int64_t>(reinterpret_cast<uintptr_t>(v)), std::string());
            std::snprintf(buf, sizeof buf, "%p", v);
            out += buf;
            break;
        }
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
        // The format keeps the conversion as written.
        for (const WCHAR* q = start; q <= p && *q; ++q)
            host::AppendUtf8(record.format, static_cast<char32_t>(*q));
    }
    va_end(ap);
    host::RecordDebug(std::move(record));
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
