// Text and files as the .reg readers see them.

// Folders are listed and files looked at with the 64-bit calls, also in the
// 32-bit build: there the plain ones fail on file systems with 64-bit inode
// numbers and directory offsets.
#define _FILE_OFFSET_BITS 64

#include "regtext.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "host/host.h"

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

std::vector<std::string> SplitLines(const std::string& text)
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

bool ReadRegText(const std::string& path, std::string* text, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = "is a directory, not a .reg file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot be read";
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = DecodeText(bytes.str());
    why->clear();
    return true;
}

}  // namespace host
