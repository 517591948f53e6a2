// The host's core services and its own record accessors: UTF-16 text as the
// debug output and the conversions see it, fields of records at any address,
// and ResetAll leaving every service as at process start, whatever the
// driver's teardown did on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/devicemanager.h"
#include "host/driverlibrary.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/records.h"
#include "host/registry.h"
#include "support/driver_fixture.h"

namespace {

using testing_support::DriverTest;

// ---- Wide strings and the debug output ------------------------------------------

class HostText : public DriverTest {};

TEST_F(HostText, SurrogatePairsDecodeOnceAndUnpairedHalvesStandForThemselves)
{
    // U+1F50A (a speaker) is D83D DD0A; U+00E9 and U+20AC stay single units.
    const std::u16string pair = u"A\u00e9\u20ac\U0001F50A";
    EXPECT_EQ(host::Narrow(pair), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8A");
    EXPECT_EQ(host::Widen(host::Narrow(pair)), pair);

    // A high half at the very end, a low half alone, and a high half
    // followed by something that is not a low half: each is one code point
    // of its own, encoded as three bytes, and nothing after it is lost.
    const std::u16string lonely{char16_t(0x0041), char16_t(0xDC00), char16_t(0xD800), char16_t(0x0042),
                                char16_t(0xD83D)};
    EXPECT_EQ(host::Narrow(lonely), "A\xED\xB0\x80\xED\xA0\x80" "B\xED\xA0\xBD");

    // The null-terminated form stops at the terminator, not at the buffer's end.
    const WCHAR terminated[] = {0xD83D, 0xDD0A, 0, 0x0043};
    EXPECT_EQ(host::Narrow(terminated), "\xF0\x9F\x94\x8A");
    EXPECT_EQ(host::Narrow(static_cast<const WCHAR*>(nullptr)), "");
}

// Each entry is also a record: the format as written and every argument as
// its conversion read it, labelled by the word before the conversion.
TEST_F(HostText, DebugOutputKeepsTheFormatAndTheArgumentsAsARecord)
{
    std::vector<host::DebugRecord> records;
    host::SetDebugRecordObserver([&](const host::DebugRecord& r) { records.push_back(r); });
    const WCHAR name[] = {'t', 'i', 'c', 'k', 0};
    NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"Rate: %d, Gap=%5u %c %s at %lx, 100%%\r\n"), -3, 7u, 'A', name, 0xBEEFu);
    OutputDebugStringW(reinterpret_cast<LPCWSTR>(u"plain text\r\n"));
    host::SetDebugRecordObserver(nullptr);
    NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"after the observer left %d"), 1);

    ASSERT_EQ(records.size(), 2u);
    const host::DebugRecord& r = records[0];
    EXPECT_EQ(r.format, "Rate: %d, Gap=%5u %c %s at %lx, 100%%\r\n");
    EXPECT_EQ(r.line, "Rate: -3, Gap=    7 A tick at beef, 100%\r\n");
    EXPECT_EQ(r.line, host::DebugLines()[0]);
    ASSERT_EQ(r.arguments.size(), 5u);
    const host::DebugArgument::Kind kinds[] = {host::DebugArgument::Signed, host::DebugArgument::Unsigned,
                                               host::DebugArgument::Character, host::DebugArgument::Text,
                                               host::DebugArgument::Unsigned};
    const char* labels[] = {"Rate", "Gap", "", "", "at"};
    const int64_t numbers[] = {-3, 7, 'A', 0, 0xBEEF};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.arguments[i].kind, kinds[i]) << i;
        EXPECT_EQ(r.arguments[i].label, labels[i]) << i;
        EXPECT_EQ(r.arguments[i].number, numbers[i]) << i;
    }
    EXPECT_EQ(r.arguments[3].text, "tick");
    EXPECT_TRUE(records[1].format.empty());
    EXPECT_TRUE(records[1].arguments.empty());
    EXPECT_EQ(records[1].line, "plain text\r\n");
}

