// The .reg loader: parses the whole text into a list of changes first and
// applies them only when every line parsed, so a broken file changes nothing.
#include <fstream>
#include <sstream>

#include "host/host.h"
#include "host/registry.h"

namespace host {
namespace {

const char kRoot[] = "HKEY_LOCAL_MACHINE";

struct Change {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string key;
    std::string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

// Thrown with the physical line and what was expected there.
struct SyntaxError {
    int line;
    std::string expected;
};

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

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

size_t SkipSpace(const std::string& s, size_t pos)
{
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    return pos;
}

// True when only blanks and perhaps a ; comment follow pos.
bool RestIsEmpty(const std::string& s, size_t pos)
{
    pos = SkipSpace(s, pos);
    return pos == s.size() || s[pos] == ';';
}

std::string TrimRight(std::string s)
{
    while (!s.empty() && IsSpace(s.back()))
        s.pop_back();
    return s;
}

// A quoted string starting at s[pos] == '"', with \\ and \" escapes.  Leaves
// pos after the closing quote.
std::string ParseQuoted(const std::string& s, size_t& pos, int line, const char* what)
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
            throw SyntaxError{line, "\\\\ or \\\" after a backslash"};
        }
        out += c;
    }
    throw SyntaxError{line, std::string("\" to close the ") + what};
}

std::vector<uint8_t> Utf16Z(const std::string& utf8)
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

class Parser {
public:
    explicit Parser(const std::string& text) { SplitLines(text); }

    std::vector<Change> Run()
    {
        bool first = true;
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            const std::string& raw = lines_[index_];
            size_t pos = SkipSpace(raw, 0);
            if (pos == raw.size())
                continue;
            std::string content = TrimRight(raw.substr(pos));
            if (first && (content == "REGEDIT4" || content == "Windows Registry Editor Version 5.00")) {
                first = false;
                continue;
            }
            first = false;
            if (content[0] == ';')
                continue;
            if (content[0] == '[')
                Section(content);
            else if (content[0] == '"' || content[0] == '@')
                Value(pos);
            else
                throw SyntaxError{Line(), "[key], \"name\"=value, @=value or ; comment"};
        }
        return std::move(changes_);
    }

