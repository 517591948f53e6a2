// The registry's store seen through the host's API: keys and values made,
// overwritten and deleted in any order, handles that name a key and not its
// path, keys made together and reached inside, and memory that grows with
// what the registry holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "driver/config.h"
#include "host/devicemanager.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/registry.h"
#include "support/registry_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

// The bytes this process has allocated and not freed: the sanitizer's
// count when it replaces malloc, else the C library's.
size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

const LONG kKeyDeleted = 1018;
const char kParams[] = BTWAV_PARAMS_KEY;

using RegStoreTest = RegistryFixture;

// ---- The store: keys and values made and deleted in any order ---------------------

TEST_F(RegStoreTest, AHandleStandsForTheKeyNotItsName)
{
    host::RegistrySetDword(kParams, "Timer", 10);
    HKEY params = Open(kParams);
    HKEY builtIn = Open("Drivers\\BuiltIn");
    ASSERT_NE(params, nullptr);
    ASSERT_NE(builtIn, nullptr);

    // Deleted and made again under the same name: the handles still stand
    // for the keys that went, so they do not read the new key's values.
    host::RegistryDeleteKey("Drivers");
    host::RegistrySetDword(kParams, "Timer", 20);
    EXPECT_EQ(Query(params, "Timer", 4).result, kKeyDeleted);
    HKEY k = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(builtIn, P(W("WAVKELVO")), 0, 0, &k), kKeyDeleted);
    EXPECT_EQ(k, nullptr);
    HKEY fresh = Open(kParams);
    Answer a = Query(fresh, "Timer", 4);
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.buffer[0], 20);

    // Emptying the registry does the same to every handle but the roots'.
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W("")), 0, 0, &root), ERROR_SUCCESS);
    host::RegistryClear();
    host::RegistrySetDword(kParams, "Timer", 30);
    host::RegistrySetDword("", "Top", 1);
    EXPECT_EQ(Query(fresh, "Timer", 4).result, kKeyDeleted);
    EXPECT_EQ(Query(root, "Top", 4).result, ERROR_SUCCESS);
    EXPECT_EQ(host::RegistryOpenHandles(), 4u);
    for (HKEY h : {params, builtIn, fresh, root})
        EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

// Thousands of keys and values made, overwritten and deleted in a shuffled
// order read back as a plain map of the same changes says, with names in
// any case; what is deleted is given back.
TEST_F(RegStoreTest, ManyChangesReadBackAsAMapSays)
{
    std::map<std::string, uint32_t> model;   // "key|value" in lower case
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    auto keyOf = [](uint32_t n) { return "K" + std::to_string(n % 50) + "\\Sub" + std::to_string(n % 7); };
    auto lower = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    for (int step = 0; step < 20000; ++step) {
        const uint32_t n = next();
        const std::string key = keyOf(n), name = "Value" + std::to_string(n % 300);
        const std::string id = lower(key) + "|" + lower(name);
        switch (n % 10) {
        case 0:
            host::RegistryDeleteValue(lower(key), name);
            model.erase(id);
            break;
        case 1:
            if (n % 3 == 0) {   // the key and its values
                host::RegistryDeleteKey(key);
                for (auto it = model.lower_bound(lower(key) + "|"); it != model.end() && it->first.rfind(lower(key) + "|", 0) == 0;)
                    it = model.erase(it);
            }
            break;
        default:
            host::RegistrySetDword(n % 2 ? key : lower(key), n % 4 ? name : lower(name), n);
            model[id] = n;
        }
    }
    size_t found = 0;
    for (uint32_t k = 0; k < 50 * 7; ++k) {
        for (uint32_t v = 0; v < 300; ++v) {
            const std::string key = keyOf(k), name = "VALUE" + std::to_string(v);   // every (k % 50, k % 7)
            uint32_t got = 0;
            const bool there = host::RegistryGetDword(key, name, &got);
            auto it = model.find(lower(key) + "|" + lower(name));
            ASSERT_EQ(there, it != model.end()) << key << " " << name;
            if (there) {
                EXPECT_EQ(got, it->second);
                ++found;
            }
        }
    }
    EXPECT_EQ(found, model.size());
    EXPECT_EQ(host::RegistryCount().values, model.size());

    // Everything deleted: the store holds its roots and no more than when it
    // began, give or take its index.
    for (uint32_t k = 0; k < 50; ++k)
        host::RegistryDeleteKey("k" + std::to_string(k));
    const host::RegistryCounts after = host::RegistryCount();
    EXPECT_EQ(after.keys, 4u);
    EXPECT_EQ(after.values, 0u);
    EXPECT_EQ(after.dataBytes, 0u);
}

