// Registry files as board trees hold them: each file read in its own
// encoding (a byte-order mark, UTF-16 without one, UTF-8, else the code
// page of its locale), line ends of every kind, and the limits that keep a
// file from crashing or exhausting the reader: nesting, size, expansion.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/registry.h"
#include "regtext.h"
#include "support/files.h"

namespace {

std::string Utf16(const std::string& utf8, bool bigEndian, bool mark)
{
    std::string out;
    std::u16string units = host::Widen(utf8);
    if (mark)
        units.insert(units.begin(), char16_t(0xFEFF));
    for (char16_t c : units) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

class RegEncodingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        dir_ = FreshDir("regencoding");
    }
    void TearDown() override { host::ResetAll(); }

    // Loads the files; "" on success, else the error.
    std::string Load(const std::vector<std::string>& files)
    {
        std::string error;
        options_.warnings = &warnings_;
        options_.report = &report_;
        return host::RegistryLoadFiles(files, &error, options_) ? std::string() : error;
    }

    std::string String(const std::string& key, const std::string& name)
    {
        std::string value;
        EXPECT_TRUE(host::RegistryGetString(key, name, &value)) << key << "\\" << name;
        return value;
    }

    std::string dir_;
    host::RegLoadOptions options_;
    std::vector<std::string> warnings_;
    host::RegLoadReport report_;
};

const std::string kKey = "[HKEY_LOCAL_MACHINE\\Drivers\\Parallel]\r\n";
// A board's French string, as its build machine wrote it: Windows-1252.
const std::string kFrench1252 = "C\xE2" "ble parall\xE8le sur LPT1:";
const std::string kFrenchUtf8 = "Câble parallèle sur LPT1:";

TEST_F(RegEncodingTest, Windows1252StringAndRegFilesReadAsTheirLettersNotAsBrokenUtf8)
{
    WriteFile(dir_ + "/board.str", "#define LOC_PARALLEL \"" + kFrench1252 + "\"\r\n");
    WriteFile(dir_ + "/board.reg", kKey + "\"FriendlyName\"=LOC_PARALLEL\r\n\"Accent\"=\"caf\xE9\"\r\n");
    options_.stringFiles = {dir_ + "/board.str"};
    ASSERT_EQ(Load({dir_ + "/board.reg"}), "");
    EXPECT_EQ(String("Drivers\\Parallel", "FriendlyName"), kFrenchUtf8);
    // A lone 0xE9 at the end of a string is é, not a control character.
    EXPECT_EQ(String("Drivers\\Parallel", "Accent"), "café");
    ASSERT_EQ(report_.encodings.size(), 2u);
    EXPECT_EQ(report_.encodings[0], dir_ + "/board.str: Windows-1252 (not UTF-8; the code page of no locale "
                                           "(LOCALE not set), taken as 1252)");
    EXPECT_EQ(report_.encodings[1].substr(0, dir_.size() + 24), dir_ + "/board.reg: Windows-1252");
}

TEST_F(RegEncodingTest, Utf8FilesWithAndWithoutMarkReadAsUtf8)
{
    WriteFile(dir_ + "/plain.reg", kKey + "\"A\"=\"" + kFrenchUtf8 + "\"\n");
    WriteFile(dir_ + "/marked.reg", "\xEF\xBB\xBF" + kKey + "\"B\"=\"" + kFrenchUtf8 + "\"\n");
    ASSERT_EQ(Load({dir_ + "/plain.reg", dir_ + "/marked.reg"}), "");
    EXPECT_EQ(String("Drivers\\Parallel", "A"), kFrenchUtf8);
    EXPECT_EQ(String("Drivers\\Parallel", "B"), kFrenchUtf8);
    EXPECT_EQ(report_.encodings[0], dir_ + "/plain.reg: UTF-8 (no byte-order mark; every byte sequence is valid UTF-8)");
    EXPECT_EQ(report_.encodings[1], dir_ + "/marked.reg: UTF-8 (byte-order mark)");
}

