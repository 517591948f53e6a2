// The .reg loader: expands the preprocessor lines (#include, #if ...) into
// the lines that count, parses those into a list of changes, and applies the
// changes only when every line of every file parsed, so a broken file
// changes nothing.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <list>
#include <sstream>

#include "host/host.h"
#include "host/registry.h"

namespace host {
namespace {

struct Change {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    RegRoot root;
    std::string key;
    std::string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

// Thrown with the place and what was expected there.
struct SyntaxError {
    std::string file;
    int line;
    std::string expected;
};

// A line that counts, with where it came from.
struct SourceLine {
    const std::string* file;
    int line;
    std::string text;
};

const int kMaxIncludeDepth = 16;

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

// Thrown where only the line's text is known; the parser adds the place.
struct LineError {
    std::string expected;
};

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
            throw LineError{"\\\\ or \\\" after a backslash"};
        }
        out += c;
    }
    throw LineError{std::string("\" to close the ") + what};
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


// ---- Preprocessor ------------------------------------------------------------------

// Evaluates an #if expression: integers, names (their value when defined,
// else 0), defined NAME / defined(NAME), !, ==, !=, &&, || and parentheses.
// Throws LineError when it cannot.
class Expression {
public:
    Expression(const std::string& text, const std::map<std::string, std::string>& defines)
        : s_(text), defines_(defines)
    {
    }

    long long Evaluate()
    {
        long long v = Or();
        pos_ = SkipSpace(s_, pos_);
        if (pos_ != s_.size())
            throw LineError{"an operator"};
        return v;
    }

private:
    bool Take(const char* op)
    {
        pos_ = SkipSpace(s_, pos_);
        size_t n = std::strlen(op);
        if (s_.compare(pos_, n, op) != 0)
            return false;
        pos_ += n;
        return true;
    }

    long long Or()
    {
        long long v = And();
        while (Take("||"))
            v = (And() != 0) || v != 0;
        return v;
    }

    long long And()
    {
        long long v = Equality();
        while (Take("&&"))
            v = (Equality() != 0) && v != 0;
        return v;
    }

    long long Equality()
    {
        long long v = Unary();
        for (;;) {
            if (Take("=="))
                v = v == Unary();
            else if (Take("!="))
                v = v != Unary();
            else
                return v;
        }
    }

    long long Unary()
    {
        if (Take("!"))
            return Unary() == 0;
        if (Take("(")) {
            long long v = Or();
            if (!Take(")"))
                throw LineError{")"};
            return v;
        }
        std::string word = Word();
        if (word.empty())
            throw LineError{"a name or a number"};
        if (word == "defined") {
            bool paren = Take("(");
            std::string name = Word();
            if (name.empty() || (paren && !Take(")")))
                throw LineError{"defined(NAME)"};
            return defines_.count(name) != 0;
        }
        if (word[0] >= '0' && word[0] <= '9')
            return Number(word);
        auto d = defines_.find(word);
        if (d == defines_.end())
            return 0;
        std::string value = d->second;
        while (!value.empty() && IsSpace(value.back()))
            value.pop_back();
        if (value.empty())
            return 1;
        return Number(value);
    }

    std::string Word()
    {
        pos_ = SkipSpace(s_, pos_);
        size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
            ++pos_;
        return s_.substr(start, pos_ - start);
    }

    static long long Number(const std::string& text)
    {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0')
            throw LineError{"a number, not '" + text + "'"};
        return v;
    }

    const std::string& s_;
    const std::map<std::string, std::string>& defines_;
    size_t pos_ = 0;
};

std::string ReadWholeFile(const std::string& path, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = "is a directory, not a .reg file";
        return std::string();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot be read";
        return std::string();
    }
    std::ostringstream text;
    text << in.rdbuf();
    why->clear();
    return text.str();
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Turns files into the lines that count.
class Preprocessor {
public:
    explicit Preprocessor(const RegLoadOptions& options)
        : defines_(options.defines), warnings_(options.warnings)
    {
    }

