// The host's code pages: Windows-1252, 932 and UTF-8 to and from UTF-16, as
// the platform's tables have them; and, where the C library has converters
// for them, agreement with those over every byte pair.
#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

#include "codepage.h"

namespace {

std::u16string Decode(unsigned cp, const std::string& bytes, size_t* bad = nullptr)
{
    std::u16string out;
    size_t at = 12345;
    const bool ok = host::DecodeCodePage(cp, bytes.data(), bytes.size(), out, &at);
    if (bad)
        *bad = ok ? std::string::npos : at;
    return ok ? out : u"<refused>";
}

std::string Encode(unsigned cp, const std::u16string& text, bool* usedDefault = nullptr)
{
    std::string out;
    bool defaulted = false;
    if (!host::EncodeCodePage(cp, text.data(), text.size(), out, '?', &defaulted))
        return "<refused>";
    if (usedDefault)
        *usedDefault = defaulted;
    return out;
}

TEST(CodePageTest, Windows1252ReadsTheWesternLettersAndTheirPunctuation)
{
    EXPECT_EQ(Decode(1252, "C\xE2" "ble parall\xE8le"), u"Câble parallèle");
    EXPECT_EQ(Decode(1252, "\x80\x85\x93x\x94\x9F"), u"€…“x”Ÿ");
    // The platform's table gives the five unassigned bytes their C1
    // controls; a text reader refuses them through IsUnassignedByte.
    EXPECT_EQ(Decode(1252, "\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(host::IsUnassignedByte(1252, static_cast<unsigned char>(b)),
                  b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D)
            << b;
    // Every byte comes back as itself.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(Encode(1252, Decode(1252, all)), all);
}

TEST(CodePageTest, Windows1252WritesWhatItLacksAsTheDefaultCharacter)
{
    bool defaulted = false;
    EXPECT_EQ(Encode(1252, u"é€", &defaulted), "\xE9\x80");
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(Encode(1252, u"a日b", &defaulted), "a?b");
    EXPECT_TRUE(defaulted);
    // A lone surrogate is a character 1252 lacks, not an error.
    EXPECT_EQ(Encode(1252, std::u16string(1, char16_t(0xD800)), &defaulted), "?");
    EXPECT_TRUE(defaulted);
}

TEST(CodePageTest, Cp932ReadsSingleBytesPairsAndTheExtensions)
{
    EXPECT_EQ(Decode(932, "\x93\xFA\x96\x7B\x8C\xEA"), u"日本語");
    EXPECT_EQ(Decode(932, "A\xB1\xDF"), u"Aｱﾟ");                 // half-width katakana
    EXPECT_EQ(Decode(932, "\x87\x40\xED\x40\xFA\x40"), u"①纊ⅰ");  // NEC row 13, NEC-selected and IBM extensions
    EXPECT_EQ(Decode(932, "\xF0\x40\xF9\xFC"), u"\uE000\uE757");  // the user-defined area
    EXPECT_EQ(Decode(932, "\x5C\x7E"), u"\\~");                   // ASCII as itself
}

TEST(CodePageTest, Cp932RefusesAtTheFirstSequenceItLacks)
{
    size_t bad = 0;
    EXPECT_EQ(Decode(932, "ab\x93", &bad), u"<refused>");          // a lead byte at the end
    EXPECT_EQ(bad, 2u);
    EXPECT_EQ(Decode(932, "\x93\xFA" "c\x81\x20", &bad), u"<refused>");   // a trail byte out of range
    EXPECT_EQ(bad, 3u);
    EXPECT_EQ(Decode(932, "\x85\x40", &bad), u"<refused>");        // a pair the code page leaves unassigned
    EXPECT_EQ(bad, 0u);
    for (int b : {0x80, 0xA0, 0xFD, 0xFE, 0xFF})
        EXPECT_TRUE(host::IsUnassignedByte(932, static_cast<unsigned char>(b))) << b;
    EXPECT_FALSE(host::IsUnassignedByte(932, 0xA1));
}

TEST(CodePageTest, Cp932WritesACharacterWithTwoEncodingsAsThePlatformDoes)
{
    EXPECT_EQ(Encode(932, u"日本語ｱ"), "\x93\xFA\x96\x7B\x8C\xEA\xB1");
    EXPECT_EQ(Encode(932, u"≒"), "\x81\xE0");   // JIS row 2, not NEC row 13's 0x8790
    EXPECT_EQ(Encode(932, u"ⅰ"), "\xFA\x40");   // the IBM extension, not the NEC-selected 0xEEEF
    EXPECT_EQ(Encode(932, u"纊"), "\xFA\x5C");   // likewise for a kanji of row 0xED
    EXPECT_EQ(Encode(932, u"￢"), "\x81\xCA");
    bool defaulted = false;
    EXPECT_EQ(Encode(932, u"é", &defaulted), "?");   // no best fit: a character 932 lacks is the default
    EXPECT_TRUE(defaulted);
}

TEST(CodePageTest, Utf8RefusesWhatIsNotUtf8)
{
    size_t bad = 0;
    EXPECT_EQ(Decode(65001, "a\xC3\xA9\xF0\x9F\x8E\xB5"), u"aé\U0001F3B5");
    const std::pair<std::string, size_t> broken[] = {
        {"ab\xE9", 2},            // a 1252 letter: a lead byte without its continuation
        {"\xC0\xAF", 0},          // overlong
        {"x\xED\xA0\x80", 1},     // a surrogate
        {"\xF4\x90\x80\x80", 0},  // past U+10FFFF
        {"\xE6\x97", 0},          // truncated
        {"\x80", 0},              // a continuation byte alone
    };
    for (const auto& [bytes, at] : broken) {
        EXPECT_EQ(Decode(65001, bytes, &bad), u"<refused>") << bytes;
        EXPECT_EQ(bad, at) << bytes;
    }
    EXPECT_EQ(Encode(65001, u"é\U0001F3B5"), "\xC3\xA9\xF0\x9F\x8E\xB5");
    EXPECT_EQ(Encode(65001, std::u16string(1, char16_t(0xDC00))), "<refused>");
    EXPECT_EQ(Decode(437, "a", &bad), u"<refused>");
    EXPECT_FALSE(host::CodePageSupported(437));
}

TEST(CodePageTest, LanguagesHaveTheirAnsiCodePages)
{
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0409), 1252u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x040C), 1252u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0C0A), 1252u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0411), 932u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0419), 1251u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0804), 936u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x0404), 950u);
    EXPECT_EQ(host::AnsiCodePageOfLanguage(0x007F), 0u);
}

