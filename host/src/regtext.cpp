// Text and files as the .reg readers see them.

// Folders are listed and files looked at with the 64-bit calls, also in the
// 32-bit build: there the plain ones fail on file systems with 64-bit inode
// numbers and directory offsets.
#define _FILE_OFFSET_BITS 64

#include "regtext.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>

#include "codepage.h"
#include "host/host.h"
#include "reglines.h"

namespace host {
namespace regtext {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

size_t SkipSpace(const std::string& s, size_t pos)
{
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    return pos;
}

std::string Trim(const std::string& s)
{
    size_t a = SkipSpace(s, 0), b = s.size();
    while (b > a && IsSpace(s[b - 1]))
        --b;
    return s.substr(a, b - a);
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool SameNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string Join(const std::vector<std::string>& items, const char* separator)
{
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : separator) + item;
    return out;
}

// The text of a quoted string starting at s[pos] == '"' as a REG_SZ value
// holds it (UTF-16LE), appended to `data` without its terminator: made at
// its size, a piece at a time, never as a whole second copy of the line.
// Leaves pos after the closing quote.
void AppendQuotedUtf16(const std::string& s, size_t& pos, const char* what, std::vector<uint8_t>& data)
{
    // First its end and its length, so that the value is made at its size.
    size_t end = pos + 1, units = 0;
    for (; end < s.size() && s[end] != '"'; ++end) {
        if (s[end] == '\\') {
            if (end + 1 >= s.size() || (s[end + 1] != '\\' && s[end + 1] != '"'))
                throw RegLineError{"\\\\ or \\\" after a backslash"};
            ++end;
        }
        const unsigned char c = static_cast<unsigned char>(s[end]);
        units += (c & 0xC0) == 0x80 ? 0 : c >= 0xF0 ? 2 : 1;
    }
    if (end >= s.size())
        throw RegLineError{std::string("\" to close the ") + what};
    const size_t need = data.size() + 2 * units + 2;
    if (data.capacity() < need)
        data.reserve(data.empty() ? need : std::max(need, 2 * data.capacity()));
    std::string piece;
    auto flush = [&] {
        for (char16_t c : Widen(piece)) {
            data.push_back(static_cast<uint8_t>(c));
            data.push_back(static_cast<uint8_t>(c >> 8));
        }
        piece.clear();
    };
    for (size_t i = pos + 1; i < end; ++i) {
        // A piece ends before a character's first byte, never inside one.
        if (piece.size() >= 4096 && (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            flush();
        piece += s[i] == '\\' ? s[++i] : s[i];
    }
    flush();
    pos = end + 1;
}

// The line up to a ; comment that is not inside quotes, trimmed.
std::string StripComment(const std::string& s)
{
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"')
            quoted = !quoted;
        else if (quoted && s[i] == '\\' && i + 1 < s.size())
            ++i;
        else if (!quoted && s[i] == ';')
            return Trim(s.substr(0, i));
    }
    return Trim(s);
}

// The leading word of s at pos (letters only), and where it ends.
std::string Keyword(const std::string& s, size_t pos, size_t* end)
{
    size_t e = pos;
    while (e < s.size() && std::isalpha(static_cast<unsigned char>(s[e])))
        ++e;
    *end = e;
    return Upper(s.substr(pos, e - pos));
}

bool NextLine(const std::string& text, size_t& start, std::string& line)
{
    if (start >= text.size())
        return false;
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos)
        end = text.size();
    line.assign(text, start, end - start);
    start = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    return true;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (size_t start = 0; NextLine(text, start, line);)
        lines.push_back(line);
    return lines;
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The path as it exists on disk, each part matched ignoring case where the
// exact spelling does not exist (board trees are written on a file system
// that ignores case); the path unchanged when a part is not found at all.
std::string MatchCase(const std::string& path)
{
    if (path.empty() || Exists(path))
        return path;
    std::string out = path[0] == '/' ? "/" : "";
    size_t start = path[0] == '/' ? 1 : 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        std::string candidate = out + part;
        if (!Exists(candidate) && part != "." && part != "..") {
            std::string found;
            if (DIR* dir = opendir(out.empty() ? "." : out.c_str())) {
                while (dirent* e = readdir(dir))
                    if (strcasecmp(e->d_name, part.c_str()) == 0) {
                        found = e->d_name;
                        break;
                    }
                closedir(dir);
            }
            if (found.empty())
                return path;
            candidate = out + found;
        }
        out = candidate + (end < path.size() ? "/" : "");
    }
    return out;
}

}  // namespace regtext

using namespace regtext;

namespace {

// The line (from 1) and column (from 1) of a byte offset, counting line
// ends as SplitLines does; `unit` is 2 for UTF-16, whose units are read in
// `bigEndian` order.
void Place(const std::string& bytes, size_t offset, size_t unit, bool bigEndian, int* line, size_t* column)
{
    *line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i + unit <= offset; i += unit) {
        const unsigned char c = static_cast<unsigned char>(unit == 1 ? bytes[i] : bytes[i + (bigEndian ? 1 : 0)]);
        const bool zero = unit == 1 || bytes[i + (bigEndian ? 0 : 1)] == 0;
        if (!zero || (c != '\n' && c != '\r'))
            continue;
        if (c == '\r' && i + 2 * unit <= bytes.size()) {
            const size_t n = i + unit;
            const unsigned char next = static_cast<unsigned char>(unit == 1 ? bytes[n] : bytes[n + (bigEndian ? 1 : 0)]);
            if (next == '\n' && (unit == 1 || bytes[n + (bigEndian ? 0 : 1)] == 0) && n < offset)
                i = n;
        }
        ++*line;
        lineStart = i + unit;
    }
    *column = (offset - lineStart) / unit + 1;
}

std::string Hex2(unsigned char b)
{
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

// Text is decoded a chunk at a time into UTF-8, so that a file's bytes and
// its text are the most a decoding holds: never a UTF-16 copy of the whole.
const size_t kDecodeChunk = 4096;

// Where a chunk of `bytes` from `start` may end, at most kDecodeChunk bytes
// on, without cutting a character of code page `cp` in two.
size_t ChunkEnd(unsigned cp, const std::string& bytes, size_t start)
{
    size_t end = std::min(bytes.size(), start + kDecodeChunk);
    if (end == bytes.size())
        return end;
    if (cp == kCodePageUtf8) {
        // Back to the first byte of a sequence (an invalid run of
        // continuation bytes is refused in this chunk anyway).
        for (int k = 0; k < 3 && end > start + 1 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80; ++k)
            --end;
    } else if (cp == kCodePage932) {
        size_t i = start;
        while (i < end) {
            const unsigned char b = static_cast<unsigned char>(bytes[i]);
            i += (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) ? 2 : 1;
        }
        end = i > bytes.size() ? bytes.size() : i;
    }
    return end;
}

// Decodes `bytes` in code page `cp` a chunk at a time; each chunk's UTF-16
// goes to `chunk` (when set). False with *bad at the first byte the decoder
// refuses.
bool DecodeInChunks(unsigned cp, const std::string& bytes, size_t from, size_t* bad,
                    const std::function<void(const std::u16string&)>& chunk)
{
    std::u16string units;
    for (size_t start = from; start < bytes.size();) {
        const size_t end = ChunkEnd(cp, bytes, start);
        size_t at = 0;
        if (!DecodeCodePage(cp, bytes.data() + start, end - start, units, &at)) {
            *bad = start + at;
            return false;
        }
        if (chunk)
            chunk(units);
        start = end;
    }
    return true;
}

// UTF-16 units as UTF-8, appended to `out`; false for a lone surrogate.
bool AppendAsUtf8(const std::u16string& units, std::string& out)
{
    std::string piece;
    if (!EncodeCodePage(kCodePageUtf8, units.data(), units.size(), piece, '?', nullptr))
        return false;
    out += piece;
    return true;
}

std::string Utf16ToUtf8(const std::string& bytes, size_t from, bool bigEndian, const std::string& file)
{
    std::string out;
    std::u16string units;
    size_t at = 0;   // the first unit of the chunk being written
    bool ok = true;
    for (size_t i = from; ok && i + 1 < bytes.size();) {
        units.clear();
        for (; i + 1 < bytes.size() && units.size() < kDecodeChunk; i += 2) {
            const unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
            units.push_back(static_cast<char16_t>(bigEndian ? a << 8 | b : b << 8 | a));
        }
        // A pair is not cut in two: its high half waits for the next chunk.
        if (i + 1 < bytes.size() && units.back() >= 0xD800 && units.back() < 0xDC00) {
            units.pop_back();
            i -= 2;
        }
        ok = AppendAsUtf8(units, out);
        if (ok)
            at += units.size();
    }
    if (!ok) {
        // A lone surrogate: find it in the chunk for the message.
        for (size_t k = 0; k < units.size(); ++k) {
            const char16_t u = units[k];
            if (u >= 0xD800 && u < 0xDC00 && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] < 0xE000) {
                ++k;
            } else if (u >= 0xD800 && u < 0xE000) {
                at += k;
                break;
            }
        }
        int line;
        size_t column;
        Place(bytes, from + 2 * at, 2, bigEndian, &line, &column);
        throw RegError{file, line, "a lone UTF-16 surrogate at column " + std::to_string(column) +
                                       " (the file is read as UTF-16" + (bigEndian ? "BE" : "LE") +
                                       "): the encoding is broken"};
    }
    return out;
}

// A file that is not UTF-8 (its first bad byte at utf8Bad) in code page
// `codePage`, as DecodeRegText says.
std::string DecodeInCodePage(const std::string& bytes, const std::string& file, unsigned codePage,
                             const std::string& codePageFrom, size_t utf8Bad, std::string* encoding)
{
    size_t bad = 0;
    if (!CodePageSupported(codePage) || codePage == kCodePageUtf8) {
        int line;
        size_t column;
        Place(bytes, utf8Bad, 1, false, &line, &column);
        throw RegError{file, line, "byte " + Hex2(static_cast<unsigned char>(bytes[utf8Bad])) + " at column " +
                                       std::to_string(column) + " is not valid UTF-8, and the code page of " +
                                       codePageFrom + " (" + CodePageName(codePage) +
                                       ") is not one read here (1252, 932 or 65001; --codepage N chooses)"};
    }
    if (DecodeInChunks(codePage, bytes, 0, &bad, nullptr))
        bad = std::string::npos;
    // The platform's tables give the bytes a code page leaves unassigned a
    // placeholder character; in a text file they mean a misread.
    for (size_t i = 0, end = bad == std::string::npos ? bytes.size() : bad; i < end; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (codePage == kCodePage932 && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC))) {
            ++i;   // a pair, already checked by the decoder
            continue;
        }
        if (IsUnassignedByte(codePage, b)) {
            bad = i;
            break;
        }
    }
    if (bad != std::string::npos) {
        int line;
        size_t column;
        Place(bytes, bad, 1, false, &line, &column);
        const unsigned char b = static_cast<unsigned char>(bytes[bad]);
        std::string shown = Hex2(b);
        if (codePage == kCodePage932 && bad + 1 < bytes.size() && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)))
            shown = "pair " + Hex2(b) + " " + Hex2(static_cast<unsigned char>(bytes[bad + 1]));
        throw RegError{file, line, "byte " + shown + " at column " + std::to_string(column) + " is not a character of " +
                                       CodePageName(codePage) + " (the code page of " + codePageFrom +
                                       "), and the file is not UTF-8 (byte " +
                                       Hex2(static_cast<unsigned char>(bytes[utf8Bad])) +
                                       " is not) and has no byte-order mark; --codepage N reads it in another"};
    }
    *encoding = CodePageName(codePage) + " (not UTF-8; the code page of " + codePageFrom + ")";
    // Twice through: the text's length first, so that it is made at its
    // size, without the spare room of a string that grows.
    size_t length = 0;
    DecodeInChunks(codePage, bytes, 0, &bad, [&](const std::u16string& units) {
        std::string piece;
        EncodeCodePage(kCodePageUtf8, units.data(), units.size(), piece, '?', nullptr);
        length += piece.size();
    });
    std::string out;
    out.reserve(length);
    DecodeInChunks(codePage, bytes, 0, &bad, [&](const std::u16string& units) { AppendAsUtf8(units, out); });
    return out;
}


}  // namespace