TEST_F(HostText, DebugOutputDecodesPairsInTheFormatAndInStringArguments)
{
    std::vector<std::string> echoed;
    host::SetDebugEcho([&](const std::string& line) { echoed.push_back(line); });
    const WCHAR arg[] = {0xD83D, 0xDD0A, 0x0021, 0};
    // Format: pair, " %s ", a high half right before a conversion, "%d".
    const WCHAR fmt[] = {0xD83D, 0xDD0A, ' ', '%', 's', ' ', 0xD800, '%', 'd', 0};
    NKDbgPrintfW(fmt, arg, 42);
    host::SetDebugEcho(nullptr);

    const std::string expected = "\xF0\x9F\x94\x8A \xF0\x9F\x94\x8A! \xED\xA0\x80" "42";
    ASSERT_EQ(host::DebugLines(), std::vector<std::string>{expected});
    EXPECT_EQ(echoed, std::vector<std::string>{expected});
}

// ---- Record accessors ---------------------------------------------------------------

class HostRecords : public DriverTest {};

TEST_F(HostRecords, HeaderFieldsAtAnOddAddressLandAtThePlatformsOffsets)
{
    std::vector<BYTE> storage(sizeof(WAVEHDR) + 8, 0xCD);
    auto* h = reinterpret_cast<WAVEHDR*>(storage.data() + 3);
    BYTE data[4];
    WAVEHDR next;
    host::SetHeaderData(h, data);
    host::SetHeaderLength(h, 0x01020304);
    host::SetHeaderConsumed(h, 0x0A0B0C0D);
    host::SetHeaderUser(h, 0x5566);
    host::SetHeaderFlags(h, 0x11223344);
    host::SetHeaderLoops(h, 7);
    host::SetHeaderNext(h, &next);
    host::SetHeaderReserved(h, 0x99);

    // Little-endian, byte by byte, at the offsets the record type has.
    const BYTE* flags = storage.data() + 3 + offsetof(WAVEHDR, dwFlags);
    EXPECT_EQ(flags[0], 0x44);
    EXPECT_EQ(flags[3], 0x11);
    // The bytes around the record are untouched.
    EXPECT_EQ(storage[2], 0xCD);
    EXPECT_EQ(storage[3 + sizeof(WAVEHDR)], 0xCD);

    WAVEHDR aligned;
    std::memcpy(&aligned, h, sizeof aligned);
    EXPECT_EQ(aligned.lpData, reinterpret_cast<LPSTR>(data));
    EXPECT_EQ(aligned.dwBufferLength, 0x01020304u);
    EXPECT_EQ(aligned.dwBytesRecorded, 0x0A0B0C0Du);
    EXPECT_EQ(aligned.dwUser, DWORD_PTR(0x5566));
    EXPECT_EQ(aligned.dwFlags, 0x11223344u);
    EXPECT_EQ(aligned.dwLoops, 7u);
    EXPECT_EQ(aligned.lpNext, &next);
    EXPECT_EQ(aligned.reserved, DWORD_PTR(0x99));

    // And they read back what an aligned record holds.
    EXPECT_EQ(host::HeaderData(h), data);
    EXPECT_EQ(host::HeaderLength(h), 0x01020304u);
    EXPECT_EQ(host::HeaderConsumed(h), 0x0A0B0C0Du);
    EXPECT_EQ(host::HeaderUser(h), DWORD_PTR(0x5566));
    EXPECT_EQ(host::HeaderFlags(h), 0x11223344u);
    EXPECT_EQ(host::HeaderLoops(h), 7u);
    EXPECT_EQ(host::HeaderNext(h), &next);
    EXPECT_EQ(host::HeaderReserved(h), DWORD_PTR(0x99));
}

TEST_F(HostRecords, TimeAndFormatRecordsAtOddAddresses)
{
    std::vector<BYTE> storage(64, 0);
    BYTE* mmt = storage.data() + 1;
    host::SetTimeType(mmt, TIME_SAMPLES);
    host::SetTimeValue(mmt, 123456);
    MMTIME t;
    std::memcpy(&t, mmt, sizeof t);
    EXPECT_EQ(t.wType, UINT(TIME_SAMPLES));
    EXPECT_EQ(t.u.sample, 123456u);
    EXPECT_EQ(host::TimeType(mmt), UINT(TIME_SAMPLES));

    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.nAvgBytesPerSec = 176400;
    f.nBlockAlign = 4;
    f.wBitsPerSample = 16;
    f.cbSize = 22;
    BYTE* odd = storage.data() + 33;
    std::memcpy(odd, &f, sizeof f);
    EXPECT_EQ(host::FormatTag(odd), WORD(WAVE_FORMAT_PCM));
    EXPECT_EQ(host::FormatChannels(odd), 2u);
    EXPECT_EQ(host::FormatRate(odd), 44100u);
    EXPECT_EQ(host::FormatBlockAlign(odd), 4u);
    EXPECT_EQ(host::FormatBits(odd), 16u);
    EXPECT_EQ(host::FormatExtraSize(odd), 22u);
}

