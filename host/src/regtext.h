// Text and files as the .reg readers see them: blanks, comments, keywords,
// lines, encodings, and paths written on a file system that ignores case.
// Host sources and their tests only; no state.
#pragma once

#include <string>
#include <vector>

namespace host {

// A file's text for the preprocessor: UTF-16LE (with its byte-order mark)
// becomes UTF-8, a UTF-8 mark is dropped.  False with *why ("cannot be read",
// "is a directory, not a .reg file") when there is none.
bool ReadRegText(const std::string& path, std::string* text, std::string* why);

namespace regtext {

bool IsSpace(char c);      // a blank: space or tab
bool IsWordChar(char c);   // a letter, digit or _
size_t SkipSpace(const std::string& s, size_t pos);
std::string Trim(const std::string& s);
std::string Upper(std::string s);
bool SameNoCase(const std::string& a, const std::string& b);
// The line up to a ; comment that is not inside quotes, trimmed.
std::string StripComment(const std::string& s);
// The leading word of s at pos (letters only), upper-cased, and where it ends.
std::string Keyword(const std::string& s, size_t pos, size_t* end);
// Lines without their CR LF or LF; no line after the last line feed.
std::vector<std::string> SplitLines(const std::string& text);
// UTF-16LE (with its byte-order mark) to UTF-8; a UTF-8 mark is dropped.
std::string DecodeText(const std::string& bytes);
// The folder part of a path, with its slash; empty for a bare name.
std::string DirectoryOf(const std::string& path);
bool Exists(const std::string& path);
// The path as it exists on disk, each part matched ignoring case where the
// exact spelling does not exist; the path unchanged when a part is not found.
std::string MatchCase(const std::string& path);

}  // namespace regtext
}  // namespace host