    void Add(const std::string& text, const std::string& name, int depth)
    {
        names_.push_back(name);
        const std::string* file = &names_.back();
        std::vector<std::string> lines = SplitLines(text);
        struct Branch {
            int line;              // of the #if
            bool outerActive;      // lines around the #if count
            bool taken;            // a branch of this #if was taken already
            bool active;           // lines of the current branch count
            bool sawElse;
            int skipFrom;          // first line of the branch being skipped, or 0
            std::string why;       // the directive that started the skipped branch
        };
        std::vector<Branch> branches;
        auto active = [&] { return branches.empty() || branches.back().active; };
        auto endSkip = [&](Branch& b, int line) {
            if (b.skipFrom && b.outerActive)
                Warn(*file, b.skipFrom, "lines " + std::to_string(b.skipFrom) + "-" + std::to_string(line) +
                                            " skipped (" + b.why + " not taken)");
            b.skipFrom = 0;
        };
        auto startBranch = [&](Branch& b, bool condition, int line, const std::string& why) {
            b.active = b.outerActive && !b.taken && condition;
            b.taken = b.taken || b.active;
            if (!b.active && b.outerActive) {
                b.skipFrom = line;
                b.why = why;
            }
        };

        for (size_t i = 0; i < lines.size(); ++i) {
            const int line = static_cast<int>(i) + 1;
            const std::string& raw = lines[i];
            size_t pos = SkipSpace(raw, 0);
            if (pos == raw.size() || raw[pos] != '#') {
                if (active())
                    out_.push_back({file, line, raw});
                continue;
            }
            size_t wordEnd = pos + 1;
            while (wordEnd < raw.size() && std::isalpha(static_cast<unsigned char>(raw[wordEnd])))
                ++wordEnd;
            const std::string directive = raw.substr(pos + 1, wordEnd - pos - 1);
            std::string arg = TrimRight(raw.substr(SkipSpace(raw, wordEnd)));
            const std::string shown = "#" + directive + (arg.empty() ? "" : " " + arg);
            try {
                if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
                    Branch b{line, active(), false, false, false, 0, std::string()};
                    bool condition = false;
                    if (b.outerActive)
                        condition = Condition(directive, arg, *file, line);
                    startBranch(b, condition, line, shown);
                    branches.push_back(b);
                } else if (directive == "elif" || directive == "else") {
                    if (branches.empty() || branches.back().sawElse)
                        throw LineError{"#if before #" + directive};
                    Branch& b = branches.back();
                    endSkip(b, line);
                    b.sawElse = directive == "else";
                    bool condition = true;
                    if (directive == "elif" && b.outerActive && !b.taken)
                        condition = Condition("if", arg, *file, line);
                    startBranch(b, condition, line, b.sawElse ? "#else of the #if at line " + std::to_string(b.line) : shown);
                } else if (directive == "endif") {
                    if (branches.empty())
                        throw LineError{"#if before #endif"};
                    endSkip(branches.back(), line);
                    branches.pop_back();
                } else if (!active()) {
                    // Not parsed in a branch not taken.
                } else if (directive == "define" || directive == "undef") {
                    size_t nameEnd = 0;
                    while (nameEnd < arg.size() && !IsSpace(arg[nameEnd]))
                        ++nameEnd;
                    if (nameEnd == 0)
                        throw LineError{"a name after #" + directive};
                    if (directive == "define")
                        defines_[arg.substr(0, nameEnd)] = TrimRight(arg.substr(SkipSpace(arg, nameEnd)));
                    else
                        defines_.erase(arg.substr(0, nameEnd));
                } else if (directive == "include") {
                    Include(arg, *file, depth);
                } else {
                    Warn(*file, line, "unknown directive " + shown + " ignored");
                }
            } catch (const LineError& e) {
                throw SyntaxError{*file, line, e.expected};
            }
        }
        if (!branches.empty())
            throw SyntaxError{*file, branches.back().line, "#endif for this #if before the end of the file"};
    }

