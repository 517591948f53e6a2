// Code pages: the platform's multibyte text (Windows-1252, 932 and UTF-8)
// to and from UTF-16.  The one home of these tables for the whole host: the
// .reg readers and the platform's MultiByteToWideChar / WideCharToMultiByte
// both convert through here.  No state but read-only tables; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// The code pages decoded here.
const unsigned kCodePage1252 = 1252;   // Western European (ANSI)
const unsigned kCodePage932 = 932;     // Japanese (ANSI): Shift_JIS with the platform's extensions
const unsigned kCodePageUtf8 = 65001;

// Decodes bytes in code page `cp` (1252, 932, 65001=UTF-8) to UTF-16 code
// units. Returns false at the first byte sequence invalid in that code page,
// with its offset in *bad.  Code pages 1252 and 932 follow the platform's
// tables, which give every single byte a character (the few bytes the code
// page leaves unassigned become the matching C1 control or a private-use
// character); UTF-8 refuses overlong forms, surrogates and truncated
// sequences.  An unsupported `cp` is refused at offset 0.
bool DecodeCodePage(unsigned cp, const char* data, size_t n, std::u16string& out, size_t* bad);

// Appends the code point `cp` to `out` in UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// Encodes UTF-16 to code page `cp`; characters the code page lacks become
// `defaultChar` and *usedDefault is set. Returns false on invalid UTF-16
// (lone surrogate) only for cp 65001 (and for a code page not supported
// here).  For 932 a character with two
// encodings gets the platform's choice: the lowest one outside the rows
// 0xED and 0xEE (the NEC-selected IBM extensions, which decode but are
// never produced).  No best-fit mapping: a character the code page lacks is
// never replaced by a look-alike.
bool EncodeCodePage(unsigned cp, const char16_t* data, size_t n, std::string& out, char defaultChar,
                    bool* usedDefault);

// True for the code pages above.
bool CodePageSupported(unsigned cp);
// "Windows-1252", "932 (Shift_JIS)", "UTF-8", or "code page N".
std::string CodePageName(unsigned cp);

// The ANSI code page of a language identifier (0x0409 -> 1252, 0x0411 ->
// 932), as the platform's locale tables give it; 0 when it is not known
// here.
unsigned AnsiCodePageOfLanguage(unsigned langid);

// True when the single byte or pair the decoder of `cp` would start at
// data[0] is one the code page leaves unassigned: the platform's tables map
// it to a C1 control (1252: 0x81 0x8D 0x8F 0x90 0x9D; 932: 0x80) or a
// private-use character (932: 0xA0, 0xFD-0xFF).  Text files never hold
// these; a reader of text refuses them as misread.
bool IsUnassignedByte(unsigned cp, unsigned char byte);

}  // namespace host
