// The registry dump: what it writes loads back to the same registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_files.h"
#include "host/host.h"
#include "wave/registry_setup.h"

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
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Empty\\Key]"), text.find("[HKEY_CURRENT_USER\\ControlPanel]"));

    host::RegistryClear();
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "dump.reg", &error)) << error << "\n" << text;
    EXPECT_EQ(Listing(), before) << text;
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