// ---- ResetAll -------------------------------------------------------------------------

// Boots the driver through the device manager, so that ResetAll itself has
// to take it down.
class HostReset : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        btstandin::Reset();
    }
    void TearDown() override
    {
        host::ResetAll();
        btstandin::Reset();
    }
    host::DeviceHandle Activate()
    {
        host::RegistrySetString(key_, "Dll", "btwav.dll");
        host::RegistrySetString(key_, "Prefix", "WAV");
        std::string error;
        host::DeviceHandle dev = host::ActivateDevice(key_, &error);
        EXPECT_NE(dev, 0u) << error;
        return dev;
    }
    const std::string key_ = "Drivers\\BuiltIn\\WAVKELVO";
};

TEST_F(HostReset, TakesTheDriverDownFirstAndLeavesNoTraceOfItsTeardown)
{
    const host::DeviceHandle dev = Activate();
    ASSERT_NE(dev, 0u);
    const std::string path = host::LibraryPathForDll("btwav.dll");
    ASSERT_TRUE(host::DriverModule::IsMapped(path));
    ASSERT_GT(host::GetCounters().localAllocs, 0u);

    std::vector<std::string> echoed;
    host::SetDebugEcho([&](const std::string& line) { echoed.push_back(line); });
    NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"before the reset"));
    host::ResetAll();

    // The driver was taken down (its contexts freed with LocalFree while the
    // services stood), and the records were cleared after that.
    EXPECT_FALSE(host::DriverModule::IsMapped(path));
    EXPECT_EQ(host::ActiveDeviceModule(dev), nullptr);
    const host::Counters c = host::GetCounters();
    EXPECT_EQ(c.localAllocs, 0u);
    EXPECT_EQ(c.localFrees, 0u);
    EXPECT_EQ(c.disableThreadLibraryCalls, 0u);
    EXPECT_TRUE(host::DebugLines().empty());
    EXPECT_TRUE(host::DriverFreedBlocks().empty());
    // The echo belongs to whoever set it: still there after the reset.
    NKDbgPrintfW(reinterpret_cast<LPCWSTR>(u"after the reset"));
    host::SetDebugEcho(nullptr);
    EXPECT_EQ(echoed, (std::vector<std::string>{"before the reset", "after the reset"}));
}

// The device manager keeps a key per loaded driver under
// HKEY_LOCAL_MACHINE\Drivers\Active, as applications enumerate it: the
// device's name, the key it was loaded from and its handle; the key goes
// with the driver.
TEST_F(HostReset, EachActiveDriverHasItsKeyUnderDriversActive)
{
    ASSERT_FALSE(host::RegistryKeyExists("Drivers\\Active\\01"));
    const host::DeviceHandle dev = Activate();
    ASSERT_NE(dev, 0u);
    const std::string active = host::ActiveDeviceKey(dev);
    EXPECT_EQ(active.rfind("Drivers\\Active\\", 0), 0u) << active;
    EXPECT_EQ(active.size(), std::string("Drivers\\Active\\").size() + 2);   // two digits
    std::string name, key;
    uint32_t hnd = 0;
    ASSERT_TRUE(host::RegistryGetString(active, "Name", &name));
    EXPECT_EQ(name, "WAV1:");
    ASSERT_TRUE(host::RegistryGetString(active, "Key", &key));
    EXPECT_EQ(key, key_);
    ASSERT_TRUE(host::RegistryGetDword(active, "Hnd", &hnd));
    EXPECT_EQ(hnd, dev);

    // As an application reads it, through the platform's functions.
    std::u16string path = host::Widen(active);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_QUERY_VALUE, &h), 0);
    WCHAR text[32];
    DWORD type = 0, size = sizeof text;
    ASSERT_EQ(RegQueryValueEx(h, reinterpret_cast<LPCWSTR>(u"Name"), nullptr, &type, reinterpret_cast<LPBYTE>(text),
                              &size),
              0);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(host::Narrow(text), "WAV1:");
    RegCloseKey(h);

    ASSERT_TRUE(host::DeactivateDevice(dev));
    EXPECT_FALSE(host::RegistryKeyExists(active));
}

