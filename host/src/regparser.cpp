// The .reg parser: sections, values and their continuation lines.
#include "regparser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

#include "host/host.h"
#include "host/platform.h"
#include "regtext.h"

namespace host {
namespace {

using regtext::IsSpace;
using regtext::SkipSpace;
using regtext::AppendQuotedUtf16;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* prefix)
{
    for (size_t i = 0; prefix[i]; ++i) {
        if (pos + i >= s.size())
            return false;
        char a = s[pos + i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// True when only blanks and perhaps a ; comment follow pos.
bool RestIsEmpty(const std::string& s, size_t pos)
{
    pos = SkipSpace(s, pos);
    return pos == s.size() || s[pos] == ';';
}


// A quoted string starting at s[pos] == '"', with \\ and \" escapes.  Leaves
// pos after the closing quote.
std::string ParseQuoted(const std::string& s, size_t& pos, const char* what)
{
    std::string out;
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c == '\\') {
            if (pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
                out += s[++pos];
                continue;
            }
            throw RegLineError{"\\\\ or \\\" after a backslash"};
        }
        out += c;
    }
    throw RegLineError{std::string("\" to close the ") + what};
}

std::vector<uint8_t> QuotedStringData(const std::string& s, size_t& pos, const char* what)
{
    std::vector<uint8_t> data;
    AppendQuotedUtf16(s, pos, what, data);
    data.push_back(0);
    data.push_back(0);
    return data;
}

struct RootName {
    const char* name;
    RegRoot root;
};
const RootName kRootNames[] = {
    {"HKEY_LOCAL_MACHINE", RegRoot::LocalMachine}, {"HKLM", RegRoot::LocalMachine},
    {"HKEY_CURRENT_USER", RegRoot::CurrentUser},   {"HKCU", RegRoot::CurrentUser},
    {"HKEY_CLASSES_ROOT", RegRoot::ClassesRoot},   {"HKCR", RegRoot::ClassesRoot},
    {"HKEY_USERS", RegRoot::Users},                {"HKU", RegRoot::Users},
};

// Thrown where a statement runs past the lines handed over so far, when
// more may follow: the statement is parsed again with them.
struct NeedMoreLines {};

}  // namespace

class RegParser::Impl {
public:
    explicit Impl(RegWarnings* warnings) : warnings_(warnings) {}

    // Parses the statements that end within `lines`, letting each go once
    // parsed; what is left (the start of a statement that goes on past the
    // last line) stays in `lines` for the next call.
    void Parse(std::vector<RegLine>& lines, bool last)
    {
        lines_ = &lines;
        last_ = last;
        size_t released = 0;   // lines before this one are parsed and their text let go
        for (index_ = 0; index_ < lines.size(); ++index_) {
            for (; released < index_; ++released)
                std::string().swap(lines[released].text);
            const size_t start = index_;
            const RegChangeList::Mark changes = changes_.Here();
            const RegWarnings::Mark warned = warnings_->Here();
            const bool first = first_;
            try {
                Statement();
            } catch (const NeedMoreLines&) {
                // Again from its first line, with the lines still to come.
                index_ = start;
                changes_.Back(changes);
                warnings_->Back(warned);
                first_ = first;
                unquotedName_.clear();
                break;
            }
        }
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(index_, lines.size())));
        lines_ = nullptr;
    }

    RegChangeList Take()
    {
        RegChangeList out = std::move(changes_);
        changes_ = RegChangeList();
        return out;
    }

private:
    std::vector<RegLine>& Lines() { return *lines_; }

    // One statement from the line at index_ on; leaves index_ on its last
    // line.
    void Statement()
    {
        std::vector<RegLine>& lines = Lines();
        const std::string& raw = lines[index_].text;
        size_t pos = SkipSpace(raw, 0);
        if (pos == raw.size())
            return;
        if (!first_ && raw[pos] == '"') {   // most lines: a value
            try {
                Value(pos);
            } catch (const RegLineError& e) {
                throw RegError{*lines[index_].file, lines[index_].line, "expected " + e.expected};
            }
            return;
        }
        size_t end = raw.size();
        while (end > pos && IsSpace(raw[end - 1]))
            --end;
        const std::string content(raw, pos, end - pos);   // one copy: a key line may be as long as the file
        if (first_ && (content == "REGEDIT4" || content == "Windows Registry Editor Version 5.00")) {
            first_ = false;
            return;
        }
        first_ = false;
        try {
            if (content[0] == ';')
                CommentedContinuation(content);
            else if (content[0] == '[')
                Section(content, 1);
            else if (content[0] == '"' || content[0] == '@')
                Value(pos);
            else if (MissingBracket(content))
                Section(content, 0);
            else if (UnquotedName(raw, pos))
                Value(pos);
            else
                throw RegLineError{"[key], \"name\"=value, @=value or ; comment"};
        } catch (const RegLineError& e) {
            throw RegError{*lines[index_].file, lines[index_].line, "expected " + e.expected};
        }
    }

