// The code-page conversions of <winnls.h>, over host::DecodeCodePage and
// host::EncodeCodePage.  Any thread, no lock.
#include <cstring>
#include <string>

#include "codepage.h"
#include "host_internal.h"

namespace host {
namespace {

// The code page a caller's number stands for, or 0 for one the host lacks.
unsigned CodePageOf(UINT codePage)
{
    switch (codePage) {
    case CP_ACP: return 1252;
    case 1252: return 1252;
    case 932: return 932;
    case CP_UTF8: return 65001;
    default: return 0;
    }
}

// Copies the n units of `text` to the caller's buffer of `room` units (room 0:
// the size is asked for).  Answers the units, or 0 with the last error set.
template <typename Unit>
int Deliver(const Unit* text, size_t n, Unit* out, int room)
{
    if (n > 0x7fffffff) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (room == 0)
        return static_cast<int>(n);
    if (n > static_cast<size_t>(room)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text, n * sizeof(Unit));
    return static_cast<int>(n);
}

}  // namespace
}  // namespace host

extern "C" {

UINT WINAPI GetACP(void)
{
    return 1252;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    const unsigned cp = host::CodePageOf(CodePage);
    if (cp == 0 || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    // DecodeCodePage writes its whole answer to `run`; `out` gathers the runs.
    std::u16string out, run;
    for (size_t at = 0; at < n;) {
        size_t bad = 0;
        if (host::DecodeCodePage(cp, lpMultiByteStr + at, n - at, run, &bad)) {
            out += run;
            break;
        }
        if (dwFlags & MB_ERR_INVALID_CHARS) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        // The valid run before the bad byte, then U+FFFD for that byte.
        host::DecodeCodePage(cp, lpMultiByteStr + at, bad, run, nullptr);
        out += run;
        out.push_back(0xFFFD);
        at += bad + 1;
    }
    return host::Deliver(reinterpret_cast<const WCHAR*>(out.data()), out.size(), lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    const unsigned cp = host::CodePageOf(CodePage);
    if (cp == 0 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
        (cp == 65001 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~static_cast<DWORD>(WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[n])
            ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cchWideChar);
    }
    std::u16string in(reinterpret_cast<const char16_t*>(lpWideCharStr), n);
    if (cp == 65001) {
        // A lone surrogate is written as U+FFFD.
        for (size_t i = 0; i < in.size(); ++i) {
            char16_t u = in[i];
            if (u >= 0xD800 && u < 0xDC00 && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000)
                ++i;
            else if (u >= 0xD800 && u < 0xE000)
                in[i] = 0xFFFD;
        }
    }
    std::string out;
    bool usedDefault = false;
    if (!host::EncodeCodePage(cp, in.data(), in.size(), out, lpDefaultChar ? *lpDefaultChar : '?', &usedDefault)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return host::Deliver(out.data(), out.size(), lpMultiByteStr, cbMultiByte);
}

}  // extern "C"
