// FormatMessage: a message from the system's table of error texts or from
// the caller's string, with its inserts (%1 to %99, each with an optional
// !printf format!) and escapes.  Any thread, no lock.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_internal.h"

namespace host {
namespace {

struct SystemText {
    DWORD code;
    const char* text;
};
// The texts of the error codes <windows.h> names, each a line as the
// platform's system table has it.
const SystemText kSystemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_NEGATIVE_SEEK, "An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore."},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_UNICODE_TRANSLATION, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
    {ERROR_CLASS_DOES_NOT_EXIST, "Class does not exist."},
    {ERROR_CLASS_HAS_WINDOWS, "Class still has open windows."},
    {ERROR_INVALID_THREAD_ID, "The thread identifier is invalid."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "The specified resource language ID cannot be found in the image file."},
};

std::u16string Widen8(const char* s, UINT cp)
{
    std::u16string out;
    if (s == nullptr || *s == 0)
        return out;
    int n = MultiByteToWideChar(cp, 0, s, -1, nullptr, 0);
    if (n <= 0)
        return out;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(cp, 0, s, -1, reinterpret_cast<WCHAR*>(&out[0]), n);
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

std::u16string WideOf(const WCHAR* s)
{
    std::u16string out;
    for (; s && *s; ++s)
        out.push_back(static_cast<char16_t>(*s));
    return out;
}

// One insert's format: the text between the ! marks, "s" when absent.
struct Insert {
    std::string spec = "s";
    bool wide = false;     // a string insert of 16-bit text
    bool isString = true;  // the argument is a pointer to text
    bool is64 = false;     // I64: a 64-bit number
};

// Parses a !format! (without the marks) for a caller of the W form (wideForm)
// or the A form.
Insert ParseSpec(const std::string& spec, bool wideForm)
{
    Insert in;
    in.spec = spec;
    char conv = spec.empty() ? 's' : spec.back();
    in.isString = conv == 's' || conv == 'S';
    if (in.isString) {
        bool narrow = spec.find('h') != std::string::npos;
        bool wide = spec.find('l') != std::string::npos || spec.find('w') != std::string::npos;
        in.wide = conv == 'S' ? !wideForm : (wide ? true : narrow ? false : wideForm);
    }
    in.is64 = spec.find("I64") != std::string::npos || spec.find("ll") != std::string::npos;
    return in;
}

struct Value {
    uint64_t number = 0;
    const void* pointer = nullptr;
};

std::u16string Render(const Insert& in, const Value& v)
{
    if (in.isString)
        return in.wide ? WideOf(static_cast<const WCHAR*>(v.pointer))
                       : Widen8(static_cast<const char*>(v.pointer), CP_ACP);
    // The flags and width as printf has them; the size prefixes are the
    // argument's, read already.
    std::string flags;
    for (char c : in.spec) {
        if (c == 'I' || c == 'l' || c == 'h' || c == 'w' || c == '6' || c == '4') {
            if (c == '6' || c == '4') {
                if (flags.empty() || flags.back() != 'I')
                    flags += c;   // a width digit
                continue;
            }
            continue;
        }
        flags += c;
    }
    char conv = flags.empty() ? 'd' : flags.back();
    if (!flags.empty())
        flags.pop_back();
    char buf[96];
    std::string f = "%" + flags;
    switch (conv) {
    case 'd': case 'i':
        std::snprintf(buf, sizeof buf, (f + "lld").c_str(),
                      static_cast<long long>(in.is64 ? static_cast<int64_t>(v.number)
                                                     : static_cast<int32_t>(static_cast<uint32_t>(v.number))));
        break;
    case 'u': case 'x': case 'X': case 'o':
        std::snprintf(buf, sizeof buf, (f + "ll" + conv).c_str(),
                      static_cast<unsigned long long>(in.is64 ? v.number : static_cast<uint32_t>(v.number)));
        break;
    case 'c':
        return std::u16string(1, static_cast<char16_t>(v.number));
    case 'p':
        std::snprintf(buf, sizeof buf, "%p", v.pointer);
        break;
    default:
        buf[0] = 0;
        break;
    }
    return Widen8(buf, CP_ACP);
}

// The first pass over the message: the insert each index is used with
// (its first use decides), so that a va_list is read in order with the right
// types.  Answers the highest index used.
int ScanInserts(const std::u16string& text, bool wideForm, std::vector<Insert>* inserts, std::vector<bool>* used)
{
    int highest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != u'%')
            continue;
        if (text[i + 1] < u'1' || text[i + 1] > u'9') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        int n = 0;
        while (j < text.size() && text[j] >= u'0' && text[j] <= u'9' && n < 10)
            n = n * 10 + (text[j++] - u'0');
        std::string spec = "s";
        if (j < text.size() && text[j] == u'!') {
            size_t end = text.find(u'!', j + 1);
            if (end != std::u16string::npos) {
                spec.clear();
                for (size_t k = j + 1; k < end; ++k)
                    spec += static_cast<char>(text[k]);
            }
        }
        if (n >= 1 && n <= 99 && !(*used)[n]) {
            (*used)[n] = true;
            (*inserts)[n] = ParseSpec(spec, wideForm);
            if (n > highest)
                highest = n;
        }
        i = j - 1;
    }
    return highest;
}

