// The host's registry: the platform calls' size and type rules, handles,
// fault switches and the control API (the .reg loader: host_regfile_test).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <cstring>
#include <cctype>
#include <fstream>
#include <map>
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
const LONG kKeyDeleted = 1018;
const char kParams[] = BTWAV_PARAMS_KEY;

using RegistryTest = RegistryFixture;

// ---- Queries ---------------------------------------------------------------------

TEST_F(RegistryTest, DwordQueryTypesAndSizes)
{
    host::RegistrySetDword(kParams, "Timer", 0x0002B110);
    HKEY k = Open(kParams);
    ASSERT_NE(k, nullptr);

    Answer a = Query(k, "Timer", 4);
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(a.size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(a.buffer.begin(), a.buffer.begin() + 5),
              (std::vector<uint8_t>{0x10, 0xB1, 0x02, 0x00, 0xEE}));

    a = Query(k, "Timer", 16);   // a larger buffer: the size becomes the data's
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.size, 4u);

    a = Query(k, "Timer", 3);    // too small: the size needed, buffer untouched
    EXPECT_EQ(a.result, ERROR_MORE_DATA);
    EXPECT_EQ(a.size, 4u);
    EXPECT_EQ(a.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(a.buffer, std::vector<uint8_t>(7, 0xEE));

    // No buffer: the size and type only.
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(k, P(W("TIMER")), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegQueryValueExW(k, P(W("timer")), nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    // Broken calls.
    BYTE buf[4];
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(k, P(W("Timer")), nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
    size = 4;
    EXPECT_EQ(RegQueryValueExW(k, P(W("Timer")), &reserved, nullptr, buf, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Query(k, "Sample", 4).result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, LongAndShortValuesInAFourByteBuffer)
{
    host::RegistrySetValue(kParams, "Sample", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    host::RegistrySetValue(kParams, "CacheLen", REG_DWORD, {0x34, 0x12});
    host::RegistrySetValue(kParams, "Empty", REG_BINARY, {});
    HKEY k = Open(kParams);

    Answer a = Query(k, "Sample", 4);
    EXPECT_EQ(a.result, ERROR_MORE_DATA);
    EXPECT_EQ(a.size, 8u);
    EXPECT_EQ(a.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(a.buffer, std::vector<uint8_t>(8, 0xEE));

    a = Query(k, "CacheLen", 4);   // only the bytes it has are written
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.size, 2u);
    EXPECT_EQ(std::vector<uint8_t>(a.buffer.begin(), a.buffer.begin() + 4),
              (std::vector<uint8_t>{0x34, 0x12, 0xEE, 0xEE}));

    a = Query(k, "Empty", 4);
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.size, 0u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, StringsAreUtf16WithTheirTerminator)
{
    host::RegistrySetString(kParams, "Name", "Bluetooth \xC3\xA9");   // é
    host::RegistrySetString(kParams, "", "default");
    HKEY k = Open(kParams);
    Answer a = Query(k, "Name", 64);
    ASSERT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.type, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(a.size, 2u * 12);
    std::u16string got(reinterpret_cast<const char16_t*>(a.buffer.data()), 12);
    EXPECT_EQ(got, std::u16string(u"Bluetooth \u00e9") + u'\0');

    // The default value, by a null or an empty name.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(k, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(Query(k, "", 16).result, ERROR_SUCCESS);

    std::string back;
    EXPECT_TRUE(host::RegistryGetString(kParams, "NAME", &back));
    EXPECT_EQ(back, "Bluetooth \xC3\xA9");
    uint32_t dw;
    EXPECT_FALSE(host::RegistryGetDword(kParams, "Name", &dw));
    RegCloseKey(k);
}

// ---- Keys and handles -------------------------------------------------------------------

TEST_F(RegistryTest, OpenCloseAndHandles)
{
    host::RegistrySetDword(kParams, "Timer", 10);
    HKEY k = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W("Drivers\\Missing")), 0, 0, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W("Drivers")), 0, 0, nullptr), ERROR_INVALID_PARAMETER);

    // Parents exist; names are case-insensitive; opening relative to a handle.
    HKEY drivers = Open("DRIVERS\\builtin");
    ASSERT_NE(drivers, nullptr);
    HKEY params = nullptr;
    ASSERT_EQ(RegOpenKeyExW(drivers, P(W("wavkelvo\\PARAMS")), 0, 0, &params), ERROR_SUCCESS);
    EXPECT_EQ(Query(params, "Timer", 4).result, ERROR_SUCCESS);
    EXPECT_EQ(host::RegistryOpenHandles(), 2u);

    // A value right under the root, through HKEY_LOCAL_MACHINE itself.
    host::RegistrySetDword("", "Top", 1);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, "Top", 4).result, ERROR_SUCCESS);

    EXPECT_EQ(RegCloseKey(drivers), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(drivers), kInvalidHandle);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), kInvalidHandle);
    EXPECT_EQ(Query(drivers, "Timer", 4).result, kInvalidHandle);
    HKEY bogus = reinterpret_cast<HKEY>(0x10);
    EXPECT_EQ(RegOpenKeyExW(bogus, P(W("x")), 0, 0, &k), kInvalidHandle);

    // A handle whose key went away.
    host::RegistryDeleteKey(BTWAV_DRIVER_KEY);
    EXPECT_EQ(Query(params, "Timer", 4).result, kKeyDeleted);
    EXPECT_EQ(RegCloseKey(params), ERROR_SUCCESS);
    EXPECT_EQ(host::RegistryOpenHandles(), 0u);

    // ResetAll takes back handles left open, and empties the registry.
    Open("Drivers");
    EXPECT_EQ(host::RegistryOpenHandles(), 1u);
    host::ResetAll();
    EXPECT_EQ(host::RegistryOpenHandles(), 0u);
    EXPECT_FALSE(host::RegistryKeyExists("Drivers"));
    EXPECT_TRUE(host::RegistryKeyExists(""));
}

