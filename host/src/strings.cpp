// The kernel's string routines (lstrlen and its kin) in their A and W forms,
// and the C library's wide-string routines over 16-bit characters for
// applications built with the SDK (whose wchar_t is 16-bit): the SDK links a
// program with --wrap for these names, so its calls arrive here while the
// rest of the process keeps the C library's 32-bit ones.  Any thread, no
// lock.
#include <cstring>

#include "host_internal.h"

namespace {

template <typename C>
size_t Length(const C* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

template <typename C>
C* Copy(C* dst, const C* src)
{
    C* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

// ASCII and Latin-1 letters folded to lower case; anything else as it is.
unsigned Fold(unsigned c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return c + 0x20;
    return c;
}

template <typename C, typename U>
int Compare(const C* a, const C* b, bool fold)
{
    for (;; ++a, ++b) {
        unsigned x = static_cast<U>(*a), y = static_cast<U>(*b);
        if (fold) {
            x = Fold(x);
            y = Fold(y);
        }
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
}

}  // namespace

extern "C" {

int WINAPI lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(Length(lpString)) : 0; }
int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(std::strlen(lpString)) : 0; }
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) { return Copy(lpString1, lpString2); }
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) { return Copy(lpString1, lpString2); }
LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2)
{
    Copy(lpString1 + Length(lpString1), lpString2);
    return lpString1;
}
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2)
{
    Copy(lpString1 + std::strlen(lpString1), lpString2);
    return lpString1;
}
int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) { return Compare<WCHAR, WCHAR>(a, b, false); }
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) { return Compare<char, unsigned char>(a, b, false); }
int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) { return Compare<WCHAR, WCHAR>(a, b, true); }
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) { return Compare<char, unsigned char>(a, b, true); }

// The rest of the C library's wide-string routines an application's audio
// code calls, over 16-bit characters (wcslen, wcscpy and wcsncmp are in
// widestring.cpp, shared with the driver).
WCHAR* __wrap_wcscat(WCHAR* dst, const WCHAR* src)
{
    Copy(dst + Length(dst), src);
    return dst;
}

WCHAR* __wrap_wcsncpy(WCHAR* dst, const WCHAR* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i]; ++i)
        dst[i] = src[i];
    for (; i < n; ++i)
        dst[i] = 0;
    return dst;
}

int __wrap_wcscmp(const WCHAR* a, const WCHAR* b) { return Compare<WCHAR, WCHAR>(a, b, false); }

WCHAR* __wrap_wcschr(const WCHAR* s, WCHAR c)
{
    for (;; ++s) {
        if (*s == c)
            return const_cast<WCHAR*>(s);
        if (*s == 0)
            return nullptr;
    }
}

WCHAR* __wrap_wcsrchr(const WCHAR* s, WCHAR c)
{
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (*s == 0)
            return const_cast<WCHAR*>(found);
    }
}

}  // extern "C"