// The wave API manager is listed first, as the platform's registry loads it
// (WAM1:, from Drivers\BuiltIn\WAPIMAN).  Device 0, the board's own output,
// follows, as a board's audio driver that loaded before the driver: the name
// WAV0: and a handle of its own.  Its index leaves the driver's default name
// free and refuses a driver entry that asks for index 0.
TEST_F(HostReset, TheWaveApiManagerAndDeviceZeroAreListedUnderDriversActiveBeforeTheDriver)
{
    const host::DeviceHandle dev = Activate();
    ASSERT_NE(dev, 0u);
    std::string name, key;
    uint32_t hnd = 0, wamHnd = 0;
    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\01", "Name", &name));
    EXPECT_EQ(name, "WAM1:");
    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\01", "Key", &key));
    EXPECT_EQ(key, "Drivers\\BuiltIn\\WAPIMAN");
    ASSERT_TRUE(host::RegistryGetDword("Drivers\\Active\\01", "Hnd", &wamHnd));
    EXPECT_EQ(host::ActiveDeviceName(wamHnd), "WAM1:");

    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\02", "Name", &name));
    EXPECT_EQ(name, "WAV0:");
    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\02", "Key", &key));
    EXPECT_EQ(key, "Drivers\\BuiltIn\\Audio");
    ASSERT_TRUE(host::RegistryGetDword("Drivers\\Active\\02", "Hnd", &hnd));
    EXPECT_NE(hnd, 0u);
    EXPECT_NE(hnd, dev);
    EXPECT_NE(hnd, wamHnd);
    EXPECT_EQ(host::ActiveDeviceKey(dev), "Drivers\\Active\\03");
    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\03", "Name", &name));
    EXPECT_EQ(name, "WAV1:");
    EXPECT_EQ(host::ActiveDeviceName(hnd), "WAV0:");

    // A second driver entry asking for WAV0: is refused, naming the holder.
    host::RegistrySetString("Drivers\\BuiltIn\\Other", "Prefix", "WAV");
    host::RegistrySetDword("Drivers\\BuiltIn\\Other", "Index", 0);
    std::string error;
    EXPECT_EQ(host::HoldDeviceName("Drivers\\BuiltIn\\Other", &error), 0u);
    EXPECT_NE(error.find("Drivers\\BuiltIn\\Audio"), std::string::npos) << error;

    // Without a built-in output there is no device 0 to list.
    host::ResetAll();
    btstandin::Reset();
    host::SetBuiltinOutput(false);
    const host::DeviceHandle alone = Activate();
    ASSERT_NE(alone, 0u);
    ASSERT_TRUE(host::RegistryGetString("Drivers\\Active\\01", "Name", &name));
    EXPECT_EQ(name, "WAM1:");
    EXPECT_EQ(host::ActiveDeviceKey(alone), "Drivers\\Active\\02");
    host::SetBuiltinOutput(true);
}

TEST_F(HostReset, DisarmsEveryFaultAndForgetsWhatFired)
{
    host::FailNext(host::Fault::Malloc, 3);
    host::FailNext(host::Fault::RegistryQuery, 1, 5);
    EXPECT_TRUE(host::ShouldFail(host::Fault::Malloc));
    ASSERT_TRUE(host::AnyFaultArmed());

    host::ResetAll();

    EXPECT_FALSE(host::AnyFaultArmed());
    EXPECT_EQ(host::FaultsLeft(host::Fault::Malloc), 0u);
    EXPECT_EQ(host::FaultsLeft(host::Fault::RegistryQuery), 0u);
    EXPECT_EQ(host::FaultsFired(host::Fault::Malloc), 0u);
    EXPECT_TRUE(host::FaultRecords().empty());
    // A driver booted after the reset allocates as usual.
    EXPECT_NE(Activate(), 0u);
}

}  // namespace