// Names and data live in shared blocks: a value overwritten again and
// again, small or of its own block, leaves the others intact and the store
// no bigger than what it holds and a fixed allowance.
TEST_F(RegStoreTest, OverwritingDoesNotAccumulate)
{
    host::RegistrySetString("Keep", "Small", "kept");
    const std::vector<uint8_t> big(3000, 0x5A);
    host::RegistrySetValue("Keep", "Big", REG_BINARY, big);
    for (int i = 0; i < 20000; ++i) {
        host::RegistrySetString("Churn", "Text", "value number " + std::to_string(i));
        host::RegistrySetValue("Churn", "Blob", REG_BINARY, std::vector<uint8_t>(1024 + i % 2000, static_cast<uint8_t>(i)));
    }
    // 20,000 strings of about 36 bytes and blocks of 1-3 KiB went through.
    EXPECT_LT(host::RegistryCount().heapBytes, size_t(160) << 10);
    std::string s;
    EXPECT_TRUE(host::RegistryGetString("Keep", "Small", &s));
    EXPECT_EQ(s, "kept");
    EXPECT_TRUE(host::RegistryGetString("Churn", "Text", &s));
    EXPECT_EQ(s, "value number 19999");
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(host::RegistryGetValue("keep", "BIG", &type, &data));
    EXPECT_EQ(type, uint32_t(REG_BINARY));
    EXPECT_EQ(data, big);
    ASSERT_TRUE(host::RegistryGetValue("Churn", "Blob", &type, &data));
    EXPECT_EQ(data, std::vector<uint8_t>(1024 + 19999 % 2000, static_cast<uint8_t>(19999)));

    // Deleting values and keys gives their blocks back.
    host::RegistryDeleteKey("Churn");
    host::RegistryDeleteValue("Keep", "Big");
    EXPECT_LT(host::RegistryCount().heapBytes, size_t(100) << 10);
    EXPECT_EQ(host::RegistryCount().dataBytes, 10u);   // "kept" and its terminator, in UTF-16
}

// ---- Keys made together ------------------------------------------------------------
// A line's missing keys are kept as one chain until a call reaches inside
// it; every call must then see the keys each on its own, as if they had
// been made one at a time.

const host::RegRoot kUsers = host::RegRoot::Users;

// HKEY_USERS' keys by path, each with its values' names.
std::vector<std::string> UsersListing()
{
    std::vector<std::string> listed;
    for (const host::RegistryKeyView& k : host::RegistrySnapshot()) {
        if (k.root != kUsers || k.path.empty())
            continue;
        std::string line = k.path;
        for (const host::RegistryValueView& v : k.values)
            line += " " + v.name;
        listed.push_back(line);
    }
    return listed;
}

void SetUsersDword(const std::string& key, const std::string& name, uint8_t value)
{
    host::RegistrySetValue(kUsers, key, name, REG_DWORD, std::vector<uint8_t>{value, 0, 0, 0});
}

