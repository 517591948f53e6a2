// The .reg loader through the host's registry: every value form, files from
// disk in their encodings, errors that name the line, platforms' files with
// their roots, conditions and includes, merges that apply all or nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver/config.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/registry.h"
#include "support/files.h"
#include "support/registry_fixture.h"

namespace {

const LONG kInvalidHandle = 6;
const char kParams[] = BTWAV_PARAMS_KEY;
const std::string kRootsExpected =
    "HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS as the root key";

using RegFileTest = RegistryFixture;

// ---- .reg files ---------------------------------------------------------------------------

std::vector<uint8_t> Value(const std::string& key, const std::string& name, uint32_t* type)
{
    std::vector<uint8_t> data;
    EXPECT_TRUE(host::RegistryGetValue(key, name, type, &data)) << key << " " << name;
    return data;
}

TEST_F(RegFileTest, RegFileEveryValueForm)
{
    const std::string text =
        "REGEDIT4\r\n"
        "; the driver's settings\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\r\n"
        "\"Sample\"=dword:0002b110\r\n"
        "\"Timer\" = dword:A   ; ten milliseconds\r\n"
        "\"Dll\"=\"btwav.dll\"\r\n"
        "\"Path\"=\"C:\\\\Windows\\\\\\\"q\\\"\"\r\n"
        "@=\"the default\"\r\n"
        "\"Blob\"=hex:01,02,ff\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Multi\"=hex(7):61,00,00,00,\\\r\n"
        "    62,00,00,\\\r\n"
        "  00,00,00\r\n"
        "\"Expand\"=HEX(2):25,00,00,00\r\n"
        "[HKEY_LOCAL_MACHINE\\Empty\\Key]\r\n";
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "platform.reg", &error)) << error;

    uint32_t type, dw;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "SAMPLE", &dw));
    EXPECT_EQ(dw, 176400u);
    EXPECT_TRUE(host::RegistryGetDword(kParams, "timer", &dw));
    EXPECT_EQ(dw, 10u);
    std::string s;
    EXPECT_TRUE(host::RegistryGetString(kParams, "Dll", &s));
    EXPECT_EQ(s, "btwav.dll");
    EXPECT_EQ(Value(kParams, "Dll", &type).size(), 20u);   // UTF-16 with the terminator
    EXPECT_EQ(type, static_cast<uint32_t>(REG_SZ));
    EXPECT_TRUE(host::RegistryGetString(kParams, "Path", &s));
    EXPECT_EQ(s, "C:\\Windows\\\"q\"");
    EXPECT_TRUE(host::RegistryGetString(kParams, "", &s));
    EXPECT_EQ(s, "the default");
    EXPECT_EQ(Value(kParams, "Blob", &type), (std::vector<uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_TRUE(Value(kParams, "Empty", &type).empty());
    EXPECT_EQ(Value(kParams, "Multi", &type), (std::vector<uint8_t>{0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(Value(kParams, "Expand", &type).size(), 4u);
    EXPECT_EQ(type, static_cast<uint32_t>(REG_EXPAND_SZ));
    EXPECT_TRUE(host::RegistryKeyExists("empty\\key"));

    // A value's deletion, in a second file without a header.
    const std::string removal =
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
        "\"Timer\"=-\n";
    ASSERT_TRUE(host::RegistryLoadText(removal, "removal.reg", &error)) << error;
    EXPECT_FALSE(host::RegistryGetDword(kParams, "Timer", &dw));
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Sample", &dw));
}

TEST_F(RegFileTest, RegFileFromDiskInUtf16)
{
    const std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\r\n"
        u"\"CacheLen\"=dword:00001800\r\n";
    std::string path = ::testing::TempDir() + "host_registry_test.reg";
    {
        std::ofstream out(path, std::ios::binary);
        for (char16_t c : text) {
            out.put(static_cast<char>(c & 0xFF));
            out.put(static_cast<char>(c >> 8));
        }
    }
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFile(path, &error)) << error;
    uint32_t dw = 0;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "CacheLen", &dw));
    EXPECT_EQ(dw, 6144u);
    std::remove(path.c_str());

    EXPECT_FALSE(host::RegistryLoadFile(path, &error));
    EXPECT_EQ(error, path + ": cannot be read");
}

TEST_F(RegFileTest, RegFileSyntaxErrorsNameTheLine)
{
    const std::string key = "[HKEY_LOCAL_MACHINE\\K]\n";
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"\"A\"=dword:1\n", "t.reg:1: expected a [ROOT\\...] section before values"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n", "t.reg:2: expected ] to close the key name"},
        {"[HKEY_LOCAL_MACHINEX\\K]\n", "t.reg:1: expected " + kRootsExpected},
        {"[HKEY_CURRENT_CONFIG\\K]\n", "t.reg:1: expected " + kRootsExpected},
        {"[HKEY_LOCAL_MACHINE\\K] x\n", "t.reg:1: expected nothing after ]"},
        {key + "garbage\n", "t.reg:2: expected [key], \"name\"=value, @=value or ; comment"},
        {key + "REGEDIT4\n", "t.reg:2: expected [key], \"name\"=value, @=value or ; comment"},
        {key + "\"A=dword:1\n", "t.reg:2: expected \" to close the value name"},
        {key + "\"A\"dword:1\n", "t.reg:2: expected = after the value name"},
        {key + "\"A\"=word:1\n", "t.reg:2: expected \"text\", dword:, multi_sz:, mui_sz:, hex:, hex(N): or - after ="},
        {key + "\"A\"=dword:\n", "t.reg:2: expected 1 to 8 hex digits after dword:"},
        {key + "\"A\"=dword:123456789\n", "t.reg:2: expected 1 to 8 hex digits after dword:"},
        {key + "\"A\"=dword:12x\n", "t.reg:2: expected end of line after the dword"},
        {key + "\"A\"=\"abc\n", "t.reg:2: expected \" to close the string"},
        {key + "\"A\"=\"a\\nb\"\n", "t.reg:2: expected \\\\ or \\\" after a backslash"},
        {key + "\"A\"=\"abc\" x\n", "t.reg:2: expected end of line after the string"},
        {key + "\"A\"=- x\n", "t.reg:2: expected end of line after -"},
        {key + "\"A\"=hex:01,,02\n", "t.reg:2: expected a hex byte (two hex digits)"},
        {key + "\"A\"=hex:01,02,\n", "t.reg:2: expected a hex byte after ,"},
        {key + "\"A\"=hex:01 02\n", "t.reg:2: expected , between hex bytes"},
        {key + "\"A\"=hex:123\n", "t.reg:2: expected a hex byte (two hex digits)"},
        {key + "\"A\"=hex:01,\\\n  02,\\\n  0g\n", "t.reg:4: expected , between hex bytes"},
        {key + "\"A\"=hex:01,\\\n  02,\\\n", "t.reg:3: expected another line of hex bytes after \\"},
        {key + "\"A\"=hex(7:00\n", "t.reg:2: expected hex(N): with N a hex type number"},
        {key + "\"A\"=hex():00\n", "t.reg:2: expected hex(N): with N a hex type number"},
        {"\"A\"=dword:1\n", "t.reg:1: expected a [ROOT\\...] section before values"},
        {key + "\"A\"=multi_sz:\"a\" \"b\"\n", "t.reg:2: expected , between strings"},
        {key + "\"A\"=multi_sz:\"a\",\n", "t.reg:2: expected another line of strings after ,"},
        {key + "\"A\"=multi_sz:a\n", "t.reg:2: expected a quoted string"},
        {key + "\"A\"=multi_sz:\"a\",\\\n", "t.reg:2: expected another line of strings after \\"},
        // Conditionals balance within each file.
        {key + "#if 1\n\"A\"=dword:1\n", "t.reg:2: expected #endif for this #if before the end of the file"},
        {key + "#endif\n", "t.reg:2: expected #if before #endif"},
        {key + "#ifdef X\n#else\n#else\n#endif\n", "t.reg:4: expected #if before #else"},
        {key + "#ifdef X\n#else\n#elif 1\n#endif\n", "t.reg:4: expected #if before #elif"},
        {key + "#ifdef\n#endif\n", "t.reg:2: expected a name after #ifdef"},
        {key + "#include nofile.reg\n", "t.reg:2: expected #include \"file\""},
        // A syntax error in a branch taken still counts.
        {key + "#ifndef X\n\"A\"=dwrd:1\n#endif\n",
         "t.reg:3: expected \"text\", dword:, multi_sz:, mui_sz:, hex:, hex(N): or - after ="},
        // The build's blocks balance too, and #error stops it.
        {key + "IF BSP_X !\n\"A\"=dword:1\n", "t.reg:2: expected ENDIF for this IF before the end of the file"},
        {key + "; @CESYSGEN IF CE_MODULES_X\n", "t.reg:2: expected @CESYSGEN ENDIF for this @CESYSGEN IF before the end of the file"},
        {key + "#error no board chosen\n", "t.reg:2: #error no board chosen"},
    };
    for (const Case& c : cases) {
        host::RegistryClear();
        std::string error;
        EXPECT_FALSE(host::RegistryLoadText(c.text, "t.reg", &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        // A file with an error changes nothing, not even its good lines.
        EXPECT_FALSE(host::RegistryKeyExists("K")) << c.text;
    }
}

// ---- Files as platforms have them ----------------------------------------------------

// Writes `text` to `name` in a fresh directory under the test's temporary
// directory and gives its path.
std::string WriteRegFile(const std::string& dir, const std::string& name, const std::string& text)
{
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A new folder of its own with a "sub" folder.
std::string FreshDirWithSub(const char* name)
{
    std::string dir = FreshDir(name);
    EXPECT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    return dir;
}

TEST_F(RegFileTest, OtherRootsAreKeptApartFromTheMachinesKeys)
{
    const std::string text =
        "[HKEY_CURRENT_USER\\ControlPanel\\Volume]\n"
        "\"Volume\"=dword:ffffffff\n"
        "[HKCR\\.wav]\n"
        "@=\"wavfile\"\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
        "\"Timer\"=dword:a\n"
        "[HKEY_USERS\\Default]\n";
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "roots.reg", &error)) << error;

    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_TRUE(host::RegistryGetValue(host::RegRoot::CurrentUser, "ControlPanel\\Volume", "Volume", &type, &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(host::RegistryKeyExists("ControlPanel"));   // not under HKEY_LOCAL_MACHINE
    EXPECT_TRUE(host::RegistryKeyExists(host::RegRoot::ClassesRoot, ".wav"));
    EXPECT_TRUE(host::RegistryKeyExists(host::RegRoot::Users, "Default"));
    uint32_t dw = 0;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Timer", &dw));
    EXPECT_EQ(dw, 10u);

    // The platform's calls reach the other roots through their predefined handles.
    HKEY currentUser = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001u)));
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(currentUser, P(W("controlpanel\\volume")), 0, 0, &k), ERROR_SUCCESS);
    Answer a = Query(k, "Volume", 4);
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W("ControlPanel\\Volume")), 0, 0, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000004u))), P(W("X")), 0, 0, &k),
              kInvalidHandle);
}