std::string DecodeRegText(std::string bytes, const std::string& file, unsigned codePage,
                          const std::string& codePageFrom, std::string* encoding)
{
    auto starts = [&](const char* mark, size_t n) { return bytes.size() >= n && bytes.compare(0, n, mark, n) == 0; };
    auto odd = [&](const char* what) {
        if (bytes.size() % 2 != 0)
            throw RegError{file, 0, std::string("an odd number of bytes, read as ") + what +
                                        ": the last byte is half a character (the encoding is broken)"};
    };
    if (starts("\xEF\xBB\xBF", 3)) {
        *encoding = "UTF-8 (byte-order mark)";
        size_t bad = 0;
        if (!DecodeInChunks(kCodePageUtf8, bytes, 3, &bad, nullptr)) {
            int line;
            size_t column;
            Place(bytes, bad, 1, false, &line, &column);
            throw RegError{file, line, "byte " + Hex2(static_cast<unsigned char>(bytes[bad])) + " at column " +
                                           std::to_string(column) +
                                           " is not valid UTF-8, which the byte-order mark says the file is"};
        }
        bytes.erase(0, 3);
        return bytes;
    }
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
        const bool big = bytes[0] == '\xFE';
        *encoding = big ? "UTF-16BE (byte-order mark)" : "UTF-16LE (byte-order mark)";
        odd(big ? "UTF-16BE" : "UTF-16LE");
        return Utf16ToUtf8(bytes, 2, big, file);
    }
    // Without a mark, UTF-16 shows as zero bytes, which 8-bit text never
    // holds; its first character tells the byte order (a .reg or .str file
    // starts with ASCII: a comment, a key, a directive or a blank).
    const size_t zero = bytes.find('\0');
    if (zero != std::string::npos) {
        if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
            *encoding = "UTF-16LE (no byte-order mark; told by its zero bytes)";
            odd("UTF-16LE");
            return Utf16ToUtf8(bytes, 0, false, file);
        }
        if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] != '\0') {
            *encoding = "UTF-16BE (no byte-order mark; told by its zero bytes)";
            odd("UTF-16BE");
            return Utf16ToUtf8(bytes, 0, true, file);
        }
        int line;
        size_t column;
        Place(bytes, zero, 1, false, &line, &column);
        throw RegError{file, line, "a zero byte at column " + std::to_string(column) +
                                       ", and the file does not start as UTF-16 text: not a text file, or an "
                                       "encoding not read here"};
    }
    size_t bad = 0;
    if (DecodeInChunks(kCodePageUtf8, bytes, 0, &bad, nullptr)) {
        bool ascii = true;
        for (char c : bytes)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        *encoding = ascii ? "ASCII" : "UTF-8 (no byte-order mark; every byte sequence is valid UTF-8)";
        return bytes;
    }
    return DecodeInCodePage(bytes, file, codePage, codePageFrom, bad, encoding);
}