// The arguments of inserts 1 to `highest`: from a DWORD_PTR array, or read
// from the va_list in order, each with its insert's type (an index the
// message does not use is read as a pointer).
void ReadArguments(va_list* args, bool array, int highest, const std::vector<Insert>& inserts,
                   const std::vector<bool>& used, std::vector<Value>* values)
{
    for (int n = 1; n <= highest; ++n) {
        Value& v = (*values)[n];
        if (array) {
            const DWORD_PTR* a = reinterpret_cast<const DWORD_PTR*>(args);
            v.number = a[n - 1];
            v.pointer = reinterpret_cast<const void*>(a[n - 1]);
        } else if (!used[n] || inserts[n].isString || inserts[n].spec.back() == 'p') {
            v.pointer = va_arg(*args, const void*);
            v.number = reinterpret_cast<uintptr_t>(v.pointer);
        } else if (inserts[n].is64) {
            v.number = va_arg(*args, unsigned long long);
        } else {
            v.number = va_arg(*args, unsigned int);
        }
    }
}

// The second pass: the text, with its inserts and escapes.
void Expand(const std::u16string& text, bool ignoreInserts, bool joinLines, const std::vector<Insert>& inserts,
            const std::vector<Value>& values, std::u16string* out)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (joinLines && (c == u'\r' || c == u'\n')) {
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            out->push_back(u' ');
            continue;
        }
        if (c != u'%') {
            out->push_back(c);
            continue;
        }
        if (i + 1 >= text.size())
            break;
        char16_t e = text[++i];
        if (e >= u'1' && e <= u'9') {
            size_t start = i - 1;
            size_t j = i;
            int n = 0;
            while (j < text.size() && text[j] >= u'0' && text[j] <= u'9' && n < 10)
                n = n * 10 + (text[j++] - u'0');
            if (j < text.size() && text[j] == u'!') {
                size_t end = text.find(u'!', j + 1);
                if (end != std::u16string::npos)
                    j = end + 1;
            }
            if (ignoreInserts)
                out->append(text, start, j - start);
            else if (n >= 1 && n <= 99)
                *out += Render(inserts[n], values[n]);
            i = j - 1;
            continue;
        }
        switch (e) {
        case u'0': return;
        case u'n': *out += u"\r\n"; break;
        case u'r': out->push_back(u'\r'); break;
        case u't': out->push_back(u'\t'); break;
        case u'b': out->push_back(u' '); break;
        default:
            if (ignoreInserts && e == u'%')
                *out += u"%%";
            else
                out->push_back(e);
            break;
        }
    }
}

// The message, formatted; false with the last error set when it cannot be.
bool Format(DWORD flags, const std::u16string& text, bool wideForm, va_list* args, std::u16string* out)
{
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
    const bool joinLines = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
    std::vector<Insert> inserts(100);
    std::vector<bool> used(100, false);
    const int highest = ScanInserts(text, wideForm, &inserts, &used);
    std::vector<Value> values(100);
    if (!ignoreInserts && highest > 0) {
        if (args == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        ReadArguments(args, array, highest, inserts, used, &values);
    }
    Expand(text, ignoreInserts, joinLines, inserts, values, out);
    return true;
}

// The message's text before formatting, or false with the last error set.
bool Source(DWORD flags, LPCVOID source, DWORD id, DWORD language, bool wideForm, std::u16string* text)
{
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        *text = wideForm ? WideOf(static_cast<const WCHAR*>(source)) : Widen8(static_cast<const char*>(source), CP_ACP);
        return true;
    }
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        SetLastError(flags & FORMAT_MESSAGE_FROM_HMODULE ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return false;
    }
    // The system's texts are English; a neutral language id takes them too.
    const WORD primary = PRIMARYLANGID(language);
    if (language != 0 && primary != LANG_NEUTRAL && primary != LANG_ENGLISH) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return false;
    }
    for (const SystemText& t : kSystemTexts) {
        if (t.code == id) {
            *text = Widen8(t.text, CP_ACP) + u"\r\n";
            return true;
        }
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
}

}  // namespace
}  // namespace host

extern "C" {

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list* Arguments)
{
    std::u16string text, out;
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!host::Source(dwFlags, lpSource, dwMessageId, dwLanguageId, true, &text) ||
        !host::Format(dwFlags, text, true, Arguments, &out))
        return 0;
    const size_t units = out.size() + 1;
    WCHAR* dst = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t room = units > nSize ? units : nSize;
        dst = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, static_cast<UINT>(room * sizeof(WCHAR))));
        if (dst == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<WCHAR**>(lpBuffer) = dst;
    } else if (units > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dst, out.c_str(), units * sizeof(WCHAR));
    return static_cast<DWORD>(out.size());
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments)
{
    std::u16string text, out;
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!host::Source(dwFlags, lpSource, dwMessageId, dwLanguageId, false, &text) ||
        !host::Format(dwFlags, text, false, Arguments, &out))
        return 0;
    std::string bytes;
    if (!out.empty()) {
        int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(out.data()), static_cast<int>(out.size()),
                                    nullptr, 0, nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(out.data()), static_cast<int>(out.size()),
                            &bytes[0], n, nullptr, nullptr);
    }
    const size_t units = bytes.size() + 1;
    char* dst = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t room = units > nSize ? units : nSize;
        dst = static_cast<char*>(LocalAlloc(LMEM_FIXED, static_cast<UINT>(room)));
        if (dst == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<char**>(lpBuffer) = dst;
    } else if (units > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dst, bytes.c_str(), units);
    return static_cast<DWORD>(bytes.size());
}

}  // extern "C"
