// Wide strings: the conversions between UTF-8 and the platform's UTF-16, and
// the platform's wide-string routines over 16-bit characters.
#include "host/host.h"
#include "codepage.h"
#include "host_internal.h"

namespace host {

char32_t NextCodePoint(const WCHAR* s, size_t n, size_t* i)
{
    char32_t cp = s[*i];
    if (cp >= 0xD800 && cp < 0xDC00 && *i + 1 < n && s[*i + 1] >= 0xDC00 && s[*i + 1] < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (s[*i + 1] - 0xDC00);
        ++*i;
    }
    ++*i;
    return cp;
}

// UTF-8 to UTF-16; a byte sequence that is not UTF-8 becomes U+FFFD, never
// another character.
std::u16string Widen(const std::string& s)
{
    std::u16string out, part;
    size_t at = 0;
    for (;;) {
        size_t bad = 0;
        if (DecodeCodePage(kCodePageUtf8, s.data() + at, s.size() - at, part, &bad)) {
            out += part;
            return out;
        }
        DecodeCodePage(kCodePageUtf8, s.data() + at, bad, part, nullptr);
        out += part;
        out += u'\uFFFD';
        at += bad + 1;
    }
}

static std::string NarrowN(const WCHAR* s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n;)
        AppendUtf8(out, NextCodePoint(s, n, &i));
    return out;
}

std::string Narrow(const WCHAR* s)
{
    return s ? NarrowN(s, __wrap_wcslen(s)) : std::string();
}

std::string Narrow(const std::u16string& s)
{
    return NarrowN(reinterpret_cast<const WCHAR*>(s.data()), s.size());
}

}  // namespace host

// The platform's wide-string routines over 16-bit characters.  The driver
// library is linked with --wrap for their names, so its calls arrive here;
// the host never defines wcscpy, wcsncmp or wcslen itself, which would take
// the place of the C library's 32-bit routines for the whole process.
extern "C" {

WCHAR* __wrap_wcscpy(WCHAR* dst, const WCHAR* src)
{
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

int __wrap_wcsncmp(const WCHAR* a, const WCHAR* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0)
            return 0;
    }
    return 0;
}

size_t __wrap_wcslen(const WCHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // extern "C"