bool ReadRegBytes(const std::string& path, size_t limit, std::string* bytes, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = "is a directory, not a .reg file";
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *why = "cannot be read";
        return false;
    }
    bytes->clear();
    // A file that says its size is refused from it, unread, when it is over
    // the limit, and else read into a string made at that size; one that
    // does not say it (/dev/zero, a pipe) grows as it is read, to one byte
    // past the limit at most.
    struct stat opened;
    if (fstat(fileno(f), &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_size > 0) {
        const unsigned long long size = static_cast<unsigned long long>(opened.st_size);
        if (size > limit) {
            std::fclose(f);
            *why = "larger than " + std::to_string(limit) + " bytes, the limit of a registry file (its size is " +
                   std::to_string(size) + " bytes: not read)";
            return false;
        }
        bytes->reserve(static_cast<size_t>(size) + 1);
    }
    char chunk[65536];
    bool over = false, failed = false;
    while (!over) {
        const size_t room = limit + 1 - bytes->size();
        const size_t got = std::fread(chunk, 1, room < sizeof chunk ? room : sizeof chunk, f);
        bytes->append(chunk, got);
        over = bytes->size() > limit;
        if (got == 0) {
            failed = std::ferror(f) != 0;
            break;
        }
    }
    std::fclose(f);
    if (over) {
        bytes->clear();
        *why = "larger than " + std::to_string(limit) + " bytes, the limit of a registry file (read no further)";
        return false;
    }
    if (failed) {
        bytes->clear();
        *why = "cannot be read";
        return false;
    }
    why->clear();
    return true;
}

}  // namespace host