TEST_F(RegFileTest, MultiStringsWithContinuations)
{
    const std::string text =
        "[HKEY_LOCAL_MACHINE\\K]\n"
        "\"List\"=multi_sz:\"ab\",\"\",\\\n"
        "    \"c\\\"d\"   ; three strings, one empty\n"
        "\"None\"=MULTI_SZ:\n";
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "m.reg", &error)) << error;
    uint32_t type = 0;
    EXPECT_EQ(Value("K", "List", &type),
              (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0, 0, 0, 'c', 0, '"', 0, 'd', 0, 0, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(Value("K", "None", &type), (std::vector<uint8_t>{0, 0}));
}

TEST_F(RegFileTest, ConditionalsAreHonouredAndSkippedBranchesNamed)
{
    const std::string text =
        "[HKEY_LOCAL_MACHINE\\K]\n"                 // 1
        "#define LOCAL 2\n"                         // 2
        "#if BSP_AUDIO\n"                           // 3
        "this line is not parsed at all\n"          // 4
        "#elif LOCAL == 2 && !defined(BSP_NONE)\n"  // 5
        "\"Branch\"=dword:5\n"                      // 6
        "#else\n"                                   // 7
        "\"Branch\"=dword:7\n"                      // 8
        "#endif\n"                                  // 9
        "#ifdef BSP_AUDIO\n"                        // 10
        "#ifdef LOCAL\n"                            // 11 (inside a skipped branch: no warning of its own)
        "\"Nested\"=dword:1\n"                      // 12
        "#endif\n"                                  // 13
        "#else\n"                                   // 14
        "\"Else\"=dword:1\n"                        // 15
        "#endif\n"                                  // 16
        "#ifndef SET\n"                             // 17
        "\"NotSet\"=dword:1\n"                      // 18
        "#endif\n"                                  // 19
        "#if (SET || 0) && VALUE\n"                 // 20
        "\"Both\"=dword:1\n"                        // 21
        "#endif\n"                                  // 22
        "#if SIZE > 3\n"                            // 23 (no > operator: false, with a warning)
        "\"Size\"=dword:1\n"                        // 24
        "#endif\n"                                  // 25
        "#pragma once\n"                            // 26
        "#undef LOCAL\n"                            // 27
        "#ifdef LOCAL\n"                            // 28
        "\"Local\"=dword:1\n"                       // 29
        "#endif\n";                                 // 30
    std::vector<std::string> warnings;
    host::RegLoadReport report;
    host::RegLoadOptions options;
    options.defines = {{"SET", ""}, {"VALUE", "0x10"}};
    options.warnings = &warnings;
    options.report = &report;
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "c.reg", &error, options)) << error;

    uint32_t dw = 0;
    EXPECT_TRUE(host::RegistryGetDword("K", "Branch", &dw));
    EXPECT_EQ(dw, 5u);
    EXPECT_FALSE(host::RegistryGetDword("K", "Nested", &dw));
    EXPECT_TRUE(host::RegistryGetDword("K", "Else", &dw));
    EXPECT_FALSE(host::RegistryGetDword("K", "NotSet", &dw));
    EXPECT_TRUE(host::RegistryGetDword("K", "Both", &dw));
    EXPECT_FALSE(host::RegistryGetDword("K", "Size", &dw));
    EXPECT_FALSE(host::RegistryGetDword("K", "Local", &dw));
    // What needs a look is a warning; the branches not taken are reported.
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "c.reg:23: cannot evaluate #if SIZE > 3 (expected an operator); taken as false",
                            "c.reg:26: unknown directive #pragma once ignored",
                        }));
    EXPECT_EQ(host::RegTexts(report.skipped), (std::vector<std::string>{
                                  "c.reg:3-5 (#if BSP_AUDIO not taken)",
                                  "c.reg:7-9 (#else of the #if at line 3 not taken)",
                                  "c.reg:10-14 (#ifdef BSP_AUDIO not taken)",
                                  "c.reg:17-19 (#ifndef SET not taken)",
                                  "c.reg:23-25 (#if SIZE > 3 not taken)",
                                  "c.reg:28-30 (#ifdef LOCAL not taken)",
                              }));
}