TEST_F(RegEncodingTest, JapaneseStringFileReadsInTheCodePageOfItsLocaleFolder)
{
    ASSERT_EQ(mkdir((dir_ + "/0411").c_str(), 0755), 0);
    // 日本語 and a half-width ｱ in 932; 0x5C in a trail byte (表 is 0x95 0x5C)
    // must not be taken for a backslash.
    WriteFile(dir_ + "/0411/board.str", "#define LOC_NAME \"\x93\xFA\x96\x7B\x8C\xEA\xB1\x95\x5C\"\r\n");
    WriteFile(dir_ + "/board.reg", kKey + "\"Name\"=LOC_NAME\r\n");
    options_.stringFiles = {dir_ + "/0411/board.str"};
    ASSERT_EQ(Load({dir_ + "/board.reg"}), "");
    EXPECT_EQ(String("Drivers\\Parallel", "Name"), "日本語ｱ表");
    EXPECT_EQ(report_.encodings[0], dir_ + "/0411/board.str: 932 (Shift_JIS) (not UTF-8; the code page of the locale folder 0411)");
}

TEST_F(RegEncodingTest, LocaleVariableOrCodePageOptionChoosesTheCodePage)
{
    WriteFile(dir_ + "/board.reg", kKey + "\"Name\"=\"\x93\xFA\x96\x7B\"\r\n");
    options_.defines["LOCALE"] = "0411";
    ASSERT_EQ(Load({dir_ + "/board.reg"}), "");
    EXPECT_EQ(String("Drivers\\Parallel", "Name"), "日本");

    // --codepage wins over LOCALE.
    host::ResetAll();
    WriteFile(dir_ + "/board.reg", kKey + "\"Name\"=\"" + kFrench1252 + "\"\r\n");
    options_.codePage = 1252;
    report_ = host::RegLoadReport();
    ASSERT_EQ(Load({dir_ + "/board.reg"}), "");
    EXPECT_EQ(String("Drivers\\Parallel", "Name"), kFrenchUtf8);
}

TEST_F(RegEncodingTest, BytesValidInNoEncodingStopTheLoadNamingFileLineAndByte)
{
    // 0x85 0x40 is a pair 932 leaves unassigned, and not UTF-8 either.
    WriteFile(dir_ + "/board.reg", kKey + "\"A\"=\"ok\"\r\n\"B\"=\"x\x85\x40\"\r\n");
    options_.defines["LOCALE"] = "0411";
    EXPECT_EQ(Load({dir_ + "/board.reg"}),
              dir_ + "/board.reg:3: byte pair 0x85 0x40 at column 7 is not a character of 932 (Shift_JIS) (the code "
                     "page of LOCALE 0411), and the file is not UTF-8 (byte 0x85 is not) and has no byte-order mark; "
                     "--codepage N reads it in another");
    EXPECT_FALSE(host::RegistryKeyExists("Drivers\\Parallel"));

    // A byte 1252 leaves unassigned is refused too, not read as a control.
    options_.defines.clear();
    WriteFile(dir_ + "/board.reg", kKey + "\"A\"=\"x\x81y\"\r\n");
    EXPECT_EQ(Load({dir_ + "/board.reg"}).substr(0, dir_.size() + 50),
              dir_ + "/board.reg:2: byte 0x81 at column 7 is not a chara");

    // A language whose code page is not read here says so.
    options_.defines["LOCALE"] = "0419";
    WriteFile(dir_ + "/board.reg", kKey + "\"A\"=\"\xCF\xF0\xE8\"\r\n");
    EXPECT_EQ(Load({dir_ + "/board.reg"}),
              dir_ + "/board.reg:2: byte 0xCF at column 6 is not valid UTF-8, and the code page of LOCALE 0419 "
                     "(code page 1251) is not one read here (1252, 932 or 65001; --codepage N chooses)");
}

