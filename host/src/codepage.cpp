// Code pages: Windows-1252, 932 and UTF-8 to and from UTF-16.

#include "codepage.h"

#include <cstdint>
#include <vector>

namespace host {
namespace {

// ---- Windows-1252 --------------------------------------------------------------------

// 0x80-0x9F; the rest of the code page is Latin-1.  The five bytes the code
// page leaves unassigned map to the C1 controls of the same number, as in
// the platform's table.
const char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t From1252(unsigned char b)
{
    return b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : static_cast<char16_t>(b);
}

// ---- 932 -----------------------------------------------------------------------------

#include "cp932_table.inc"

bool IsLead932(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

int LeadRow(unsigned char b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }
unsigned char RowLead(int row) { return static_cast<unsigned char>(row < 31 ? 0x81 + row : 0xE0 + row - 31); }

int TrailColumn(unsigned char b)
{
    if (b >= 0x40 && b <= 0x7E)
        return b - 0x40;
    if (b >= 0x80 && b <= 0xFC)
        return b - 0x80 + 63;
    return -1;
}
unsigned char ColumnTrail(int column) { return static_cast<unsigned char>(column < 63 ? 0x40 + column : 0x80 + column - 63); }

// The single bytes that are characters of their own: ASCII with 0x80, the
// half-width katakana 0xA1-0xDF, and the bytes the platform's table maps to
// private-use characters.
bool Single932(unsigned char b, char16_t* c)
{
    if (b <= 0x80) *c = b;
    else if (b == 0xA0) *c = 0xF8F0;
    else if (b >= 0xA1 && b <= 0xDF) *c = static_cast<char16_t>(0xFF61 + (b - 0xA1));
    else if (b >= 0xFD) *c = static_cast<char16_t>(0xF8F1 + (b - 0xFD));
    else return false;
    return true;
}

// UTF-16 unit -> the bytes of 932 (one byte in the low 8 bits, a pair as
// lead << 8 | trail), 0 when the code page lacks it.  Built once.
const std::vector<uint16_t>& Encoder932()
{
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(0x10000, 0);
        for (unsigned b = 1; b < 0x100; ++b) {
            char16_t c;
            if (Single932(static_cast<unsigned char>(b), &c))
                t[c] = static_cast<uint16_t>(b);
        }
        const int rows = sizeof kCp932Pairs / sizeof kCp932Pairs[0];
        const int columns = sizeof kCp932Pairs[0] / sizeof kCp932Pairs[0][0];
        // Rows in ascending byte order, so the first pair seen is the lowest;
        // rows 0xED and 0xEE give way to any other.
        for (int pass = 0; pass < 2; ++pass)
            for (int r = 0; r < rows; ++r) {
                const unsigned char lead = RowLead(r);
                const bool necSelected = lead == 0xED || lead == 0xEE;
                if (necSelected != (pass == 1))
                    continue;
                for (int k = 0; k < columns; ++k) {
                    const char16_t c = kCp932Pairs[r][k];
                    if (c && !t[c])
                        t[c] = static_cast<uint16_t>(lead << 8 | ColumnTrail(k));
                }
            }
        return t;
    }();
    return table;
}

// ---- UTF-8 ---------------------------------------------------------------------------

void PutUtf16(std::u16string& out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// The length of the well-formed UTF-8 sequence at p (at most n bytes) and
// its code point; 0 when it is not one.
size_t Utf8Sequence(const unsigned char* p, size_t n, char32_t* cp)
{
    const unsigned char c = p[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t len;
    char32_t v, min;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; v = c & 0x1F; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; v = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; v = c & 0x07; min = 0x10000; }
    else return 0;
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        v = v << 6 | (p[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000))
        return 0;
    *cp = v;
    return len;
}

}  // namespace

bool CodePageSupported(unsigned cp)
{
    return cp == kCodePage1252 || cp == kCodePage932 || cp == kCodePageUtf8;
}

std::string CodePageName(unsigned cp)
{
    switch (cp) {
    case kCodePage1252: return "Windows-1252";
    case kCodePage932: return "932 (Shift_JIS)";
    case kCodePageUtf8: return "UTF-8";
    default: return "code page " + std::to_string(cp);
    }
}

unsigned AnsiCodePageOfLanguage(unsigned langid)
{
    const unsigned primary = langid & 0x3FF;
    switch (primary) {
    case 0x11: return 932;                                      // Japanese
    case 0x04: return (langid >> 10) == 1 || (langid >> 10) == 3 || (langid >> 10) == 5 ? 950 : 936;   // Chinese
    case 0x12: return 949;                                      // Korean
    case 0x1E: return 874;                                      // Thai
    case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1A: case 0x1B: case 0x24: return 1250;   // Central European
    case 0x19: case 0x22: case 0x23: case 0x02: case 0x2F: return 1251;                        // Cyrillic
    case 0x08: return 1253;                                     // Greek
    case 0x1F: return 1254;                                     // Turkish
    case 0x0D: return 1255;                                     // Hebrew
    case 0x01: case 0x20: case 0x29: return 1256;               // Arabic script
    case 0x25: case 0x26: case 0x27: return 1257;               // Baltic
    case 0x2A: return 1258;                                     // Vietnamese
    case 0x03: case 0x06: case 0x07: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0F: case 0x10:
    case 0x13: case 0x14: case 0x16: case 0x1D: case 0x21: case 0x2D: case 0x36: case 0x38: case 0x3E:
    case 0x41: case 0x56: return 1252;                          // Western European
    default: return 0;
    }
}

bool IsUnassignedByte(unsigned cp, unsigned char byte)
{
    if (cp == kCodePage1252)
        return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
    if (cp == kCodePage932)
        return byte == 0x80 || byte == 0xA0 || byte >= 0xFD;
    return false;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool DecodeCodePage(unsigned cp, const char* data, size_t n, std::u16string& out, size_t* bad)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    out.clear();
    out.reserve(n);
    size_t i = 0;
    auto fail = [&](size_t at) {
        if (bad)
            *bad = at;
        return false;
    };
    switch (cp) {
    case kCodePage1252:
        for (; i < n; ++i)
            out.push_back(From1252(p[i]));
        return true;
    case kCodePage932:
        while (i < n) {
            char16_t c;
            if (Single932(p[i], &c)) {
                out.push_back(c);
                ++i;
                continue;
            }
            if (!IsLead932(p[i]) || i + 1 >= n)
                return fail(i);
            const int column = TrailColumn(p[i + 1]);
            c = column < 0 ? 0 : kCp932Pairs[LeadRow(p[i])][column];
            if (!c)
                return fail(i);
            out.push_back(c);
            i += 2;
        }
        return true;
    case kCodePageUtf8:
        while (i < n) {
            char32_t c;
            const size_t len = Utf8Sequence(p + i, n - i, &c);
            if (!len)
                return fail(i);
            PutUtf16(out, c);
            i += len;
        }
        return true;
    default:
        return fail(0);
    }
}

bool EncodeCodePage(unsigned cp, const char16_t* data, size_t n, std::string& out, char defaultChar,
                    bool* usedDefault)
{
    out.clear();
    out.reserve(n);
    bool defaulted = false;
    for (size_t i = 0; i < n; ++i) {
        char32_t c = data[i];
        const bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
        if (high && i + 1 < n && data[i + 1] >= 0xDC00 && data[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (data[i + 1] - 0xDC00);
            ++i;
        } else if (high || low) {
            if (cp == kCodePageUtf8)
                return false;
            out += defaultChar;
            defaulted = true;
            continue;
        }
        if (cp == kCodePageUtf8) {
            AppendUtf8(out, c);
        } else if (cp == kCodePage1252) {
            char byte = 0;
            bool found = c < 0x80 || (c >= 0xA0 && c < 0x100);
            if (found)
                byte = static_cast<char>(c);
            for (unsigned k = 0; !found && k < 32; ++k)
                if (k1252High[k] == c) {
                    byte = static_cast<char>(0x80 + k);
                    found = true;
                }
            out += found ? byte : defaultChar;
            defaulted = defaulted || !found;
        } else if (cp == kCodePage932) {
            const uint16_t bytes = c < 0x10000 ? Encoder932()[c] : 0;
            if (c == 0) {
                out += '\0';
            } else if (!bytes) {
                out += defaultChar;
                defaulted = true;
            } else if (bytes > 0xFF) {
                out += static_cast<char>(bytes >> 8);
                out += static_cast<char>(bytes & 0xFF);
            } else {
                out += static_cast<char>(bytes);
            }
        } else {
            return false;
        }
    }
    if (usedDefault)
        *usedDefault = defaulted;
    return true;
}

}  // namespace host