TEST_F(RegFileTest, IncludesResolveBesideTheIncludingFile)
{
    std::string dir = FreshDirWithSub("registry_include");
    WriteRegFile(dir, "sub/params.reg",
                 "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
                 "#ifdef FAST\n\"Timer\"=dword:5\n#endif\n");
    std::string top = WriteRegFile(dir, "platform.reg",
                                   "REGEDIT4\n#define FAST\n#include \"sub/params.reg\"\n"
                                   "\"CacheLen\"=dword:0   ; the section of the included file goes on\n");
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFile(top, &error)) << error;
    uint32_t dw = 0;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Timer", &dw));
    EXPECT_EQ(dw, 5u);
    EXPECT_TRUE(host::RegistryGetDword(kParams, "CacheLen", &dw));

    // Errors name the included file and its own line; nothing is applied.
    host::RegistryClear();
    WriteRegFile(dir, "sub/bad.reg", "[HKEY_LOCAL_MACHINE\\K]\n\n\"A\"=dword:xyz\n");
    top = WriteRegFile(dir, "top.reg", "[HKEY_LOCAL_MACHINE\\Top]\n#include \"sub/bad.reg\"\n");
    EXPECT_FALSE(host::RegistryLoadFile(top, &error));
    EXPECT_EQ(error, dir + "/sub/bad.reg:3: expected 1 to 8 hex digits after dword:");
    EXPECT_FALSE(host::RegistryKeyExists("Top"));

    top = WriteRegFile(dir, "missing.reg", "\n#include \"sub/absent.reg\"\n");
    EXPECT_FALSE(host::RegistryLoadFile(top, &error));
    EXPECT_EQ(error, dir + "/missing.reg:2: expected a file to include: " + dir + "/sub/absent.reg cannot be read");

    top = WriteRegFile(dir, "self.reg", "#include \"self.reg\"\n");
    EXPECT_FALSE(host::RegistryLoadFile(top, &error));
    EXPECT_NE(error.find("self.reg:1: expected at most 16 nested #include"), std::string::npos) << error;

    // A directory is not a file to load.
    EXPECT_FALSE(host::RegistryLoadFile(dir, &error));
    EXPECT_EQ(error, dir + ": is a directory, not a .reg file");
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// ---- Merged files and the registry as it stands ------------------------------------------