TEST_F(RegEncodingTest, Utf16InBothByteOrdersWithAndWithoutMark)
{
    const std::string text = kKey + "\"Name\"=\"" + kFrenchUtf8 + " 日本\"\r\n";
    const struct {
        const char* file;
        bool big, mark;
        const char* encoding;
    } cases[] = {
        {"le-bom.reg", false, true, "UTF-16LE (byte-order mark)"},
        {"be-bom.reg", true, true, "UTF-16BE (byte-order mark)"},
        {"le.reg", false, false, "UTF-16LE (no byte-order mark; told by its zero bytes)"},
        {"be.reg", true, false, "UTF-16BE (no byte-order mark; told by its zero bytes)"},
    };
    for (const auto& c : cases) {
        host::ResetAll();
        report_ = host::RegLoadReport();
        WriteFile(dir_ + "/" + c.file, Utf16(text, c.big, c.mark));
        ASSERT_EQ(Load({dir_ + "/" + c.file}), "") << c.file;
        EXPECT_EQ(String("Drivers\\Parallel", "Name"), kFrenchUtf8 + " 日本") << c.file;
        EXPECT_EQ(report_.encodings.at(0), dir_ + "/" + c.file + ": " + c.encoding);
    }
    // Half a character at the end, and a lone surrogate, are refused.
    WriteFile(dir_ + "/odd.reg", Utf16(text, false, true) + "x");
    EXPECT_EQ(Load({dir_ + "/odd.reg"}), dir_ + "/odd.reg: an odd number of bytes, read as UTF-16LE: the last byte "
                                                "is half a character (the encoding is broken)");
    WriteFile(dir_ + "/lone.reg", Utf16(kKey, false, true) + std::string("\"\0\x00\xD8\"\0", 6));
    EXPECT_EQ(Load({dir_ + "/lone.reg"}), dir_ + "/lone.reg:2: a lone UTF-16 surrogate at column 2 (the file is "
                                                 "read as UTF-16LE): the encoding is broken");
}

TEST_F(RegEncodingTest, LineEndsOfEveryKindEndLines)
{
    WriteFile(dir_ + "/cr.reg", "; written with CR alone\r[HKEY_LOCAL_MACHINE\\Drivers\\Parallel]\r\"A\"=dword:1\r"
                            "\"B\"=dword:2\r\n\"C\"=dword:3\n\r\"D\"=\"x\"");
    ASSERT_EQ(Load({dir_ + "/cr.reg"}), "");
    uint32_t v = 0;
    EXPECT_TRUE(host::RegistryGetDword("Drivers\\Parallel", "A", &v));
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(host::RegistryGetDword("Drivers\\Parallel", "C", &v));
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(String("Drivers\\Parallel", "D"), "x");
    // Lines are counted as they end, for messages.
    WriteFile(dir_ + "/cr.reg", "[HKEY_LOCAL_MACHINE\\X]\r\r\"A\"=dword:1\rbroken\r");
    EXPECT_EQ(Load({dir_ + "/cr.reg"}), dir_ + "/cr.reg:4: expected [key], \"name\"=value, @=value or ; comment");
    EXPECT_EQ(host::regtext::SplitLines("a\rb\r\nc\n\nd"), (std::vector<std::string>{"a", "b", "c", "", "d"}));
}

// ---- Limits ----------------------------------------------------------------------------

// A file says its size: one over the limit is refused from it, unread (the
// message gives the size, which only the file system knows: a file of
// 100 MB with no data written, all holes, would read as zeros).
TEST_F(RegEncodingTest, AFileOneByteOverTheLimitIsRefusedAndOneAtItLoads)
{
    const std::string big = dir_ + "/big.reg";
    WriteFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), 100 << 20), 0);
    EXPECT_EQ(Load({big}), big + ": larger than 67108864 bytes, the limit of a registry file (its size is 104857600 "
                                 "bytes: not read)");
    // At the limit, with a lower one.
    options_.maxFileBytes = 40;
    WriteFile(dir_ + "/at.reg", std::string(39, ';') + "\n");
    EXPECT_EQ(Load({dir_ + "/at.reg"}), "");
    WriteFile(dir_ + "/at.reg", std::string(40, ';') + "\n");
    EXPECT_EQ(Load({dir_ + "/at.reg"}),
              dir_ + "/at.reg: larger than 40 bytes, the limit of a registry file (its size is 41 bytes: not read)");
    // The files of one load share the limit.
    WriteFile(dir_ + "/a.reg", std::string(30, ';') + "\n");
    EXPECT_EQ(Load({dir_ + "/a.reg", dir_ + "/a.reg"}),
              dir_ + "/a.reg: larger than the 9 bytes left of the limit of one load (40 bytes for all its files "
                     "together; 31 read before this one)");
}