    std::vector<SourceLine> TakeLines() { return std::move(out_); }

private:
    static std::vector<std::string> SplitLines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::string line;
        for (char c : text) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())   // no line after the last line feed
            lines.push_back(line);
        return lines;
    }

    bool Condition(const std::string& directive, const std::string& arg, const std::string& file, int line)
    {
        if (directive != "if") {
            std::string name = arg;
            size_t comment = name.find_first_of(" \t;");
            if (comment != std::string::npos)
                name.resize(comment);
            if (name.empty())
                throw LineError{"a name after #" + directive};
            bool defined = defines_.count(name) != 0;
            return directive == "ifdef" ? defined : !defined;
        }
        try {
            return Expression(arg, defines_).Evaluate() != 0;
        } catch (const LineError& e) {
            Warn(file, line, "cannot evaluate #if " + arg + " (expected " + e.expected + "); taken as false");
            return false;
        }
    }

    void Include(const std::string& arg, const std::string& file, int depth)
    {
        if (arg.size() < 2 || arg[0] != '"' || arg.find('"', 1) == std::string::npos ||
            !RestIsEmpty(arg, arg.find('"', 1) + 1))
            throw LineError{"#include \"file\""};
        std::string name = arg.substr(1, arg.find('"', 1) - 1);
        if (name.empty())
            throw LineError{"#include \"file\""};
        std::string path = name[0] == '/' ? name : DirectoryOf(file) + name;
        if (depth >= kMaxIncludeDepth)
            throw LineError{"at most " + std::to_string(kMaxIncludeDepth) + " nested #include (" + path +
                            " includes itself?)"};
        std::string why;
        std::string text = ReadWholeFile(path, &why);
        if (!why.empty())
            throw LineError{"a file to include: " + path + " " + why};
        Add(DecodeText(text), path, depth + 1);
    }

    void Warn(const std::string& file, int line, const std::string& what)
    {
        if (warnings_)
            warnings_->push_back(file + ":" + std::to_string(line) + ": " + what);
    }

    std::map<std::string, std::string> defines_;
    std::vector<std::string>* warnings_;
    std::list<std::string> names_;   // file names the lines point to; a list keeps them in place
    std::vector<SourceLine> out_;
};

// ---- Parser --------------------------------------------------------------------------

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

class Parser {
public:
    explicit Parser(std::vector<SourceLine> lines) : lines_(std::move(lines)) {}

    std::vector<Change> Run()
    {
        bool first = true;
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            const std::string& raw = lines_[index_].text;
            size_t pos = SkipSpace(raw, 0);
            if (pos == raw.size())
                continue;
            std::string content = TrimRight(raw.substr(pos));
            if (first && (content == "REGEDIT4" || content == "Windows Registry Editor Version 5.00")) {
                first = false;
                continue;
            }
            first = false;
            try {
                if (content[0] == ';')
                    continue;
                if (content[0] == '[')
                    Section(content);
                else if (content[0] == '"' || content[0] == '@')
                    Value(pos);
                else
                    throw LineError{"[key], \"name\"=value, @=value or ; comment"};
            } catch (const LineError& e) {
                throw Error(e.expected);
            }
        }
        return std::move(changes_);
    }

