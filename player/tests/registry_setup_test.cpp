// The registry as the player sets it up: the dump loads back to the same
// registry, and the report counts what shaped it from the loader's records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_files.h"
#include "host/host.h"
#include "report/report.h"
#include "wave/bootorder.h"
#include "wave/driverread.h"
#include "wave/registry_setup.h"
#include "wave/regtext.h"

using namespace player;
using player_test::TempDir;

namespace {

// The registry's keys and values, for comparing two registries.
std::vector<std::string> Listing()
{
    std::vector<std::string> out;
    for (const host::RegistryKeyView& k : host::RegistrySnapshot()) {
        std::string line = std::to_string(static_cast<int>(k.root)) + " [" + k.path + "]";
        for (const host::RegistryValueView& v : k.values) {
            line += " " + v.name + ":" + std::to_string(v.type) + "=";
            for (uint8_t b : v.data)
                line += std::to_string(b) + ".";
        }
        out.push_back(line);
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::u16string& s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

}  // namespace

TEST(RegistryDumpTest, DumpLoadsBackToTheSameRegistry)
{
    host::ResetAll();
    const std::string k = "Drivers\\BuiltIn\\WAVKELVO\\Params";
    host::RegistrySetDword(k, "Sample", 176400);
    host::RegistrySetValue(k, "Short", REG_DWORD, {1, 2, 3});
    host::RegistrySetString(k, "Quote \"and\" \\slash", "C:\\dir\\\"x\" caf\xC3\xA9");
    host::RegistrySetString(k, "", "default");
    host::RegistrySetValue(k, "List", REG_MULTI_SZ, Bytes(std::u16string(u"ab\0\0c\0\0", 7)));
    host::RegistrySetValue(k, "NoList", REG_MULTI_SZ, Bytes(std::u16string(u"\0", 1)));
    host::RegistrySetValue(k, "Unterminated", REG_SZ, Bytes(u"abc"));
    host::RegistrySetValue(k, "Newline", REG_SZ, Bytes(std::u16string(u"a\nb\0", 4)));
    host::RegistrySetValue(k, "Odd", REG_SZ, {0x41});
    host::RegistrySetValue(k, "Expand", REG_EXPAND_SZ, Bytes(std::u16string(u"%x%\0", 4)));
    host::RegistrySetValue(k, "Custom", 0x20, {});
    host::RegistrySetValue(k, "DisplayName", host::kRegMuiSz, Bytes(std::u16string(u"netmui.dll,#9001\0", 17)));
    std::vector<uint8_t> blob;
    for (int i = 0; i < 60; ++i)
        blob.push_back(static_cast<uint8_t>(i * 7));
    host::RegistrySetValue(k, "Blob", REG_BINARY, blob);
    host::RegistryCreateKey("Empty\\Key");
    host::RegistrySetValue(host::RegRoot::CurrentUser, "ControlPanel\\Volume", "Volume", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<std::string> before = Listing();

    const std::string text = FormatRegistry(host::RegistrySnapshot());
    EXPECT_NE(text.find("\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Sample\"=dword:0002b110   ; REG_DWORD 176400\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"List\"=multi_sz:\"ab\",\"\",\"c\"   ; REG_MULTI_SZ\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Short\"=hex(4):01,02,03   ; REG_DWORD, 3 bytes\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n@=\"default\"   ; REG_SZ\n"), std::string::npos) << text;
    // As written, in the form of the page "Multilingual User Interface (MUI)
    // Registry Settings".
    EXPECT_NE(text.find("\n\"DisplayName\"=mui_sz:\"netmui.dll,#9001\"   ; REG_MUI_SZ\n"), std::string::npos) << text;
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Empty\\Key]"), text.find("[HKEY_CURRENT_USER\\ControlPanel]"));

    host::RegistryClear();
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "dump.reg", &error)) << error << "\n" << text;
    EXPECT_EQ(Listing(), before) << text;
    host::ResetAll();
}

// The device manager writes a key under Drivers\Active for each device it
// loads, at the next free number: a dump that held them would load back
// with each device listed twice after the next boot.
TEST(RegistryDumpTest, TheDeviceManagersKeysAreLeftOut)
{
    host::ResetAll();
    host::RegistrySetString("Drivers\\Active\\01", "Name", "WAV0:");
    host::RegistrySetString("Drivers\\ACTIVE\\02", "Key", "Drivers\\BuiltIn\\WAVKELVO");
    host::RegistrySetString("Drivers\\ActiveSync", "Kept", "yes");
    host::RegistrySetValue(host::RegRoot::CurrentUser, "Drivers\\Active", "Kept", REG_SZ,
                           Bytes(std::u16string(u"yes\0", 4)));
    const std::string text = FormatRegistry(host::RegistrySnapshot());
    EXPECT_EQ(text.find("[HKEY_LOCAL_MACHINE\\Drivers\\Active]"), std::string::npos) << text;
    EXPECT_EQ(text.find("\\Active\\0"), std::string::npos) << text;
    EXPECT_EQ(text.find("\\ACTIVE\\0"), std::string::npos) << text;
    EXPECT_NE(text.find("\n[HKEY_LOCAL_MACHINE\\Drivers\\ActiveSync]\n\"Kept\"=\"yes\""), std::string::npos) << text;
    EXPECT_NE(text.find("\n[HKEY_CURRENT_USER\\Drivers\\Active]\n\"Kept\"=\"yes\""), std::string::npos) << text;
    host::ResetAll();
}