TEST_F(RegEncodingTest, AFileThatNeverEndsStopsAtTheLimit)
{
    EXPECT_EQ(Load({"/dev/zero"}), "/dev/zero: larger than 67108864 bytes, the limit of a registry file (read no further)");
    WriteFile(dir_ + "/top.reg", "; the next line reads a device\n#include \"/dev/zero\"\n");
    EXPECT_EQ(Load({dir_ + "/top.reg"}), "/dev/zero: larger than the 67108812 bytes left of the limit of one load "
                                         "(67108864 bytes for all its files together; 52 read before this one) "
                                         "(included at " + dir_ + "/top.reg:2)");
}

TEST_F(RegEncodingTest, ConditionsNestedAnyDepthEvaluateOrStopWithTheLimit)
{
    // 40,300 ! in an #if, and 270,000 in a @CESYSGEN IF: counted, not recursed.
    WriteFile(dir_ + "/not.reg", "#if " + std::string(40300, '!') + "1\n[HKEY_LOCAL_MACHINE\\Even]\n#endif\n"
                             "; @CESYSGEN IF " + std::string(270001, '!') + "CE_MODULES_WAVEAPI\n"
                             "[HKEY_LOCAL_MACHINE\\Odd]\n; @CESYSGEN ENDIF\n");
    ASSERT_EQ(Load({dir_ + "/not.reg"}), "");
    EXPECT_TRUE(host::RegistryKeyExists("Even"));
    EXPECT_FALSE(host::RegistryKeyExists("Odd"));

    // Parentheses nest 256 deep at most; 13,100 stop the load.
    WriteFile(dir_ + "/deep.reg", "[HKEY_LOCAL_MACHINE\\X]\n#if " + std::string(256, '(') + "1" + std::string(256, ')') +
                              "\n\"A\"=dword:1\n#endif\n");
    ASSERT_EQ(Load({dir_ + "/deep.reg"}), "");
    WriteFile(dir_ + "/deep.reg", "[HKEY_LOCAL_MACHINE\\X]\n#if " + std::string(13100, '(') + "1" +
                              std::string(13100, ')') + "\n#endif\n");
    EXPECT_EQ(Load({dir_ + "/deep.reg"}), dir_ + "/deep.reg:2: nested too deep (limit 256)");
}

TEST_F(RegEncodingTest, AVariableThatExpandsWithoutEndStopsAtTheLimit)
{
    // Each name stands for ten of the next: 10^12 lookups, or as many bytes.
    std::string text = "#define V12 x\n";
    for (int i = 11; i >= 0; --i) {
        std::string value;
        for (int k = 0; k < 10; ++k)
            value += "$(V" + std::to_string(i + 1) + ")";
        text += "#define V" + std::to_string(i) + " " + value + "\n";
    }
    WriteFile(dir_ + "/bomb.reg", text + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"$(V0)\"\n");
    EXPECT_EQ(Load({dir_ + "/bomb.reg"}),
              dir_ + "/bomb.reg:15: more than 10000 $(NAME) replaced in one line (limit 10000)");
}

