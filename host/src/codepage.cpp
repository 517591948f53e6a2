// Code pages 1252 (Western European, the platform's ANSI code page on a
// Western device) and 65001 (UTF-8).  Any other code page is refused: both
// functions answer false with nothing decoded (*bad 0).
#include "codepage.h"

namespace host {
namespace {

// Windows-1252's bytes 0x80..0x9F; 0 where the code page has no character.
// Every other byte is the Latin-1 code point of the same value.
const char16_t k1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool Decode1252(const char* data, size_t n, std::u16string& out, size_t* bad)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        char16_t u = (c >= 0x80 && c < 0xA0) ? k1252High[c - 0x80] : c;
        if (c >= 0x80 && c < 0xA0 && u == 0) {
            if (bad)
                *bad = i;
            return false;
        }
        out.push_back(u);
    }
    return true;
}

bool DecodeUtf8(const char* data, size_t n, std::u16string& out, size_t* bad)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        char32_t cp;
        size_t len;
        char32_t min;
        if (c < 0x80) { cp = c; len = 1; min = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; min = 0x800; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; min = 0x10000; }
        else { len = 0; cp = 0; min = 0; }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are invalid.
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)))
            ok = false;
        if (!ok) {
            if (bad)
                *bad = i;
            return false;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

bool Encode1252(const char16_t* data, size_t n, std::string& out, char defaultChar, bool* usedDefault)
{
    for (size_t i = 0; i < n; ++i) {
        char16_t u = data[i];
        int byte = -1;
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) {
            byte = u;
        } else {
            for (int k = 0; k < 32; ++k)
                if (k1252High[k] == u && u != 0)
                    byte = 0x80 + k;
        }
        // A surrogate pair is one character the code page lacks.
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && data[i + 1] >= 0xDC00 && data[i + 1] < 0xE000)
            ++i;
        if (byte < 0) {
            out.push_back(defaultChar);
            if (usedDefault)
                *usedDefault = true;
        } else {
            out.push_back(static_cast<char>(byte));
        }
    }
    return true;
}

bool EncodeUtf8(const char16_t* data, size_t n, std::string& out)
{
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = data[i];
        if (cp >= 0xD800 && cp < 0xE000) {
            if (cp >= 0xDC00 || i + 1 >= n || data[i + 1] < 0xDC00 || data[i + 1] >= 0xE000)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (data[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

}  // namespace

bool DecodeCodePage(unsigned cp, const char* data, size_t n, std::u16string& out, size_t* bad)
{
    if (cp == 1252)
        return Decode1252(data, n, out, bad);
    if (cp == 65001)
        return DecodeUtf8(data, n, out, bad);
    if (bad)
        *bad = 0;
    return false;
}

bool EncodeCodePage(unsigned cp, const char16_t* data, size_t n, std::string& out, char defaultChar, bool* usedDefault)
{
    if (cp == 1252)
        return Encode1252(data, n, out, defaultChar, usedDefault);
    if (cp == 65001)
        return EncodeUtf8(data, n, out);
    return false;
}

}  // namespace host