TEST_F(RegStoreTest, KeysInsideAChainAreFoundAndMadeAtAnyDepth)
{
    host::RegistryClear();
    host::RegistryCreateKey(kUsers, "Alpha\\Beta\\Gamma\\Delta");
    EXPECT_EQ(host::RegistryCount().keys, 8u);
    EXPECT_EQ(host::RegistryCount().nodes, 5u);   // the roots and the chain

    // Found at every depth, in any case, without a node more for the last.
    EXPECT_TRUE(host::RegistryKeyExists(kUsers, "alpha\\beta\\gamma\\DELTA"));
    EXPECT_EQ(host::RegistryCount().nodes, 5u);
    EXPECT_TRUE(host::RegistryKeyExists(kUsers, "ALPHA\\bEtA"));
    EXPECT_TRUE(host::RegistryKeyExists(kUsers, "Alpha"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "Alpha\\Gamma"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "Alpha\\Beta\\Gamma\\Delta\\Epsilon"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "Alpha\\Beta\\Gamm"));
    EXPECT_EQ(host::RegistryCount().keys, 8u);   // looking made no key

    // A value in the middle, at the first and at the last part; each reads
    // back from its own key only.
    SetUsersDword("alpha\\BETA", "Middle", 2);
    SetUsersDword("ALPHA", "First", 1);
    SetUsersDword("Alpha\\Beta\\Gamma\\Delta", "Last", 4);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_TRUE(host::RegistryGetValue(kUsers, "Alpha\\Beta", "middle", &type, &data));
    EXPECT_EQ(data[0], 2);
    EXPECT_FALSE(host::RegistryGetValue(kUsers, "Alpha\\Beta\\Gamma", "Middle", &type, &data));
    EXPECT_FALSE(host::RegistryGetValue(kUsers, "Alpha", "Middle", &type, &data));
    EXPECT_TRUE(host::RegistryGetValue(kUsers, "alpha", "First", &type, &data));
    EXPECT_TRUE(host::RegistryGetValue(kUsers, "Alpha\\Beta\\Gamma\\Delta", "LAST", &type, &data));
    EXPECT_EQ(data[0], 4);

    // Subkeys made beside the chain's parts: at its first part, in the
    // middle, under its last.
    host::RegistryCreateKey(kUsers, "alpha\\Zeta");
    host::RegistryCreateKey(kUsers, "Alpha\\beta\\gamma\\Eta\\Theta");
    host::RegistryCreateKey(kUsers, "Alpha\\Beta\\Gamma\\Delta\\Iota");
    EXPECT_EQ(host::RegistryCount().keys, 12u);
    EXPECT_EQ(UsersListing(), (std::vector<std::string>{
                                  "Alpha First",
                                  "Alpha\\Beta Middle",
                                  "Alpha\\Beta\\Gamma",
                                  "Alpha\\Beta\\Gamma\\Delta Last",
                                  "Alpha\\Beta\\Gamma\\Delta\\Iota",
                                  "Alpha\\Beta\\Gamma\\Eta",
                                  "Alpha\\Beta\\Gamma\\Eta\\Theta",
                                  "Alpha\\Zeta",
                              }));
}

TEST_F(RegStoreTest, DeletingInsideAChainKeepsTheKeysAboveIt)
{
    host::RegistryClear();
    host::RegistryCreateKey(kUsers, "A\\B\\C\\D\\E");
    host::RegistryDeleteKey(kUsers, "a\\b\\c");
    EXPECT_TRUE(host::RegistryKeyExists(kUsers, "A\\B"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "A\\B\\C"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "A\\B\\C\\D"));
    EXPECT_EQ(host::RegistryCount().keys, 6u);
    EXPECT_EQ(UsersListing(), (std::vector<std::string>{"A", "A\\B"}));

    // The chain's last part: the rest stays; its first part: all goes.
    host::RegistryCreateKey(kUsers, "Q\\R\\S");
    host::RegistryDeleteKey(kUsers, "q\\r\\s");
    EXPECT_TRUE(host::RegistryKeyExists(kUsers, "Q\\R"));
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "Q\\R\\S"));
    host::RegistryCreateKey(kUsers, "X\\Y\\Z");
    host::RegistryDeleteKey(kUsers, "X");
    EXPECT_FALSE(host::RegistryKeyExists(kUsers, "X"));
    EXPECT_EQ(UsersListing(), (std::vector<std::string>{"A", "A\\B", "Q", "Q\\R"}));

    // Emptying the root takes whole chains.
    host::RegistryCreateKey(kUsers, "M\\N\\O\\P");
    host::RegistryDeleteKey(kUsers, "");
    EXPECT_TRUE(UsersListing().empty());
    EXPECT_EQ(host::RegistryCount().keys, 4u);
    EXPECT_EQ(host::RegistryCount().nodes, 4u);
}

TEST_F(RegStoreTest, AHandleInsideAChainNamesThatKey)
{
    host::RegistryClear();
    host::RegistryCreateKey(kUsers, "One\\Two\\Three\\Four");
    SetUsersDword("One\\Two\\Three\\Four", "Deep", 9);
    HKEY two = nullptr, four = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, P(W("one\\TWO")), 0, 0, &two), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(two, P(W("three\\four")), 0, 0, &four), ERROR_SUCCESS);
    EXPECT_EQ(Query(four, "Deep", 4).result, ERROR_SUCCESS);
    EXPECT_EQ(Query(two, "Deep", 4).result, ERROR_FILE_NOT_FOUND);

    // A value set through the path lands on the key the handle names.
    SetUsersDword("One\\Two", "Here", 2);
    Answer a = Query(two, "Here", 4);
    EXPECT_EQ(a.result, ERROR_SUCCESS);
    EXPECT_EQ(a.buffer[0], 2);

    // Deleting below it leaves it standing; deleting above it does not.
    host::RegistryDeleteKey(kUsers, "One\\Two\\Three");
    EXPECT_EQ(Query(two, "Here", 4).result, ERROR_SUCCESS);
    EXPECT_EQ(Query(four, "Deep", 4).result, kKeyDeleted);
    host::RegistryCreateKey(kUsers, "One\\Two\\Three\\Four");   // the same names again
    EXPECT_EQ(Query(four, "Deep", 4).result, kKeyDeleted);
    host::RegistryDeleteKey(kUsers, "One");
    EXPECT_EQ(Query(two, "Here", 4).result, kKeyDeleted);
    EXPECT_EQ(RegCloseKey(four), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);
}