private:
    int Line() const { return static_cast<int>(index_) + 1; }

    void SplitLines(const std::string& text)
    {
        std::string line;
        for (char c : text) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines_.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())   // no line after the last line feed
            lines_.push_back(line);
    }

    void Section(const std::string& s)
    {
        size_t close = s.find(']');
        if (close == std::string::npos)
            throw SyntaxError{Line(), "] to close the key name"};
        if (!RestIsEmpty(s, close + 1))
            throw SyntaxError{Line(), "nothing after ]"};
        bool remove = s.size() > 1 && s[1] == '-';
        std::string path = s.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
        size_t slash = path.find('\\');
        std::string root = path.substr(0, slash);
        if (!StartsWithNoCase(root, 0, kRoot) || root.size() != sizeof kRoot - 1)
            throw SyntaxError{Line(), "HKEY_LOCAL_MACHINE as the root key"};
        std::string key = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        Change c{remove ? Change::DeleteKey : Change::CreateKey, key, {}, REG_NONE, {}};
        changes_.push_back(c);
        haveKey_ = !remove;
        key_ = key;
    }

    void Value(size_t pos)
    {
        const std::string& s = lines_[index_];
        if (!haveKey_)
            throw SyntaxError{Line(), "a [HKEY_LOCAL_MACHINE\\...] section before values"};
        std::string name;
        if (s[pos] == '@')
            ++pos;
        else
            name = ParseQuoted(s, pos, Line(), "value name");
        pos = SkipSpace(s, pos);
        if (pos == s.size() || s[pos] != '=')
            throw SyntaxError{Line(), "= after the value name"};
        pos = SkipSpace(s, pos + 1);

        Change c{Change::SetValue, key_, name, REG_NONE, {}};
        if (pos < s.size() && s[pos] == '"') {
            std::string text = ParseQuoted(s, pos, Line(), "string");
            ExpectEnd(s, pos, "end of line after the string");
            c.type = REG_SZ;
            c.data = Utf16Z(text);
        } else if (pos < s.size() && s[pos] == '-') {
            ExpectEnd(s, pos + 1, "end of line after -");
            c.kind = Change::DeleteValue;
        } else if (StartsWithNoCase(s, pos, "dword:")) {
            pos += 6;
            uint32_t v = 0;
            size_t digits = 0;
            for (; pos < s.size() && HexDigit(s[pos]) >= 0; ++pos, ++digits)
                v = (v << 4) | static_cast<uint32_t>(HexDigit(s[pos]));
            if (digits == 0 || digits > 8)
                throw SyntaxError{Line(), "1 to 8 hex digits after dword:"};
            ExpectEnd(s, pos, "end of line after the dword");
            c.type = REG_DWORD;
            c.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                      static_cast<uint8_t>(v >> 24)};
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
                throw SyntaxError{Line(), "hex(N): with N a hex type number"};
            c.type = type;
            c.data = HexBytes(pos + 2);
        } else {
            throw SyntaxError{Line(), "\"text\", dword:, hex:, hex(N): or - after ="};
        }
        changes_.push_back(std::move(c));
    }

    void ExpectEnd(const std::string& s, size_t pos, const char* what) const
    {
        if (!RestIsEmpty(s, pos))
            throw SyntaxError{Line(), what};
    }

    // Comma-separated bytes from lines_[index_] at pos on; a \ at the end of
    // a line continues the list on the next line.  Leaves index_ on the last
    // line used.
    std::vector<uint8_t> HexBytes(size_t pos)
    {
        std::vector<uint8_t> out;
        bool needByte = false;   // after a comma
        for (;;) {
            const std::string& s = lines_[index_];
            pos = SkipSpace(s, pos);
            if (pos < s.size() && s[pos] == '\\' && SkipSpace(s, pos + 1) == s.size()) {
                if (index_ + 1 >= lines_.size())
                    throw SyntaxError{Line(), "another line of hex bytes after \\"};
                ++index_;
                pos = 0;
                continue;
            }
            if (pos == s.size() || s[pos] == ';') {
                if (needByte)
                    throw SyntaxError{Line(), "a hex byte after ,"};
                return out;
            }
            int hi = HexDigit(s[pos]);
            if (hi < 0)
                throw SyntaxError{Line(), needByte || out.empty() ? "a hex byte (two hex digits)"
                                                                  : ", between hex bytes"};
            if (!needByte && !out.empty())
                throw SyntaxError{Line(), ", between hex bytes"};
            int value = hi;
            ++pos;
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                value = value * 16 + HexDigit(s[pos++]);
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                throw SyntaxError{Line(), "a hex byte (two hex digits)"};
            out.push_back(static_cast<uint8_t>(value));
            pos = SkipSpace(s, pos);
            needByte = pos < s.size() && s[pos] == ',';
            if (needByte)
                ++pos;
        }
    }

    std::vector<std::string> lines_;
    size_t index_ = 0;
    bool haveKey_ = false;
    std::string key_;
    std::vector<Change> changes_;
};

// UTF-16LE (with its byte-order mark) to UTF-8; a UTF-8 mark is dropped.
std::string DecodeText(const std::string& bytes)
{
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return bytes.substr(3);
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        std::u16string w;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            w.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
        return Narrow(w);
    }
    return bytes;
}

}  // namespace

bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error)
{
    std::vector<Change> changes;
    try {
        changes = Parser(DecodeText(text)).Run();
    } catch (const SyntaxError& e) {
        if (error)
            *error = sourceName + ":" + std::to_string(e.line) + ": expected " + e.expected;
        return false;
    }
    for (const Change& c : changes) {
        switch (c.kind) {
        case Change::CreateKey: RegistryCreateKey(c.key); break;
        case Change::DeleteKey: RegistryDeleteKey(c.key); break;
        case Change::SetValue: RegistrySetValue(c.key, c.name, c.type, c.data); break;
        case Change::DeleteValue: RegistryDeleteValue(c.key, c.name); break;
        }
    }
    return true;
}

bool RegistryLoadFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return RegistryLoadText(text.str(), path, error);
}

}  // namespace host