TEST_F(RegFileTest, FilesMergeInOrderAndApplyAllOrNothing)
{
    std::string dir = FreshDirWithSub("registry_merge");
    const std::string platform = WriteRegFile(dir, "platform.reg",
                                              "#define KEY HKEY_LOCAL_MACHINE\\Board\n[$(KEY)]\n\"A\"=dword:1\n");
    const std::string project = WriteRegFile(dir, "project.reg", "[$(KEY)\\Sub]\n\"B\"=dword:2\n");
    const std::string broken = WriteRegFile(dir, "broken.reg", "[HKEY_LOCAL_MACHINE\\Other]\n\"C\"=dword:\n");

    // The second file sees the first one's #define.
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFiles({platform, project}, &error)) << error;
    uint32_t dw = 0;
    EXPECT_TRUE(host::RegistryGetDword("Board\\Sub", "B", &dw));
    EXPECT_EQ(dw, 2u);

    // A broken file after good ones: none of them is applied.
    host::RegistryClear();
    EXPECT_FALSE(host::RegistryLoadFiles({platform, project, broken}, &error));
    EXPECT_EQ(error, broken + ":2: expected 1 to 8 hex digits after dword:");
    EXPECT_FALSE(host::RegistryKeyExists("Board"));
    EXPECT_FALSE(host::RegistryLoadFiles({platform, dir + "/absent.reg"}, &error));
    EXPECT_EQ(error, dir + "/absent.reg: cannot be read");
    EXPECT_FALSE(host::RegistryKeyExists("Board"));
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// The board-shaped tree under tests/data/board, as the player reads it.
const std::string kBoard = std::string(BTWAV_SOURCE_DIR) + "/tests/data/board";