TEST_F(RegistryTest, FaultSwitches)
{
    host::RegistrySetDword(kParams, "Timer", 10);
    host::FailNext(host::Fault::RegistryOpen);
    HKEY k = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W(kParams)), 0, 0, &k), ERROR_INTERNAL_ERROR);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(host::RegistryOpenHandles(), 0u);
    k = Open(kParams);
    ASSERT_NE(k, nullptr);

    host::FailNext(host::Fault::RegistryQuery, 1, 1);   // the second query fails
    EXPECT_EQ(Query(k, "Timer", 4).result, ERROR_SUCCESS);
    Answer a = Query(k, "Timer", 4);
    EXPECT_EQ(a.result, ERROR_INTERNAL_ERROR);
    EXPECT_EQ(a.buffer, std::vector<uint8_t>(8, 0xEE));
    EXPECT_EQ(Query(k, "Timer", 4).result, ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST_F(RegistryTest, DeletionsTouchOnlyWhatTheyName)
{
    host::RegistrySetDword("A\\Params", "x", 1);
    host::RegistrySetDword("A\\Params\\Sub", "y", 2);
    host::RegistrySetDword("A\\Params2", "z", 3);
    host::RegistrySetDword("A\\Params2", "w", 4);
    host::RegistryDeleteValue("a\\params2", "W");
    uint32_t v;
    EXPECT_FALSE(host::RegistryGetDword("A\\Params2", "w", &v));
    EXPECT_TRUE(host::RegistryGetDword("A\\Params2", "z", &v));
    host::RegistryDeleteKey("A\\PARAMS");
    EXPECT_FALSE(host::RegistryKeyExists("A\\Params"));
    EXPECT_FALSE(host::RegistryKeyExists("A\\Params\\Sub"));
    EXPECT_TRUE(host::RegistryKeyExists("A\\Params2"));
    EXPECT_TRUE(host::RegistryKeyExists("A"));
}

TEST_F(RegistryTest, SnapshotKeepsTheSpellingAndListsSubkeysAfterTheirKey)
{
    host::RegistrySetDword("Drivers\\BuiltIn\\WAVKELVO\\Params", "CacheLen", 1);
    host::RegistrySetDword("DRIVERS\\builtin\\Audio", "Index", 1);   // the keys that exist keep their spelling
    host::RegistrySetDword("Drivers\\BuiltIn\\WAVKELVO\\Params", "CACHELEN", 2);
    host::RegistrySetDword("Drivers\\BuiltIn0", "X", 3);              // sorts after BuiltIn's subkeys
    host::RegistryCreateKey(host::RegRoot::CurrentUser, "ControlPanel\\\\Volume\\");

    std::vector<std::string> listed;
    for (const host::RegistryKeyView& k : host::RegistrySnapshot()) {
        std::string line = std::to_string(static_cast<int>(k.root)) + " " + k.path;
        for (const host::RegistryValueView& v : k.values)
            line += " " + v.name + "=" + std::to_string(v.data.empty() ? -1 : v.data[0]);
        listed.push_back(line);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "0 ",
                          "1 ",
                          "1 ControlPanel",
                          "1 ControlPanel\\Volume",
                          "2 ",
                          "2 Drivers",
                          "2 Drivers\\BuiltIn",
                          "2 Drivers\\BuiltIn\\Audio Index=1",
                          "2 Drivers\\BuiltIn\\WAVKELVO",
                          "2 Drivers\\BuiltIn\\WAVKELVO\\Params CacheLen=2",
                          "2 Drivers\\BuiltIn0 X=3",
                          "3 ",
                      }));
}

}  // namespace