TEST_F(RegStoreTest, ChainsListInNameOrderWithEachPartAsFirstWritten)
{
    host::RegistryClear();
    // Parts from different lines keep the spelling each was first given.
    host::RegistryCreateKey(kUsers, "Board\\Audio");
    host::RegistryCreateKey(kUsers, "BOARD\\AUDIO\\Codec\\Params");
    host::RegistryCreateKey(kUsers, "board\\audio\\CODEC\\params\\Extra");
    // Siblings whose first parts sort before what follows the chain's
    // first part: "ab" comes before "ab!" whatever follows "ab".
    host::RegistryCreateKey(kUsers, "ab\\c\\d");
    host::RegistryCreateKey(kUsers, "ab!");
    host::RegistryCreateKey(kUsers, "AA\\x");
    // Split and unsplit chains side by side.
    host::RegistryCreateKey(kUsers, "m\\n\\o\\p");
    host::RegistryCreateKey(kUsers, "m\\q\\r");
    host::RegistryCreateKey(kUsers, "m\\\\n\\o\\\\");   // empty parts are no keys
    EXPECT_EQ(UsersListing(), (std::vector<std::string>{
                                  "AA",
                                  "AA\\x",
                                  "ab",
                                  "ab\\c",
                                  "ab\\c\\d",
                                  "ab!",
                                  "Board",
                                  "Board\\Audio",
                                  "Board\\Audio\\Codec",
                                  "Board\\Audio\\Codec\\Params",
                                  "Board\\Audio\\Codec\\Params\\Extra",
                                  "m",
                                  "m\\n",
                                  "m\\n\\o",
                                  "m\\n\\o\\p",
                                  "m\\q",
                                  "m\\q\\r",
                              }));
    EXPECT_EQ(host::RegistryCount().keys, 4u + 17u);
}

// A key line of many parts makes that many keys, kept together as one
// chain until something reaches inside it: the registry grows with the
// line's bytes, once, and the deepest key is found, listed and deleted
// like any other.
TEST_F(RegStoreTest, AKeyLineOfManyPartsTakesMemoryInProportion)
{
    std::string error;
    size_t perPart[2] = {};
    const size_t depths[2] = {2000, 100000};
    for (int i = 0; i < 2; ++i) {
        host::RegistryClear();
        const size_t parts = depths[i];
        std::string line = "[HKEY_LOCAL_MACHINE";
        for (size_t n = 0; n < parts; ++n)
            line += n + 1 == parts ? "\\Last" : "\\a";
        char depthHex[16];
        std::snprintf(depthHex, sizeof depthHex, "%zx", parts);
        const std::string text = line + "]\r\n\"Depth\"=dword:" + depthHex + "\r\n";
        const size_t heapBefore = HeapInUse();
        ASSERT_TRUE(host::RegistryLoadText(text, "deep.reg", &error)) << error;
        const host::RegistryCounts c = host::RegistryCount();
        EXPECT_EQ(c.keys, 4 + parts);
        EXPECT_EQ(c.values, 1u);
        EXPECT_EQ(c.nodes, 5u);   // the roots and the line's one chain
        perPart[i] = c.heapBytes / parts;
        // The chain's name (two bytes a part) and the store's fixed tables,
        // as the store counts them and as the heap does.
        EXPECT_LE(c.heapBytes, 2 * parts + 8192) << parts << " parts";
        EXPECT_LE(HeapInUse() - heapBefore, 2 * parts + 16384) << parts << " parts";

        // Found in any case, through a handle as well.
        std::string path = line.substr(std::string("[HKEY_LOCAL_MACHINE\\").size());
        uint32_t depth = 0;
        EXPECT_TRUE(host::RegistryGetDword(path, "DEPTH", &depth));
        EXPECT_EQ(depth, parts);
        EXPECT_EQ(host::RegistryCount().nodes, 5u);   // the chain's last key is its node
        // Reaching into the middle splits the chain there, its name copied
        // out once: a node more, the same bytes.
        const std::string half = path.substr(0, parts - 1);   // parts / 2 parts
        EXPECT_TRUE(host::RegistryKeyExists(half));
        EXPECT_FALSE(host::RegistryGetDword(half, "Depth", &depth));
        EXPECT_EQ(host::RegistryCount().nodes, 6u);
        EXPECT_EQ(host::RegistryCount().keys, 4 + parts);
        EXPECT_LE(host::RegistryCount().heapBytes, 2 * parts + 8192) << parts << " parts";
        EXPECT_TRUE(host::RegistryGetDword(path, "Depth", &depth));
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(W(path.substr(0, path.size() - 4) + "LAST")), 0, 0, &k),
                  ERROR_SUCCESS);
        EXPECT_EQ(Query(k, "Depth", 4).result, ERROR_SUCCESS);
        host::RegistryDeleteKey("A");
        EXPECT_EQ(Query(k, "Depth", 4).result, 1018);   // ERROR_KEY_DELETED
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
        EXPECT_EQ(host::RegistryCount().keys, 4u);
        EXPECT_EQ(host::RegistryCount().values, 0u);
    }
    EXPECT_LE(perPart[1], perPart[0] + 1);   // as much a part at 100,000 parts as at 2,000

    // The listing names each key by its path; 2,000 deep is 2,001 keys.
    host::RegistryClear();
    std::string users = "[HKEY_USERS";
    for (int n = 0; n < 2000; ++n)
        users += "\\b";
    ASSERT_TRUE(host::RegistryLoadText(users + "]\r\n", "deep.reg", &error)) << error;
    size_t listed = 0;
    for (const host::RegistryKeyView& v : host::RegistrySnapshot()) {
        if (v.root != host::RegRoot::Users)
            continue;
        EXPECT_EQ(v.path.size(), listed == 0 ? 0 : 2 * listed - 1);
        ++listed;
    }
    EXPECT_EQ(listed, 2001u);
}

