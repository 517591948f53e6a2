// The .reg parser on its own: the lines the preprocessor kept, with the
// places they came from, turned into changes; nothing is applied here.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "host/platform.h"
#include "regparser.h"

namespace {

const std::string kFile = "board.reg";

// Lines numbered as the preprocessor hands them on: with gaps where it left
// lines out.
std::vector<host::RegLine> Lines(const std::vector<std::pair<int, std::string>>& numbered)
{
    std::vector<host::RegLine> lines;
    for (const auto& [line, text] : numbered)
        lines.push_back(host::RegLine{&kFile, line, text});
    return lines;
}

std::string ErrorOf(const std::vector<std::pair<int, std::string>>& numbered)
{
    try {
        host::ParseRegLines(Lines(numbered));
    } catch (const host::RegError& e) {
        return e.Text();
    }
    return std::string();
}

std::vector<uint8_t> RegStringBytes(const std::u16string& s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s + u'\0') {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

std::vector<uint8_t> Utf16(const std::u16string& s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

TEST(RegParserTest, ChangesComeInTheOrderOfTheLines)
{
    std::vector<host::RegChange> changes = host::ParseRegLines(Lines({
        {1, "REGEDIT4"},
        {4, "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]"},
        {5, "  \"Timer\" = dword: a   ; the build writes a blank after dword:"},
        {10, "[HKCU\\Kept]"},
        {11, "\"Old\"=-"},
        {12, "@=\"default\""},
    }));
    ASSERT_EQ(changes.size(), 5u);
    EXPECT_EQ(changes[0].kind, host::RegChange::CreateKey);
    EXPECT_EQ(changes[0].root, host::RegRoot::LocalMachine);
    EXPECT_EQ(changes[0].key, "Drivers\\BuiltIn\\WAVKELVO\\Params");
    EXPECT_EQ(changes[1].kind, host::RegChange::SetValue);
    EXPECT_EQ(changes[1].name, "Timer");
    EXPECT_EQ(changes[1].type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(changes[1].data, (std::vector<uint8_t>{10, 0, 0, 0}));
    EXPECT_EQ(changes[2].kind, host::RegChange::CreateKey);
    EXPECT_EQ(changes[2].root, host::RegRoot::CurrentUser);
    EXPECT_EQ(changes[3].kind, host::RegChange::DeleteValue);
    EXPECT_EQ(changes[3].key, "Kept");
    EXPECT_EQ(changes[3].name, "Old");
    EXPECT_EQ(changes[4].name, "");
    EXPECT_EQ(changes[4].data, Utf16(std::u16string(u"default") + u'\0'));
}

// The page "Registry File" writes a key as [KEY1] and has no deletion; the
// page on RegCreateKeyEx says a path may not start with a backslash, and each
// part between backslashes names a key.  A key line that deletes, or names a
// key without a name, is refused with what is wrong, not taken silently.
TEST(RegParserTest, KeyLinesTheImageBuildWouldNotTakeAreRefused)
{
    const std::string deletion = "board.reg:1: expected a key name after [ ([-KEY] deletes a key in the desktop's "
                                 "registry editor; the image build's registry files have no deletion: leave the key "
                                 "out instead)";
    EXPECT_EQ(ErrorOf({{1, "[-HKCU\\Gone]"}}), deletion);
    EXPECT_EQ(ErrorOf({{1, "[-HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO]"}}), deletion);
    for (const char* line : {"[HKLM\\Drivers\\BuiltIn\\]", "[HKLM\\Drivers\\\\BuiltIn]", "[HKLM\\]",
                             "[HKLM\\\\Drivers]", "[ HKLM\\Drivers\\ ]"}) {
        std::string name = std::string(line).substr(1, std::string(line).size() - 2);
        name = name.substr(name.find_first_not_of(' '));
        name = name.substr(0, name.find_last_not_of(' ') + 1);
        EXPECT_EQ(ErrorOf({{1, line}}), "board.reg:1: expected a key name after each \\ (" + name +
                                            " has an empty one; a key name cannot be empty)")
            << line;
    }
    // A root alone names the root, as before.
    EXPECT_EQ(ErrorOf({{1, "[HKLM]"}, {2, "\"A\"=dword:1"}}), "");
}

TEST(RegParserTest, MultiStringListsGoOnAfterATrailingComma)
{
    std::vector<host::RegChange> changes = host::ParseRegLines(Lines({
        {1, "[HKEY_LOCAL_MACHINE\\Drivers\\SDCARD]"},
        {2, "    \"IClass\"=multi_sz:\"{A4E7}\","},
        {3, "                      \"{8DD6}\""},
        {4, "    \"Three\"=multi_sz: \"a\",   ; a comment after the comma"},
        {6, "; a comment line between"},   // line 5 was left out by the preprocessor
        {7, "      \"b\", \\"},
        {8, "      \"c\""},
        {9, "    \"Next\"=dword:1"},
    }));
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[1].type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(changes[1].data, Utf16(std::u16string(u"{A4E7}\0{8DD6}\0\0", 15)));
    EXPECT_EQ(changes[2].data, Utf16(std::u16string(u"a\0b\0c\0\0", 7)));
    EXPECT_EQ(changes[3].name, "Next");

    // A list that ends in a comma needs a string on a line after it.
    EXPECT_EQ(ErrorOf({{1, "[HKLM\\K]"}, {2, "\"A\"=multi_sz:\"a\","}}),
              "board.reg:2: expected another line of strings after ,");
    EXPECT_EQ(ErrorOf({{1, "[HKLM\\K]"}, {2, "\"A\"=multi_sz:\"a\","}, {7, "[HKLM\\Other]"}}),
              "board.reg:7: expected a quoted string after ,");
}

TEST(RegParserTest, ErrorsNameTheLineTheTextCameFrom)
{
    EXPECT_EQ(ErrorOf({{3, "[HKLM\\K]"}, {40, "\"A\"=dword:xyz"}}),
              "board.reg:40: expected 1 to 8 hex digits after dword:");
    EXPECT_EQ(ErrorOf({{3, "[HKLM\\K]"}, {40, "\"A\"=hex:01,\\"}, {45, "  0g"}}),
              "board.reg:45: expected , between hex bytes");
    EXPECT_EQ(ErrorOf({{12, "\"A\"=dword:1"}}), "board.reg:12: expected a [ROOT\\...] section before values");
    EXPECT_EQ(ErrorOf({{1, "[HKLM\\K]"}, {2, "\"A\"=LOC_NAME"}}),
              "board.reg:2: expected \"text\", dword:, multi_sz:, mui_sz:, hex:, hex(N): or - after =");
}

// Lines boards' own files hold, which their image builds accepted: each is
// read as its author evidently meant, with a warning naming the line and
// the reading taken.
TEST(RegParserTest, BoardLinesTheBuildAcceptedAreReadAsMeantWithAWarning)
{
    std::vector<std::string> warnings;
    const std::vector<host::RegChange> changes = host::ParseRegLines(
        Lines({
            {1, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Power\\State\\Off]"},
            {2, "    Default=dword:0"},
            {3, "    Flags=dword:20000   ; POWER_STATE_OFF"},
            {4, "HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SDMemory\\PartitionTable]"},
            {5, "  \"0B\"=\"FATFS\""},
            {6, ";  \"Tclas\"=hex:\\"},
            {7, "       01,02,03,04,\\"},
            {8, "       05,06"},
            {9, "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params ]"},
            {10, "  \"Timer\"=dword:A"},
            {11, "  \"DisplayName\"=mui_sz:\"netmui.dll,#9001\""},
        }),
        &warnings);
    ASSERT_EQ(changes.size(), 8u);
    EXPECT_EQ(changes[0].key, "System\\CurrentControlSet\\Control\\Power\\State\\Off");
    EXPECT_EQ(changes[1].name, "Default");
    EXPECT_EQ(changes[1].data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(changes[2].name, "Flags");
    EXPECT_EQ(changes[2].data, (std::vector<uint8_t>{0, 0, 2, 0}));
    EXPECT_EQ(changes[3].kind, host::RegChange::CreateKey);
    EXPECT_EQ(changes[3].key, "System\\StorageManager\\Profiles\\SDMemory\\PartitionTable");
    EXPECT_EQ(changes[4].name, "0B");
    // The commented value's continuation lines are part of its comment; the
    // blank before ] does not make another key.
    EXPECT_EQ(changes[5].key, "Drivers\\BuiltIn\\WAVKELVO\\Params");
    EXPECT_EQ(changes[6].key, "Drivers\\BuiltIn\\WAVKELVO\\Params");
    EXPECT_EQ(changes[6].name, "Timer");
    EXPECT_EQ(changes[7].type, host::kRegMuiSz);
    EXPECT_EQ(changes[7].data, RegStringBytes(u"netmui.dll,#9001"));
    EXPECT_EQ(warnings,
              (std::vector<std::string>{
                  "board.reg:2: the value name Default has no quotes: read as \"Default\"",
                  "board.reg:3: the value name Flags has no quotes: read as \"Flags\"",
                  "board.reg:4: a key without its opening [: read as "
                  "[HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SDMemory\\PartitionTable]",
                  "board.reg:6: the comment ends in \\ and the next 2 lines continue it: read as part of the comment "
                  "(a value commented out with its continuation lines)",
                  "board.reg:9: blanks around the key name HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params : "
                  "read as [HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]",
              }));
}

// The readings stay narrow: what they do not cover is still an error.
TEST(RegParserTest, ReadingsOfBoardLinesLeaveOtherMistakesErrors)
{
    // A comment ending in \ does not swallow a key or a value after it.
    std::vector<std::string> warnings;
    EXPECT_EQ(host::ParseRegLines(Lines({{1, "; see C:\\"}, {2, "[HKLM\\K]"}, {3, "\"A\"=dword:1"}}), &warnings).size(), 2u);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(ErrorOf({{1, "[HKLM\\K]"}, {2, "Not a value"}}),
              "board.reg:2: expected [key], \"name\"=value, @=value or ; comment");
    EXPECT_EQ(ErrorOf({{1, "SOFTWARE\\K]"}}), "board.reg:1: expected [key], \"name\"=value, @=value or ; comment");
    EXPECT_EQ(ErrorOf({{1, "[HKLM\\K]"}, {2, "\"A\"=mui_sz:netmui.dll"}}),
              "board.reg:2: expected a quoted string after mui_sz:");
}

// Lines handed over in pieces, as a load does while it reads: a statement
// cut by the end of a piece is read again whole with the next one, and comes
// out as from all the lines at once, its warning once.
TEST(RegParserTest, LinesInPiecesParseAsAllAtOnce)
{
    const std::vector<std::pair<int, std::string>> all = {
        {1, "[HKLM\\K]"},        {2, "Bytes=hex:01,\\"}, {3, "  02,\\"},   {4, "  03"},
        {5, "; \"Old\"=hex:\\"}, {6, "  04,05"},          {7, "\"M\"=multi_sz:\"a\","}, {8, "  \"b\""},
        {9, "\"S\"=\"s\""},
    };
    std::vector<std::string> wholeWarnings;
    const std::vector<host::RegChange> whole = host::ParseRegLines(Lines(all), &wholeWarnings);
    ASSERT_EQ(whole.size(), 4u);   // the key, Bytes, M, S
    ASSERT_EQ(wholeWarnings.size(), 2u);   // the unquoted name, the comment continued

    // Every way of cutting the lines in two, then one line at a time.
    for (size_t cut = 1; cut <= all.size(); ++cut) {
        std::vector<std::string> warnings;
        host::RegWarnings list(&warnings);
        host::RegParser parser(&list);
        std::vector<host::RegLine> lines = Lines({all.begin(), all.begin() + static_cast<long>(cut)});
        parser.Parse(lines, false);
        for (const host::RegLine& l : Lines({all.begin() + static_cast<long>(cut), all.end()}))
            lines.push_back(l);
        parser.Parse(lines, true);
        EXPECT_TRUE(lines.empty());
        host::RegChangeList staged = parser.Take();
        std::vector<host::RegChange> changes;
        for (host::RegChange c; staged.Pop(c);)
            changes.push_back(c);
        ASSERT_EQ(changes.size(), whole.size()) << "cut after line " << cut;
        for (size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].name, whole[i].name) << "cut after line " << cut;
            EXPECT_EQ(changes[i].data, whole[i].data) << "cut after line " << cut << ", " << whole[i].name;
        }
        EXPECT_EQ(warnings, wholeWarnings) << "cut after line " << cut;
    }
    std::vector<std::string> warnings;
    host::RegWarnings list(&warnings);
    host::RegParser parser(&list);
    std::vector<host::RegLine> lines;
    for (const host::RegLine& l : Lines(all)) {
        lines.push_back(l);
        parser.Parse(lines, false);
        EXPECT_LE(lines.size(), 3u);   // never more than the statement being read
    }
    parser.Parse(lines, true);
    EXPECT_EQ(parser.Take().size(), whole.size());
    EXPECT_EQ(warnings, wholeWarnings);

    // A list still open at the last line is an error then, and only then.
    std::vector<host::RegLine> open = Lines({{1, "[HKLM\\K]"}, {2, "\"B\"=hex:01,\\"}});
    host::RegParser waiting(&list);
    EXPECT_NO_THROW(waiting.Parse(open, false));
    EXPECT_EQ(open.size(), 1u);
    try {
        waiting.Parse(open, true);
        ADD_FAILURE() << "an open list parsed";
    } catch (const host::RegError& e) {
        EXPECT_EQ(e.Text(), "board.reg:2: expected another line of hex bytes after \\");
    }
}

// A file of many lines each warned about lists the first ones and says how
// many more there were.
TEST(RegParserTest, WarningsOfOneLoadAreListedUpToALimit)
{
    std::vector<std::pair<int, std::string>> numbered = {{1, "[HKLM\\K]"}};
    const int extra = 7;
    for (int i = 0; i < static_cast<int>(host::kRegMaxWarnings) + extra; ++i)
        numbered.push_back({i + 2, "N" + std::to_string(i) + "=dword:1"});
    std::vector<std::string> warnings;
    EXPECT_EQ(host::ParseRegLines(Lines(numbered), &warnings).size(), host::kRegMaxWarnings + extra + 1);
    ASSERT_EQ(warnings.size(), host::kRegMaxWarnings + 1);
    EXPECT_EQ(warnings.front(), "board.reg:2: the value name N0 has no quotes: read as \"N0\"");
    EXPECT_EQ(warnings.back(), std::to_string(extra) + " more warnings not listed (a load lists its first " +
                                   std::to_string(host::kRegMaxWarnings) + ")");
}

// The staged list gives back each change as pushed: every kind, names and
// data of every length (a long one in a block of its own, lengths of more
// than one count byte), each value under the key before it.
TEST(RegChangeListTest, GivesBackWhatWasPushed)
{
    using C = host::RegChange;
    std::vector<C> pushed = {
        C{C::CreateKey, host::RegRoot::LocalMachine, "Drivers\\BuiltIn\\Wave", {}, REG_NONE, {}},
        C{C::SetValue, host::RegRoot::LocalMachine, "Drivers\\BuiltIn\\Wave", "Dll", REG_SZ, {'w', 0, 0, 0}},
        C{C::SetValue, host::RegRoot::LocalMachine, "Drivers\\BuiltIn\\Wave", "", 0x12345678u, {}},
        C{C::DeleteValue, host::RegRoot::LocalMachine, "Drivers\\BuiltIn\\Wave", "Old", REG_NONE, {}},
        C{C::CreateKey, host::RegRoot::Users, "", {}, REG_NONE, {}},
        C{C::CreateKey, host::RegRoot::CurrentUser, std::string(300, 'k'), {}, REG_NONE, {}},
        C{C::SetValue, host::RegRoot::CurrentUser, std::string(300, 'k'), std::string(200, 'n'), REG_BINARY,
          std::vector<uint8_t>(10000, 0xA5)},
    };
    for (int i = 0; i < 700; ++i)   // past a block's end
        pushed.push_back(C{C::SetValue, host::RegRoot::CurrentUser, std::string(300, 'k'), "v" + std::to_string(i),
                           REG_DWORD, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0}});
    host::RegChangeList list;
    for (const C& c : pushed)
        list.Push(c);
    ASSERT_EQ(list.size(), pushed.size());
    std::vector<C> popped;
    for (C c; list.Pop(c);)
        popped.push_back(c);
    EXPECT_TRUE(list.empty());
    ASSERT_EQ(popped.size(), pushed.size());
    for (size_t i = 0; i < pushed.size(); ++i) {
        EXPECT_EQ(popped[i].kind, pushed[i].kind) << i;
        EXPECT_EQ(popped[i].root, pushed[i].root) << i;
        EXPECT_EQ(popped[i].key, pushed[i].key) << i;
        EXPECT_EQ(popped[i].name, pushed[i].name) << i;
        EXPECT_EQ(popped[i].type, pushed[i].type) << i;
        EXPECT_EQ(popped[i].data, pushed[i].data) << i;
    }
}

// Going back to a mark drops what came after it, across blocks, and what
// the last record creates follows; the same key again is not staged twice.
TEST(RegChangeListTest, BackToAMarkDropsWhatFollows)
{
    using C = host::RegChange;
    host::RegChangeList list;
    EXPECT_FALSE(list.LastCreates(host::RegRoot::LocalMachine, ""));
    list.Push(C{C::CreateKey, host::RegRoot::LocalMachine, "A", {}, REG_NONE, {}});
    EXPECT_TRUE(list.LastCreates(host::RegRoot::LocalMachine, "A"));
    EXPECT_FALSE(list.LastCreates(host::RegRoot::LocalMachine, "a"));   // as spelt
    EXPECT_FALSE(list.LastCreates(host::RegRoot::Users, "A"));
    EXPECT_FALSE(list.LastCreates(host::RegRoot::LocalMachine, "AB"));
    const host::RegChangeList::Mark mark = list.Here();
    list.Push(C{C::SetValue, host::RegRoot::LocalMachine, "A", "x", REG_BINARY, std::vector<uint8_t>(9000, 1)});
    for (int i = 0; i < 2000; ++i)
        list.Push(C{C::DeleteValue, host::RegRoot::LocalMachine, "A", "y", REG_NONE, {}});
    list.Push(C{C::CreateKey, host::RegRoot::LocalMachine, "B", {}, REG_NONE, {}});
    EXPECT_TRUE(list.LastCreates(host::RegRoot::LocalMachine, "B"));
    list.Back(mark);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_TRUE(list.LastCreates(host::RegRoot::LocalMachine, "A"));
    list.Push(C{C::SetValue, host::RegRoot::LocalMachine, "A", "z", REG_DWORD, {1, 2, 3, 4}});
    EXPECT_FALSE(list.LastCreates(host::RegRoot::LocalMachine, "A"));
    C c;
    ASSERT_TRUE(list.Pop(c));
    EXPECT_EQ(c.kind, C::CreateKey);
    ASSERT_TRUE(list.Pop(c));
    EXPECT_EQ(c.kind, C::SetValue);
    EXPECT_EQ(c.key, "A");
    EXPECT_EQ(c.name, "z");
    EXPECT_EQ(c.data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(list.Pop(c));

    const std::vector<host::RegChange> changes =
        host::ParseRegLines(Lines({{1, "[HKLM\\K]"}, {2, "[HKLM\\K]"}, {3, "\"v\"=-"}, {4, "[HKLM\\K]"}}));
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[1].kind, C::DeleteValue);
    EXPECT_EQ(changes[2].kind, C::CreateKey);
}

}  // namespace
