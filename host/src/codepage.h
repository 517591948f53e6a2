// Code pages: 8-bit text to and from UTF-16, for every part of the host that
// reads or writes text in a code page.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// Decodes bytes in code page `cp` (1252, 932, 65001=UTF-8) to UTF-16 code units. Returns false at the first byte sequence invalid in that code page, with its offset in *bad.
bool DecodeCodePage(unsigned cp, const char* data, size_t n, std::u16string& out, size_t* bad);
// Encodes UTF-16 to code page `cp`; characters the code page lacks become `defaultChar` and *usedDefault is set. Returns false on invalid UTF-16 (lone surrogate) only for cp 65001.
bool EncodeCodePage(unsigned cp, const char16_t* data, size_t n, std::string& out, char defaultChar, bool* usedDefault);

}  // namespace host