TEST(RegistryDumpTest, LoadOrderNoteOnlyWhenTheOrderIsNotFixed)
{
    host::BuiltInDriver ours{"Drivers\\BuiltIn\\WAVKELVO", "btwav.dll", "WAV", true, 1, false, 0};
    host::BuiltInDriver first{"Drivers\\BuiltIn\\Audio", "wave.dll", "WAV", true, 1, true, 10};
    host::BuiltInDriver same{"Drivers\\BuiltIn\\pl041", "pl041.dll", "WAV", false, 0, false, 0};
    const std::vector<host::BuiltInDriver> drivers = {first, same, ours};
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\Audio"), "");
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\pl041"),
              " (both have no Order: which of the two loads first is not fixed; taken here by key name)");
    ours.hasOrder = true;
    ours.order = 10;
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\Audio"),
              " (both have Order 10: which of the two loads first is not fixed; taken here by key name)");
}

namespace {

void Write(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// The report's lines on the registry.
std::string RegistryPart(const host::RegLoadReport& shaped)
{
    Report r;
    r.registry = shaped;
    return FormatText(r);
}

}  // namespace

TEST(RegistryReportTest, CountsComeFromTheLoadersRecords)
{
    host::ResetAll();
    TempDir dir;
    Write(dir.File("inc.reg"), "[HKEY_LOCAL_MACHINE\\Inc]\n");
    Write(dir.File("board.reg"),
          "#include \"inc.reg\"\n"
          "#include \"inc.reg\"\n"
          "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
          "\"Where\"=\"$(NOWHERE)\"\n"
          "; @CESYSGEN IF WAVEAPI_SOMETHING\n"
          "\"Timer\"=dword:A\n"
          "; @CESYSGEN ENDIF\n"
          "IF NEVER_SET\n"
          "\"Sample\"=dword:1\n"
          "ENDIF\n");
    Options o;
    o.regFiles = {dir.File("board.reg")};
    o.defines = {{"GIVEN", "yes"}};
    RegistrySetup setup;
    std::string error;
    ASSERT_TRUE(SetUpRegistry(o, &setup, &error)) << error;

    // The records themselves.
    const host::RegLoadReport& g = setup.shaped;
    ASSERT_EQ(g.files.size(), 3u);
    EXPECT_EQ(g.files[0].includedAt, "");
    EXPECT_EQ(g.files[1].includedAt, dir.File("board.reg") + ":1");
    EXPECT_EQ(g.files[2].includedAt, dir.File("board.reg") + ":2");
    ASSERT_EQ(g.variables.size(), 2u);   // NOWHERE, NEVER_SET; GIVEN is never asked for
    EXPECT_EQ(g.variables[0].source, host::RegVariableUse::NotSet);
    EXPECT_EQ(g.variables[0].firstAskedAt, dir.File("board.reg") + ":4");
    ASSERT_EQ(g.components.size(), 1u);
    EXPECT_TRUE(g.components[0].assumed);
    EXPECT_TRUE(g.components[0].inImage);
    ASSERT_EQ(g.skipped.size(), 1u);
    EXPECT_EQ(g.skipped[0].from, 8);
    EXPECT_EQ(g.skipped[0].to, 10);

    const std::string text = RegistryPart(g);
    EXPECT_NE(text.find("read " + dir.File("board.reg") + " and 2 files they include"), std::string::npos) << text;
    EXPECT_NE(text.find("variables none given; 2 asked for but not set"), std::string::npos) << text;
    EXPECT_NE(text.find("1 block left out by their conditions, 1 component taken as in the image"),
              std::string::npos) << text;

    // Records whose words would have fooled a count by wording: a file
    // given whose name reads like an include, a variable whose value reads
    // like one not set, a component not assumed whose reason says so.
    host::RegLoadReport odd;
    odd.files = {{"a (included at x:1)", ""}, {"b.reg", "a:3"}};
    odd.variables = {{"A", host::RegVariableUse::Given, "x (not set; first asked at y)", "given", ""},
                     {"B", host::RegVariableUse::Defined, "1", "a:2", ""}};
    odd.components = {{"C_D", false, false, "(assumed) not listed in C_COMPONENTS (given)"},
                      {"E_F", true, true, "first at a:4"}};
    const std::string oddText = RegistryPart(odd);
    EXPECT_NE(oddText.find("read a (included at x:1) and 1 file they include"), std::string::npos) << oddText;
    EXPECT_NE(oddText.find("variables A=x (not set; first asked at y) (given)\n"), std::string::npos) << oddText;
    EXPECT_NE(oddText.find("0 blocks left out by their conditions, 1 component taken as in the image"),
              std::string::npos) << oddText;
}

// The player predicts nothing of what the driver reads: the driver, started,
// says what it used, and the player sets that against the registry.  The
// driver's documented rules decide the values: a 0 period or byte rate is not
// taken, a reserve is whole frames, a value of another size than 4 bytes is
// not read.
TEST(RegistrySetupTest, WhatTheDriverUsedIsSetAgainstTheRegistry)
{
    host::ResetAll();
    Options o;
    o.sets = {{"Timer", 0}, {"Sample", 0}, {"CacheLen", 6145}};
    RegistrySetup setup;
    std::string error;
    ASSERT_TRUE(SetUpRegistry(o, &setup, &error)) << error;
    EXPECT_TRUE(setup.warnings.empty());
    PacingConfig used;
    std::string line;
    ASSERT_TRUE(StartDriverToRead(o, &used, &line, &error)) << error;
    EXPECT_EQ(used.sample, BT_AUDIO_DEFAULT_SAMPLE);
    EXPECT_EQ(used.timer, static_cast<uint32_t>(BT_AUDIO_DEFAULT_TIMER));
    EXPECT_EQ(used.cacheLen, 6144u);
    EXPECT_EQ(line, "InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144");
    const std::string params = std::string("registry value ") + kParamsKey + "\\";
    EXPECT_EQ(RegistryAgainstDriver(used),
              (std::vector<std::string>{params + "Sample is REG_DWORD 0: the driver used 176400 bytes per second",
                                        params + "Timer is REG_DWORD 0: the driver used 20 ms",
                                        params + "CacheLen is REG_DWORD 6145: the driver used 6144 bytes"}));

    // Values of other types: the number the driver used, whatever it is.
    host::ResetAll();
    o.sets = {{"CacheLen", 0}};
    ASSERT_TRUE(SetUpRegistry(o, &setup, &error)) << error;
    host::RegistrySetValue(kParamsKey, "Timer", REG_BINARY, {10, 0, 0, 0});
    host::RegistrySetValue(kParamsKey, "Sample", REG_BINARY, {1, 2, 3});
    ASSERT_TRUE(StartDriverToRead(o, &used, &line, &error)) << error;
    EXPECT_EQ(used.timer, 10u);
    EXPECT_EQ(used.cacheLen, 0u);   // a 0 reserve is taken
    EXPECT_EQ(RegistryAgainstDriver(used),
              (std::vector<std::string>{params + "Sample is binary (REG_BINARY), not REG_DWORD, of 3 bytes: the driver "
                                                 "used 176400 bytes per second",
                                        params + "Timer is binary (REG_BINARY), not REG_DWORD, of 4 bytes: the driver "
                                                 "used 10 ms"}));
    // Nothing said before the driver has said what it used.
    EXPECT_TRUE(RegistryAgainstDriver(PacingConfig()).empty());
    host::ResetAll();
}

// The pacing values' table states what the driver does: with a value
// missing it uses the table's default, with a 0 it uses 0 only where the
// table says a 0 is taken.
TEST(RegistrySetupTest, ThePacingTableSaysWhatTheDriverDoes)
{
    for (const PacingValue& v : kPacingValues) {
        SCOPED_TRACE(v.name);
        for (bool zero : {false, true}) {
            host::ResetAll();
            Options o;
            RegistrySetup setup;
            std::string error, line;
            ASSERT_TRUE(SetUpRegistry(o, &setup, &error)) << error;
            // The others at values no default has, so a mix-up shows.
            for (const PacingValue& other : kPacingValues)
                if (&other != &v)
                    host::RegistrySetDword(kParamsKey, other.name, 1000 + static_cast<uint32_t>(&other - kPacingValues) * 4);
            if (zero)
                host::RegistrySetDword(kParamsKey, v.name, 0);
            else
                host::RegistryDeleteValue(kParamsKey, v.name);
            PacingConfig used;
            ASSERT_TRUE(StartDriverToRead(o, &used, &line, &error)) << error;
            EXPECT_EQ(used.*(v.field), zero && v.zeroTaken ? 0u : v.defaultValue);
            for (const PacingValue& other : kPacingValues)
                if (&other != &v)
                    EXPECT_EQ(used.*(other.field), 1000 + static_cast<uint32_t>(&other - kPacingValues) * 4) << other.name;
        }
    }
    host::ResetAll();
}