// What walks the registry holds one key's path at a time: the device
// manager's enumeration of its built-in drivers and the visit a dump is
// written from, beside a key line of 100,000 parts (listed whole, its keys'
// paths would come to some 10 GB).
TEST_F(RegStoreTest, WalksBesideAKeyAsDeepAsItsLineHoldOnePathAtATime)
{
    host::RegistryClear();
    const size_t parts = 100000;
    std::string deep = "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Deep";
    for (size_t n = 0; n < parts; ++n)
        deep += "\\a";
    const std::string text = "[HKEY_LOCAL_MACHINE\\drivers\\BUILTIN\\Wave\\Params]\r\n"
                             "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Wave]\r\n\"Dll\"=\"wave.dll\"\r\n\"Order\"=dword:2\r\n"
                             "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Audio]\r\n\"Dll\"=\"audio.dll\"\r\n\"Order\"=dword:1\r\n" +
                             deep + "]\r\n\"Dll\"=\"deepest.dll\"\r\n";
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "deep.reg", &error)) << error;

    // Subkeys by name, each as first written; the deep one has no Dll of
    // its own at its first part, so the device manager passes it by.
    EXPECT_EQ(host::RegistrySubkeys(host::RegRoot::LocalMachine, "DRIVERS\\builtin"),
              (std::vector<std::string>{"Audio", "Deep", "Wave"}));
    EXPECT_EQ(host::RegistrySubkeys(host::RegRoot::LocalMachine, ""), (std::vector<std::string>{"drivers"}));
    EXPECT_TRUE(host::RegistrySubkeys(host::RegRoot::LocalMachine, "Drivers\\Missing").empty());
    const std::vector<host::BuiltInDriver> drivers = host::BuiltInDrivers("Drivers\\BuiltIn");
    ASSERT_EQ(drivers.size(), 2u);
    EXPECT_EQ(drivers[0].key, "Drivers\\BuiltIn\\Audio");
    EXPECT_EQ(drivers[1].dll, "wave.dll");

    // The visit gives every key, the deepest last with its value, from one
    // path that grows and is cut back.
    size_t keys = 0, longest = 0;
    std::string deepest;
    host::RegistryVisit(host::RegRoot::LocalMachine,
                        [&](host::RegRoot, const std::string& path, const std::vector<host::RegistryValueView>& values) {
                            ++keys;
                            longest = std::max(longest, path.size());
                            if (!values.empty() && values[0].data.size() == sizeof(u"deepest.dll"))
                                deepest = path;
                        });
    EXPECT_EQ(keys, 1 + 2 + 3 + 1 + parts);   // the root, Drivers\BuiltIn, Audio Wave Params, Deep and its parts
    EXPECT_EQ(longest, std::string("Drivers\\BuiltIn\\Deep").size() + 2 * parts);
    EXPECT_EQ(deepest.size(), longest);
}

}  // namespace