// The C library's converter for `name`, or a reason to skip.
struct Iconv {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd);
    }
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
    // The converted bytes, or false where the converter refuses.
    bool Convert(const std::string& in, std::string* out)
    {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char buf[16];
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) || srcLeft != 0)
            return false;
        out->assign(buf, dst);
        return true;
    }
};

std::string Utf16Bytes(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

// Every pair both sides assign decodes alike; every pair either assigns the
// other assigns too (the C library leaves out only the single bytes the
// platform maps to placeholders); every character the C library writes is
// written alike, duplicates included.
TEST(CodePageTest, Cp932AgreesWithTheCLibrarysConverter)
{
    Iconv decode("UTF-16LE", "CP932"), encode("CP932", "UTF-16LE");
    if (!decode.ok() || !encode.ok())
        GTEST_SKIP() << "the C library here has no CP932 converter (its gconv modules are not installed, as with "
                        "Debian's ARM cross C library under qemu-user); the table is checked by the other builds";
    int compared = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead >= 0xA0 && lead < 0xE0)
            continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F)
                continue;
            const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
            std::string theirs;
            const bool theyHave = decode.Convert(pair, &theirs);
            size_t bad = 0;
            const std::u16string ours = Decode(932, pair, &bad);
            ASSERT_EQ(theyHave, bad == std::string::npos) << std::hex << lead << " " << trail;
            if (!theyHave)
                continue;
            ASSERT_EQ(Utf16Bytes(ours), theirs) << std::hex << lead << " " << trail;
            std::string back;
            ASSERT_TRUE(encode.Convert(theirs, &back));
            ASSERT_EQ(Encode(932, ours), back) << std::hex << lead << " " << trail;
            ++compared;
        }
    }
    EXPECT_GT(compared, 9000);
}

TEST(CodePageTest, Cp1252AgreesWithTheCLibrarysConverter)
{
    Iconv decode("UTF-16LE", "CP1252");
    if (!decode.ok())
        GTEST_SKIP() << "the C library here has no CP1252 converter (its gconv modules are not installed)";
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        std::string theirs;
        if (!decode.Convert(byte, &theirs)) {
            EXPECT_TRUE(host::IsUnassignedByte(1252, static_cast<unsigned char>(b))) << b;
            continue;
        }
        EXPECT_EQ(Utf16Bytes(Decode(1252, byte)), theirs) << b;
    }
}

}  // namespace
