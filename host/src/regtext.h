// Text and files as the .reg readers see them: blanks, comments, keywords,
// lines, encodings, and paths written on a file system that ignores case.
// Host sources and their tests only; no state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// A file's bytes, at most `limit` of them: false with *why ("cannot be
// read", "is a directory, not a .reg file", "larger than N bytes ...") when
// there are none or more; a file that never ends (/dev/zero) is read only
// to one byte past the limit.
bool ReadRegBytes(const std::string& path, size_t limit, std::string* bytes, std::string* why);

// How a file's bytes are read as text, in this order: a byte-order mark
// (UTF-8, UTF-16LE, UTF-16BE); else UTF-16 without a mark, told by its zero
// bytes (a text file holds none); else UTF-8 when every byte sequence is
// valid UTF-8; else the code page `codePage`, which `codePageFrom` names for
// messages ("LOCALE 0411", "--codepage", "the locale folder 0411", "no
// locale given").  Returns the text as UTF-8, and in *encoding what it was
// read as.  Throws RegError "file:line: ..." naming the byte that is valid in
// none of these, or "file: ..." when the code page is not one decoded here.
// The bytes are taken (moved in), so that text that is already UTF-8 is not
// copied.
std::string DecodeRegText(std::string bytes, const std::string& file, unsigned codePage,
                          const std::string& codePageFrom, std::string* encoding);

namespace regtext {

bool IsSpace(char c);      // a blank: space or tab
bool IsWordChar(char c);   // a letter, digit or _
size_t SkipSpace(const std::string& s, size_t pos);
std::string Trim(const std::string& s);
std::string Upper(std::string s);
bool SameNoCase(const std::string& a, const std::string& b);
// The text of a quoted string starting at s[pos] == '"' (with \\ and \"
// escapes) as a REG_SZ value holds it, UTF-16LE, appended to `data` without
// its terminator; leaves pos after the closing quote.  Throws RegLineError
// ("\" to close the <what>", ...).
void AppendQuotedUtf16(const std::string& s, size_t& pos, const char* what, std::vector<uint8_t>& data);
// The items with `separator` between them.
std::string Join(const std::vector<std::string>& items, const char* separator);
// The line up to a ; comment that is not inside quotes, trimmed.
std::string StripComment(const std::string& s);
// The leading word of s at pos (letters only), upper-cased, and where it ends.
std::string Keyword(const std::string& s, size_t pos, size_t* end);
// The line of `text` at `start`, without its CR LF, LF or lone CR, into
// `line` (its buffer reused), and `start` moved past it; false at the end.
// No line after the last line end.
bool NextLine(const std::string& text, size_t& start, std::string& line);
// All the lines, as NextLine reads them.
std::vector<std::string> SplitLines(const std::string& text);
// The folder part of a path, with its slash; empty for a bare name.
std::string DirectoryOf(const std::string& path);
bool Exists(const std::string& path);
// The path as it exists on disk, each part matched ignoring case where the
// exact spelling does not exist; the path unchanged when a part is not found.
std::string MatchCase(const std::string& path);

}  // namespace regtext
}  // namespace host