private:
    void Warn(const std::string& what) { Warn(index_, what); }
    void Warn(size_t at, const std::string& what)
    {
        warnings_->Add(*Lines()[at].file + ":" + std::to_string(Lines()[at].line) + ": " + what);
    }

    // A commented-out value whose continuation lines follow it
    // (";  \"Tclas\"=hex:\" then bare "  01,02,\" lines): the lines it
    // continues onto are part of the comment.  They end at the first line
    // that does not end in \, or before a line that starts a key or a value.
    void CommentedContinuation(const std::string& content)
    {
        if (!ContinuesAt(content, content.size() - 1))
            return;
        const size_t first = index_;
        for (;;) {
            if (index_ + 1 >= Lines().size()) {
                if (!last_)
                    throw NeedMoreLines{};
                break;
            }
            const std::string& next = Lines()[index_ + 1].text;
            const size_t at = SkipSpace(next, 0);
            if (at == next.size() || next[at] == '[' || next[at] == '"' || next[at] == '@' || next[at] == ';')
                break;
            ++index_;
            if (!ContinuesAt(next, next.find_last_not_of(" \t")))
                break;
        }
        if (index_ > first)
            Warn(first, "the comment ends in \\ and the next " + std::to_string(index_ - first) +
                 (index_ - first == 1 ? " line continues" : " lines continue") +
                 " it: read as part of the comment (a value commented out with its continuation lines)");
    }

    // A key line without its opening bracket: "HKEY_LOCAL_MACHINE\...]".
    bool MissingBracket(const std::string& content)
    {
        if (content.back() != ']' && content.find(']') == std::string::npos)
            return false;
        for (const RootName& r : kRootNames) {
            const size_t n = std::strlen(r.name);
            if (StartsWithNoCase(content, 0, r.name) && (content.size() == n || content[n] == '\\' || content[n] == ']')) {
                Warn("a key without its opening [: read as [" + content.substr(0, content.find(']') + 1));
                return true;
            }
        }
        return false;
    }

    // A value name without quotes ("Default=dword:0"): a name of letters,
    // digits and _ . - then =.
    bool UnquotedName(const std::string& s, size_t pos)
    {
        size_t end = pos;
        while (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_' || s[end] == '.' || s[end] == '-'))
            ++end;
        if (end == pos || SkipSpace(s, end) == s.size() || s[SkipSpace(s, end)] != '=')
            return false;
        unquotedName_ = s.substr(pos, end - pos);
        Warn("the value name " + unquotedName_ + " has no quotes: read as \"" + unquotedName_ + "\"");
        return true;
    }

    // The name is taken out of the line once: a key line may be as long as
    // the file.
    void Section(const std::string& s, size_t open)
    {
        size_t close = s.find(']');
        if (close == std::string::npos)
            throw RegLineError{"] to close the key name"};
        if (!RestIsEmpty(s, close + 1))
            throw RegLineError{"nothing after ]"};
        // The page "Registry File" has no key deletion: [-KEY] is the
        // desktop registry editor's, and an image would still hold the key.
        if (s.size() > open && s[open] == '-')
            throw RegLineError{"a key name after [ ([-KEY] deletes a key in the desktop's registry editor; the "
                               "image build's registry files have no deletion: leave the key out instead)"};
        const size_t start = open;
        // Blanks around the name ("[...\Params ]") would make another key
        // than the one meant.
        size_t first = start, last = close;
        while (first < last && IsSpace(s[first]))
            ++first;
        while (last > first && IsSpace(s[last - 1]))
            --last;
        if (first != start || last != close)
            Warn("blanks around the key name " + s.substr(start, close - start) + ": read as [" +
                 s.substr(first, last - first) + "]");
        size_t slash = s.find('\\', first);
        if (slash >= last)
            slash = std::string::npos;
        const size_t rootEnd = slash == std::string::npos ? last : slash;
        const RootName* root = nullptr;
        for (const RootName& r : kRootNames)
            if (rootEnd - first == std::strlen(r.name) && StartsWithNoCase(s, first, r.name))
                root = &r;
        if (!root)
            throw RegLineError{"HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS as the root key"};
        const size_t keyAt = slash == std::string::npos ? last : slash + 1;
        // Each part between backslashes names a key, and a path may not
        // start with a backslash (the platform's RegCreateKeyEx page):
        // "[KEY\]" or "a\\b" would name a key without a name.
        if (slash != std::string::npos &&
            (keyAt == last || s[last - 1] == '\\' || s.find("\\\\", slash) < last))
            throw RegLineError{"a key name after each \\ (" + s.substr(first, last - first) +
                               " has an empty one; a key name cannot be empty)"};
        std::string key = s.substr(keyAt, last - keyAt);
        // The same key again, with nothing between, changes nothing more.
        if (!changes_.LastCreates(root->root, key)) {
            changes_.Push(RegChange{RegChange::CreateKey, root->root, std::move(key), {}, REG_NONE, {}});
            key.assign(s, keyAt, last - keyAt);
        }
        haveKey_ = true;
        root_ = root->root;
        key_ = std::move(key);
    }

    void Value(size_t pos)
    {
        const std::string& s = Lines()[index_].text;
        if (!haveKey_)
            throw RegLineError{"a [ROOT\\...] section before values"};
        std::string name;
        if (!unquotedName_.empty()) {
            name = std::move(unquotedName_);
            unquotedName_.clear();
            pos += name.size();
        } else if (s[pos] == '@') {
            ++pos;
        } else {
            name = ParseQuoted(s, pos, "value name");
        }
        pos = SkipSpace(s, pos);
        if (pos == s.size() || s[pos] != '=')
            throw RegLineError{"= after the value name"};
        pos = SkipSpace(s, pos + 1);

        RegChange c{RegChange::SetValue, root_, key_, name, REG_NONE, {}};
        if (pos < s.size() && s[pos] == '"') {
            c.data = QuotedStringData(s, pos, "string");
            ExpectEnd(s, pos, "end of line after the string");
            c.type = REG_SZ;
        } else if (pos < s.size() && s[pos] == '-') {
            ExpectEnd(s, pos + 1, "end of line after -");
            c.kind = RegChange::DeleteValue;
        } else if (StartsWithNoCase(s, pos, "dword:")) {
            // The build's documentation writes "dword: NNNNN", with a blank.
            pos = SkipSpace(s, pos + 6);
            uint32_t v = 0;
            size_t digits = 0;
            for (; pos < s.size() && HexDigit(s[pos]) >= 0; ++pos, ++digits)
                v = (v << 4) | static_cast<uint32_t>(HexDigit(s[pos]));
            if (digits == 0 || digits > 8)
                throw RegLineError{"1 to 8 hex digits after dword:"};
            ExpectEnd(s, pos, "end of line after the dword");
            c.type = REG_DWORD;
            c.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                      static_cast<uint8_t>(v >> 24)};
        } else if (StartsWithNoCase(s, pos, "mui_sz:")) {
            // "DisplayName"=mui_sz:"netmui.dll,#9001": the platform's
            // REG_MUI_SZ, a string naming a resource.
            pos = SkipSpace(s, pos + 7);
            if (pos >= s.size() || s[pos] != '"')
                throw RegLineError{"a quoted string after mui_sz:"};
            c.data = QuotedStringData(s, pos, "string");
            ExpectEnd(s, pos, "end of line after the string");
            c.type = kRegMuiSz;
        } else if (StartsWithNoCase(s, pos, "multi_sz:")) {
            c.type = REG_MULTI_SZ;
            c.data = MultiStrings(pos + 9);
        } else if (StartsWithNoCase(s, pos, "hex:")) {
            c.type = REG_BINARY;
            c.data = HexBytes(pos + 4);
        } else if (StartsWithNoCase(s, pos, "hex(")) {
            pos += 4;
            uint32_t type = 0;
            size_t digits = 0;
            for (; pos < s.size() && HexDigit(s[pos]) >= 0; ++pos, ++digits)
                type = (type << 4) | static_cast<uint32_t>(HexDigit(s[pos]));
            if (digits == 0 || digits > 8 || !StartsWithNoCase(s, pos, "):"))
                throw RegLineError{"hex(N): with N a hex type number"};
            c.type = type;
            c.data = HexBytes(pos + 2);
        } else {
            throw RegLineError{"\"text\", dword:, multi_sz:, mui_sz:, hex:, hex(N): or - after ="};
        }
        changes_.Push(std::move(c));
    }

    static void ExpectEnd(const std::string& s, size_t pos, const char* what)
    {
        if (!RestIsEmpty(s, pos))
            throw RegLineError{what};
    }

    // Moves to the next line of a list; throws when there is none.
    void Continue(const std::string& what)
    {
        if (index_ + 1 >= Lines().size()) {
            if (!last_)
                throw NeedMoreLines{};
            throw RegLineError{"another line of " + what};
        }
        ++index_;
    }

    static bool ContinuesAt(const std::string& s, size_t pos)
    {
        return pos < s.size() && s[pos] == '\\' && SkipSpace(s, pos + 1) == s.size();
    }

    // Comma-separated quoted strings from the current line at pos on, each
    // stored as UTF-16 with its terminator and the list with one more.  A
    // backslash at the end of a line continues the list on the next line,
    // and so does a comma that ends a line (as boards' files write long
    // lists).
    std::vector<uint8_t> MultiStrings(size_t pos)
    {
        std::vector<uint8_t> out;
        bool needString = false;   // after a comma
        for (;;) {
            const std::string& s = Lines()[index_].text;
            pos = SkipSpace(s, pos);
            if (ContinuesAt(s, pos)) {
                Continue("strings after \\");
                pos = 0;
                continue;
            }
            if (pos == s.size() || s[pos] == ';') {
                if (needString) {
                    Continue("strings after ,");
                    pos = 0;
                    continue;
                }
                out.push_back(0);
                out.push_back(0);
                return out;
            }
            if (s[pos] != '"')
                throw RegLineError{needString ? "a quoted string after ," : out.empty() ? "a quoted string"
                                                                                      : ", between strings"};
            if (!needString && !out.empty())
                throw RegLineError{", between strings"};
            AppendQuotedUtf16(s, pos, "string", out);
            out.push_back(0);
            out.push_back(0);
            pos = SkipSpace(s, pos);
            needString = pos < s.size() && s[pos] == ',';
            if (needString)
                ++pos;
        }
    }

    // Comma-separated bytes from the current line at pos on; a \ at the end
    // of a line continues the list on the next line.  Leaves index_ on the
    // last line used.
    std::vector<uint8_t> HexBytes(size_t pos)
    {
        std::vector<uint8_t> out;
        bool needByte = false;   // after a comma
        for (;;) {
            const std::string& s = Lines()[index_].text;
            pos = SkipSpace(s, pos);
            if (ContinuesAt(s, pos)) {
                Continue("hex bytes after \\");
                pos = 0;
                continue;
            }
            if (pos == s.size() || s[pos] == ';') {
                if (needByte)
                    throw RegLineError{"a hex byte after ,"};
                return out;
            }
            int hi = HexDigit(s[pos]);
            if (hi < 0)
                throw RegLineError{needByte || out.empty() ? "a hex byte (two hex digits)" : ", between hex bytes"};
            if (!needByte && !out.empty())
                throw RegLineError{", between hex bytes"};
            int value = hi;
            ++pos;
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                value = value * 16 + HexDigit(s[pos++]);
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                throw RegLineError{"a hex byte (two hex digits)"};
            out.push_back(static_cast<uint8_t>(value));
            pos = SkipSpace(s, pos);
            needByte = pos < s.size() && s[pos] == ',';
            if (needByte)
                ++pos;
        }
    }

    std::vector<RegLine>* lines_ = nullptr;   // the lines of the current call
    bool last_ = true;                         // no lines come after them
    bool first_ = true;                        // no statement read yet (a header may come)
    RegWarnings* warnings_;
    std::string unquotedName_;   // the name UnquotedName found, for Value
    size_t index_ = 0;
    bool haveKey_ = false;
    RegRoot root_ = RegRoot::LocalMachine;
    std::string key_;
    RegChangeList changes_;
};

RegParser::RegParser(RegWarnings* warnings) : impl_(new Impl(warnings)) {}
RegParser::~RegParser() = default;

void RegParser::Parse(std::vector<RegLine>& lines, bool last)
{
    impl_->Parse(lines, last);
}

RegChangeList RegParser::Take()
{
    return impl_->Take();
}

std::vector<uint8_t> RegStringData(const std::string& utf8)
{
    std::vector<uint8_t> data;
    for (char16_t c : Widen(utf8)) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<RegChange> ParseRegLines(std::vector<RegLine>&& lines, std::vector<std::string>* warnings)
{
    RegWarnings list(warnings);
    RegParser parser(&list);
    parser.Parse(lines, true);
    list.Close();
    RegChangeList changes = parser.Take();
    std::vector<RegChange> out;
    for (RegChange c; changes.Pop(c);)
        out.push_back(std::move(c));
    return out;
}

}  // namespace host