TEST_F(RegFileTest, BoardTreeLoadsAsItsImageWouldHoldIt)
{
    host::RegLoadOptions options;
    options.defines = {{"_TARGETPLATROOT", kBoard}, {"LOCALE", "0409"}, {"CE_MODULES", "device waveapi keybd serial"}};
    options.stringFiles = {kBoard + "/FILES/INTLTRNS/0409/board.str"};
    std::vector<std::string> warnings;
    host::RegLoadReport report;
    options.warnings = &warnings;
    options.report = &report;
    const std::vector<std::string> files = {kBoard + "/FILES/platform.reg", kBoard + "/FILES/project.reg"};
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFiles(files, &error, options)) << error;
    EXPECT_EQ(warnings, std::vector<std::string>{});

    // The driver's entry and Params, set through the platform's macros.
    uint32_t dw = 0;
    std::string s;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Sample", &dw));
    EXPECT_EQ(dw, 176400u);
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Timer", &dw));
    EXPECT_EQ(dw, 10u);
    EXPECT_TRUE(host::RegistryGetDword(kParams, "CacheLen", &dw));
    EXPECT_EQ(dw, 4096u);
    EXPECT_TRUE(host::RegistryGetDword(BTWAV_DRIVER_KEY, "Index", &dw));
    EXPECT_EQ(dw, 2u);
    EXPECT_TRUE(host::RegistryGetString(BTWAV_DRIVER_KEY, "FriendlyName", &s));
    EXPECT_EQ(s, "Bluetooth A2DP Output");
    EXPECT_TRUE(host::RegistryGetString("Platform", "Name", &s));
    EXPECT_EQ(s, "Test Board 1");
    EXPECT_TRUE(host::RegistryGetString("Hardware\\DeviceMap\\Keybd", "Keyboard Layout", &s));
    EXPECT_EQ(s, "00000409");
    uint32_t type = 0;
    EXPECT_EQ(Value("Drivers\\BuiltIn\\Serial", "IClass", &type).size(), 2u * (39 + 39 + 1));   // two GUIDs
    EXPECT_FALSE(host::RegistryKeyExists("Drivers\\BuiltIn\\Audio"));       // IF BSP_BOARD_WAVEDEV
    EXPECT_FALSE(host::RegistryKeyExists("Drivers\\BuiltIn\\NoWaveApi"));   // the @CESYSGEN ELSE
    EXPECT_EQ(report.files.size(), 4u);   // platform.reg, the two it includes, project.reg

    // Japanese, the board's own wave driver, the project's cache and no
    // serial port in the image.
    host::RegistryClear();
    options.defines = {{"_TARGETPLATROOT", kBoard},
                       {"LOCALE", "0411"},
                       {"BSP_BOARD_WAVEDEV", "1"},
                       {"BTWAV_SHORT_CACHE", "1"},
                       {"BTWAV_CACHE", "800"},
                       {"CE_MODULES", "device waveapi keybd"}};
    options.stringFiles = {kBoard + "/FILES/INTLTRNS/0411/board.str"};
    ASSERT_TRUE(host::RegistryLoadFiles(files, &error, options)) << error;
    EXPECT_TRUE(host::RegistryGetDword(kParams, "CacheLen", &dw));
    EXPECT_EQ(dw, 2048u);   // project.reg, merged after platform.reg, with its macro
    EXPECT_TRUE(host::RegistryGetString("Hardware\\DeviceMap\\Keybd", "Keyboard Layout", &s));
    EXPECT_EQ(s, "00000411");
    EXPECT_TRUE(host::RegistryGetDword("Drivers\\BuiltIn\\Audio", "Index", &dw));
    EXPECT_FALSE(host::RegistryKeyExists("Drivers\\BuiltIn\\Serial"));
    EXPECT_TRUE(host::RegistryGetString("Platform", "Name", &s));
    EXPECT_EQ(s, "テストボード 1");   // the string file is in 932, its locale folder's code page

    // No audio: the driver's key gets a Params of its own only.
    host::RegistryClear();
    options.defines = {{"_TARGETPLATROOT", kBoard}, {"BSP_NOAUDIO", "1"}};
    ASSERT_TRUE(host::RegistryLoadFiles(files, &error, options)) << error;
    EXPECT_FALSE(host::RegistryGetDword(kParams, "Sample", &dw));
    EXPECT_TRUE(host::RegistryGetDword(kParams, "Timer", &dw));
    EXPECT_EQ(dw, 1u);
}

}  // namespace