TEST_F(RegEncodingTest, ExpansionMayAddWhatWasReadAndTheAllowanceAndNoMore)
{
    // A 1,004-byte name expanded 20 times adds 20,000 bytes; a comment pads
    // the file so that this is exactly the limit: the bytes read (times
    // the factor) and the allowance.  One byte less of comment is one byte
    // less of limit.
    static_assert(host::kRegExpansionFactor == 1, "the padding below assumes it");
    const size_t uses = 20, valueSize = 1004, adds = uses * (valueSize - 4);
    std::string dollars;
    for (size_t k = 0; k < uses; ++k)
        dollars += "$(A)";
    auto file = [&](size_t pad) {
        return "#define A " + std::string(valueSize, 'x') + "\n;" + std::string(pad, 'y') +
               "\n[HKEY_LOCAL_MACHINE\\X]\n\"V\"=\"" + dollars + "\"\n";
    };
    const size_t base = file(0).size();
    ASSERT_GT(adds, base + host::kRegExpansionAllowance);
    const size_t pad = adds - base - host::kRegExpansionAllowance;   // file size + allowance == adds
    WriteFile(dir_ + "/wide.reg", file(pad));
    EXPECT_EQ(Load({dir_ + "/wide.reg"}), "");
    EXPECT_EQ(String("X", "V").size(), uses * valueSize);

    host::RegistryClear();
    WriteFile(dir_ + "/wide.reg", file(pad - 1));
    const size_t read = base + pad - 1;
    EXPECT_EQ(Load({dir_ + "/wide.reg"}),
              dir_ + "/wide.reg:4: expansion comes to more than " +
                  std::to_string(read + host::kRegExpansionAllowance) + " bytes: 1 times the " +
                  std::to_string(read) + " bytes read and " + std::to_string(host::kRegExpansionAllowance) +
                  " (expansion limit)");
    EXPECT_FALSE(host::RegistryKeyExists("X"));
}

TEST_F(RegEncodingTest, StringsPutInForPlaceholdersCountAsExpansion)
{
    // One 1,000-character string, named 40 times in a list: the load stops
    // at the expansion limit instead of holding 40 copies.
    WriteFile(dir_ + "/board.str", "#define LOC_LONG \"" + std::string(1000, 's') + "\"\n");
    std::string names = "LOC_LONG";
    for (int k = 1; k < 40; ++k)
        names += ",LOC_LONG";
    WriteFile(dir_ + "/many.reg", "[HKEY_LOCAL_MACHINE\\X]\n\"One\"=LOC_LONG\n\"List\"=multi_sz:" + names + "\n");
    options_.stringFiles = {dir_ + "/board.str"};
    const std::string error = Load({dir_ + "/many.reg"});
    EXPECT_EQ(error.rfind(dir_ + "/many.reg:3: expansion comes to more than ", 0), 0u) << error;
    EXPECT_NE(error.find("(expansion limit)"), std::string::npos) << error;

    // The one placeholder alone is well within it.
    WriteFile(dir_ + "/many.reg", "[HKEY_LOCAL_MACHINE\\X]\n\"One\"=LOC_LONG\n");
    EXPECT_EQ(Load({dir_ + "/many.reg"}), "");
    EXPECT_EQ(String("X", "One"), std::string(1000, 's'));
}

TEST_F(RegEncodingTest, ExpansionInConditionsAndMessagesCountsToo)
{
    // What #message keeps in the report is expansion as well: many lines
    // that each stay short of a line's limit add up to the load's.
    std::string text = "#define A " + std::string(1000, 'x') + "\n";
    std::string eight;
    for (int k = 0; k < 8; ++k)
        eight += "$(A)";
    for (int i = 0; i < 40; ++i)
        text += "#message " + eight + "\n";
    WriteFile(dir_ + "/loud.reg", text);
    const std::string error = Load({dir_ + "/loud.reg"});
    EXPECT_NE(error.find("(expansion limit)"), std::string::npos) << error;
    EXPECT_EQ(error.rfind(dir_ + "/loud.reg:", 0), 0u) << error;
    EXPECT_LT(report_.messages.size(), 40u);
}

}  // namespace