private:
    SyntaxError Error(const std::string& expected) const
    {
        return SyntaxError{*lines_[index_].file, lines_[index_].line, expected};
    }

    void Section(const std::string& s)
    {
        size_t close = s.find(']');
        if (close == std::string::npos)
            throw LineError{"] to close the key name"};
        if (!RestIsEmpty(s, close + 1))
            throw LineError{"nothing after ]"};
        bool remove = s.size() > 1 && s[1] == '-';
        std::string path = s.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
        size_t slash = path.find('\\');
        std::string rootName = path.substr(0, slash);
        const RootName* root = nullptr;
        for (const RootName& r : kRootNames)
            if (StartsWithNoCase(rootName, 0, r.name) && rootName.size() == std::strlen(r.name))
                root = &r;
        if (!root)
            throw LineError{"HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS as the root key"};
        std::string key = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        changes_.push_back(Change{remove ? Change::DeleteKey : Change::CreateKey, root->root, key, {}, REG_NONE, {}});
        haveKey_ = !remove;
        root_ = root->root;
        key_ = key;
    }

    void Value(size_t pos)
    {
        const std::string& s = lines_[index_].text;
        if (!haveKey_)
            throw LineError{"a [ROOT\\...] section before values"};
        std::string name;
        if (s[pos] == '@')
            ++pos;
        else
            name = ParseQuoted(s, pos, "value name");
        pos = SkipSpace(s, pos);
        if (pos == s.size() || s[pos] != '=')
            throw LineError{"= after the value name"};
        pos = SkipSpace(s, pos + 1);

        Change c{Change::SetValue, root_, key_, name, REG_NONE, {}};
        if (pos < s.size() && s[pos] == '"') {
            std::string text = ParseQuoted(s, pos, "string");
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
                throw LineError{"1 to 8 hex digits after dword:"};
            ExpectEnd(s, pos, "end of line after the dword");
            c.type = REG_DWORD;
            c.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                      static_cast<uint8_t>(v >> 24)};
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
                throw LineError{"hex(N): with N a hex type number"};
            c.type = type;
            c.data = HexBytes(pos + 2);
        } else {
            throw LineError{"\"text\", dword:, multi_sz:, hex:, hex(N): or - after ="};
        }
        changes_.push_back(std::move(c));
    }

    static void ExpectEnd(const std::string& s, size_t pos, const char* what)
    {
        if (!RestIsEmpty(s, pos))
            throw LineError{what};
    }

    // Moves to the next line for a \ continuation; throws when there is none.
    void Continue(const char* what)
    {
        if (index_ + 1 >= lines_.size())
            throw LineError{std::string("another line of ") + what + " after \\"};
        ++index_;
    }

    static bool ContinuesAt(const std::string& s, size_t pos)
    {
        return pos < s.size() && s[pos] == '\\' && SkipSpace(s, pos + 1) == s.size();
    }

    // Comma-separated quoted strings from the current line at pos on, each
    // stored as UTF-16 with its terminator and the list with one more; a \ at
    // the end of a line continues the list on the next line.
    std::vector<uint8_t> MultiStrings(size_t pos)
    {
        std::vector<uint8_t> out;
        bool needString = false;   // after a comma
        for (;;) {
            const std::string& s = lines_[index_].text;
            pos = SkipSpace(s, pos);
            if (ContinuesAt(s, pos)) {
                Continue("strings");
                pos = 0;
                continue;
            }
            if (pos == s.size() || s[pos] == ';') {
                if (needString)
                    throw LineError{"a quoted string after ,"};
                out.push_back(0);
                out.push_back(0);
                return out;
            }
            if (s[pos] != '"')
                throw LineError{needString || out.empty() ? "a quoted string" : ", between strings"};
            if (!needString && !out.empty())
                throw LineError{", between strings"};
            std::vector<uint8_t> one = Utf16Z(ParseQuoted(s, pos, "string"));
            out.insert(out.end(), one.begin(), one.end());
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
            const std::string& s = lines_[index_].text;
            pos = SkipSpace(s, pos);
            if (ContinuesAt(s, pos)) {
                Continue("hex bytes");
                pos = 0;
                continue;
            }
            if (pos == s.size() || s[pos] == ';') {
                if (needByte)
                    throw LineError{"a hex byte after ,"};
                return out;
            }
            int hi = HexDigit(s[pos]);
            if (hi < 0)
                throw LineError{needByte || out.empty() ? "a hex byte (two hex digits)" : ", between hex bytes"};
            if (!needByte && !out.empty())
                throw LineError{", between hex bytes"};
            int value = hi;
            ++pos;
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                value = value * 16 + HexDigit(s[pos++]);
            if (pos < s.size() && HexDigit(s[pos]) >= 0)
                throw LineError{"a hex byte (two hex digits)"};
            out.push_back(static_cast<uint8_t>(value));
            pos = SkipSpace(s, pos);
            needByte = pos < s.size() && s[pos] == ',';
            if (needByte)
                ++pos;
        }
    }

    std::vector<SourceLine> lines_;
    size_t index_ = 0;
    bool haveKey_ = false;
    RegRoot root_ = RegRoot::LocalMachine;
    std::string key_;
    std::vector<Change> changes_;
};

bool Load(const std::string& text, const std::string& sourceName, std::string* error, const RegLoadOptions& options)
{
    std::vector<Change> changes;
    try {
        Preprocessor pre(options);
        pre.Add(DecodeText(text), sourceName, 0);
        changes = Parser(pre.TakeLines()).Run();
    } catch (const SyntaxError& e) {
        if (error)
            *error = e.file + ":" + std::to_string(e.line) + ": expected " + e.expected;
        return false;
    }
    for (const Change& c : changes) {
        switch (c.kind) {
        case Change::CreateKey: RegistryCreateKey(c.root, c.key); break;
        case Change::DeleteKey: RegistryDeleteKey(c.root, c.key); break;
        case Change::SetValue: RegistrySetValue(c.root, c.key, c.name, c.type, c.data); break;
        case Change::DeleteValue: RegistryDeleteValue(c.root, c.key, c.name); break;
        }
    }
    return true;
}

}  // namespace

bool RegistryLoadText(const std::string& text, const std::string& sourceName, std::string* error,
                      const RegLoadOptions& options)
{
    return Load(text, sourceName, error, options);
}

bool RegistryLoadFile(const std::string& path, std::string* error, const RegLoadOptions& options)
{
    std::string why;
    std::string text = ReadWholeFile(path, &why);
    if (!why.empty()) {
        if (error)
            *error = path + ": " + why;
        return false;
    }
    return Load(text, path, error, options);
}

}  // namespace host
