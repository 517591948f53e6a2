// The wave API as applications see it, on the driver (device 1) and the
// built-in device 0; the wave mapper; booting the driver from the registry;
// IsBadWritePtr.
#include <sys/mman.h>

#include <cstring>

#include "driver/config.h"
#include "host/devicemanager.h"
#include "host/events.h"
#include "host/registry.h"
#include "image/driverentry.h"
#include "support/stream_fixture.h"

using testing_support::HeaderPool;
using testing_support::MakeFormat;
using testing_support::UnmappedPage;
using testing_support::WaveApiTest;

namespace {

const char16_t kDriverName[] = u"Bluetooth A2DP Output";

// An application's callback function: records what the wave API delivers.
using App = testing_support::Recorder;

// Headers as an application has them before preparing: no flags at all.
WAVEHDR* Fresh(HeaderPool& pool, size_t i, DWORD length)
{
    WAVEHDR* h = pool.Prepare(i, length);
    testing_support::SetHeaderFlags(h, 0);
    return h;
}

class WaveApi : public WaveApiTest {
protected:
    HWAVEOUT OpenFunction(UINT device, App& app)
    {
        format_ = MakeFormat();
        HWAVEOUT hwo = nullptr;
        EXPECT_EQ(waveOutOpen(&hwo, device, &format_, reinterpret_cast<DWORD_PTR>(&App::Fn),
                              reinterpret_cast<DWORD_PTR>(&app), CALLBACK_FUNCTION),
                  0u);
        return hwo;
    }
    WAVEFORMATEX format_{};
};

TEST_F(WaveApi, EnumeratesTheBuiltinDeviceAndTheDriver)
{
    EXPECT_EQ(waveOutGetNumDevs(), 2u);
    WAVEOUTCAPS caps{};
    ASSERT_EQ(waveOutGetDevCaps(0, &caps, sizeof caps), 0u);
    EXPECT_EQ(host::Narrow(caps.szPname), "Built-in Audio Output");
    EXPECT_NE(caps.dwFormats & WAVE_FORMAT_4S16, 0u);
    std::memset(&caps, 0, sizeof caps);
    ASSERT_EQ(waveOutGetDevCaps(1, &caps, sizeof caps), 0u);
    EXPECT_EQ(std::memcmp(caps.szPname, kDriverName, sizeof kDriverName), 0);
    EXPECT_EQ(waveOutGetDevCaps(2, &caps, sizeof caps), UINT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveOutGetDevCaps(1, nullptr, sizeof caps), UINT(MMSYSERR_INVALPARAM));
}

TEST_F(WaveApi, FormatQueriesReachTheDeviceAndOpenNothing)
{
    struct Case {
        UINT device;
        WAVEFORMATEX format;
        MMRESULT expected;
    } cases[] = {
        {1, MakeFormat(), 0},
        {1, MakeFormat(2, 44100, 8), WAVERR_BADFORMAT},
        {1, MakeFormat(2, 44100, 24), WAVERR_BADFORMAT},
        {1, MakeFormat(2, 48000), WAVERR_BADFORMAT},
        {1, MakeFormat(1), WAVERR_BADFORMAT},
        {1, MakeFormat(2, 44100, 16, 2), WAVERR_BADFORMAT},
        {0, MakeFormat(1, 22050), 0},
        {0, MakeFormat(2, 44100, 8), WAVERR_BADFORMAT},
    };
    auto before = Ctx();
    for (const Case& c : cases)
        EXPECT_EQ(waveOutOpen(nullptr, c.device, &c.format, 0, 0, WAVE_FORMAT_QUERY), c.expected)
            << c.device << " " << c.format.nSamplesPerSec;
    EXPECT_EQ(std::memcmp(&before, &Ctx(), sizeof before), 0);
    EXPECT_EQ(host::BuiltinOutput().opens, 0u);
    WAVEFORMATEX f = MakeFormat();
    EXPECT_EQ(waveOutOpen(nullptr, 7, &f, 0, 0, WAVE_FORMAT_QUERY), UINT(MMSYSERR_BADDEVICEID));
}

TEST_F(WaveApi, FunctionCallbackSeesOpenDoneAndClose)
{
    LinkEvent(BT_EVENT_LINK_UP);
    App app;
    HWAVEOUT hwo = OpenFunction(1, app);
    ASSERT_NE(hwo, nullptr);
    EXPECT_EQ(Ctx().hWave, hwo);
    ASSERT_EQ(app.Messages(), std::vector<UINT>{MM_WOM_OPEN});
    EXPECT_EQ(app.calls[0].handle, reinterpret_cast<HDRVR>(hwo));
    EXPECT_EQ(app.calls[0].instance, reinterpret_cast<DWORD_PTR>(&app));

    HeaderPool pool(1);
    WAVEHDR* h = Fresh(pool, 0, 4000);
    EXPECT_EQ(waveOutWrite(hwo, h, sizeof *h), UINT(WAVERR_UNPREPARED));
    ASSERT_EQ(waveOutPrepareHeader(hwo, h, sizeof *h), 0u);
    EXPECT_EQ(testing_support::HeaderFlags(h), DWORD(WHDR_PREPARED));
    ASSERT_EQ(waveOutWrite(hwo, h, sizeof *h), 0u);
    host::AdvanceVirtualMs(20);
    MMTIME t{};
    t.wType = TIME_BYTES;
    EXPECT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.cb, 4000u);
    ASSERT_EQ(app.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE}));
    EXPECT_EQ(app.calls[1].p1, reinterpret_cast<DWORD_PTR>(h));

    EXPECT_EQ(waveOutUnprepareHeader(hwo, h, sizeof *h), 0u);
    EXPECT_EQ(testing_support::HeaderFlags(h) & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_EQ(app.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE}));
    EXPECT_EQ(waveOutPause(hwo), UINT(MMSYSERR_INVALHANDLE));
}

TEST_F(WaveApi, EventCallbackIsSetForEachBufferAndTheCloseNotTheOpen)
{
    LinkEvent(BT_EVENT_LINK_UP);   // the driver sends MM_WOM_OPEN
    HANDLE ev = host::CreateEvent(false, false);
    WAVEFORMATEX f = MakeFormat();
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, 1, &f, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    EXPECT_FALSE(host::WaitForEvent(ev, 0));

    HeaderPool pool(1);
    WAVEHDR* h = Fresh(pool, 0, 1000);
    waveOutPrepareHeader(hwo, h, sizeof *h);
    waveOutWrite(hwo, h, sizeof *h);
    EXPECT_FALSE(host::WaitForEvent(ev, 0));
    host::AdvanceVirtualMs(20);
    EXPECT_TRUE(host::WaitForEvent(ev, 0));
    EXPECT_FALSE(host::WaitForEvent(ev, 0));   // auto-reset
    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_TRUE(host::WaitForEvent(ev, 0));
    EXPECT_TRUE(host::CloseEvent(ev));

    EXPECT_EQ(waveOutOpen(&hwo, 1, &f, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT),
              UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutOpen(&hwo, 1, &f, 0, 0, CALLBACK_WINDOW), UINT(MMSYSERR_INVALPARAM));
}

TEST_F(WaveApi, QueuedHeadersKeepTheHandleAndTheirPreparation)
{
    App app;
    HWAVEOUT hwo = OpenFunction(1, app);
    HeaderPool pool(1);
    WAVEHDR* h = Fresh(pool, 0, 4000);
    waveOutPrepareHeader(hwo, h, sizeof *h);
    waveOutPause(hwo);
    ASSERT_EQ(waveOutWrite(hwo, h, sizeof *h), 0u);

    EXPECT_EQ(waveOutUnprepareHeader(hwo, h, sizeof *h), UINT(WAVERR_STILLPLAYING));
    EXPECT_NE(testing_support::HeaderFlags(h) & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveOutClose(hwo), UINT(WAVERR_STILLPLAYING));
    EXPECT_EQ(waveOutRestart(hwo), 0u);   // the handle is still good

    EXPECT_EQ(waveOutReset(hwo), 0u);
    EXPECT_EQ(app.Messages(), std::vector<UINT>{MM_WOM_DONE});
    EXPECT_EQ(waveOutUnprepareHeader(hwo, h, sizeof *h), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(WaveApi, ACaughtFaultBecomesAnError)
{
    App app;
    HWAVEOUT hwo = OpenFunction(1, app);
    EXPECT_EQ(waveOutWrite(hwo, static_cast<WAVEHDR*>(UnmappedPage()), sizeof(WAVEHDR)), UINT(MMSYSERR_ERROR));
    EXPECT_EQ(waveOutGetPosition(hwo, nullptr, sizeof(MMTIME)), UINT(MMSYSERR_INVALPARAM));
    EXPECT_TRUE(host::IsFree(StreamLock()));
    EXPECT_EQ(waveOutBreakLoop(hwo), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(WaveApi, MapperMessagesAreAnsweredAndRecorded)
{
    auto mapper = WAVE_MAPPER_HANDLE;
    UINT id = 99;
    DWORD flags = 99;
    EXPECT_EQ(waveOutMessage(mapper, DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&id),
                             reinterpret_cast<DWORD_PTR>(&flags)),
              0u);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(waveOutMessage(mapper, DRVM_MAPPER_PREFERRED_SET, 1, 7), 0u);
    EXPECT_EQ(waveOutMessage(mapper, DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&id),
                             reinterpret_cast<DWORD_PTR>(&flags)),
              0u);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(flags, 7u);
    EXPECT_EQ(waveOutMessage(mapper, DRVM_MAPPER_PREFERRED_SET, 2, 0), UINT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveOutMessage(mapper, 0x2000, 0, 0), UINT(MMSYSERR_NOTSUPPORTED));
    auto log = host::MapperMessages();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3].result, UINT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(host::PreferredWaveDevice(), 1u);

    // Unregistering the preferred driver gives device 0 back; its open
    // handles then have no driver.
    App app;
    HWAVEOUT hwo = OpenFunction(1, app);
    ASSERT_TRUE(host::UnregisterWaveDriver(wave_));
    wave_ = 0;
    EXPECT_EQ(host::PreferredWaveDevice(), 0u);
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    EXPECT_EQ(waveOutPause(hwo), UINT(MMSYSERR_NODRIVER));
}

// ---- Booting from the registry ---------------------------------------------------

class DeviceManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        btstandin::Reset();
    }
    void TearDown() override
    {
        host::ResetAll();   // deactivates what is still active
        btstandin::Reset();
        EXPECT_FALSE(host::DriverModule::IsMapped(host::LibraryPathForDll("btwav.dll")));
    }
    const std::string key_ = BTWAV_DRIVER_KEY;
};

TEST_F(DeviceManagerTest, ActivatesFromTheRegistryAndDeactivates)
{
    std::string error;
    // The host's services know no driver of their own: nothing to boot
    // until the image's registry names it.
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_FALSE(host::RegistryKeyExists(key_));
    // The entry the player and the start library boot from, with each
    // pacing value at its default.
    ASSERT_TRUE(image::RegisterDriverEntry(&error)) << error;
    uint32_t value = 0;
    EXPECT_TRUE(host::RegistryGetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_SAMPLE, &value) && value == BT_AUDIO_DEFAULT_SAMPLE);
    EXPECT_TRUE(host::RegistryGetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_TIMER, &value) && value == BT_AUDIO_DEFAULT_TIMER);
    EXPECT_TRUE(host::RegistryGetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN, &value) &&
                value == BT_AUDIO_DEFAULT_CACHELEN);
    host::DeviceHandle dev = host::ActivateDevice(key_, &error);
    ASSERT_NE(dev, 0u) << error;
    EXPECT_EQ(host::ActiveDeviceName(dev), "WAV1:");
    ASSERT_NE(host::ActiveDeviceModule(dev), nullptr);
    EXPECT_EQ(*KIT_BIND(*host::ActiveDeviceModule(dev), g_bDeviceInit), 1);
    EXPECT_EQ(host::WaveDeviceIds(host::ActiveDeviceWaveDriver(dev)), std::vector<UINT>{1});
    EXPECT_EQ(btstandin::Registrations().size(), 1u);

    WAVEOUTCAPS caps{};
    ASSERT_EQ(waveOutGetDevCaps(1, &caps, sizeof caps), 0u);
    EXPECT_EQ(std::memcmp(caps.szPname, kDriverName, sizeof kDriverName), 0);
    WAVEFORMATEX f = MakeFormat();
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, 1, &f, 0, 0, CALLBACK_NULL), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);

    // The same index twice is refused before anything is loaded.
    std::string again;
    EXPECT_EQ(host::ActivateDevice(key_, &again), 0u);
    EXPECT_NE(again.find("WAV1"), std::string::npos) << again;

    EXPECT_TRUE(host::DeactivateDevice(dev));
    EXPECT_FALSE(host::DeactivateDevice(dev));
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    EXPECT_FALSE(host::DriverModule::IsMapped(host::LibraryPathForDll("btwav.dll")));
}

TEST_F(DeviceManagerTest, BadEntriesAreRefusedAndUndone)
{
    std::string error;
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_NE(error.find("Dll"), std::string::npos) << error;

    host::RegistrySetString(key_, "Dll", "nosuchdriver.dll");
    host::RegistrySetString(key_, "Prefix", "WAV");
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_NE(error.find("nosuchdriver"), std::string::npos) << error;

    host::RegistrySetString(key_, "Dll", "btwav.dll");
    host::RegistrySetString(key_, "Prefix", "XYZ");
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_NE(error.find("XYZ_Init"), std::string::npos) << error;

    // Init failing (its allocation) unloads the library again.
    host::RegistrySetString(key_, "Prefix", "WAV");
    host::FailNext(host::Fault::LocalAlloc);
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_NE(error.find("WAV_Init"), std::string::npos) << error;
    EXPECT_FALSE(host::DriverModule::IsMapped(host::LibraryPathForDll("btwav.dll")));
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
}

TEST_F(DeviceManagerTest, BuiltInDriversComeInTheBusEnumeratorsOrder)
{
    const std::string root = "Drivers\\BuiltIn";
    auto entry = [&](const std::string& name, const char* prefix, int order) {
        host::RegistrySetString(root + "\\" + name, "Dll", name + ".dll");
        if (prefix)
            host::RegistrySetString(root + "\\" + name, "Prefix", prefix);
        if (order >= 0)
            host::RegistrySetDword(root + "\\" + name, "Order", static_cast<uint32_t>(order));
    };
    entry("Serial", "COM", 5);
    entry("audio", "WAV", 10);
    entry("Backlight", "BKL", 10);
    entry("zNoOrder", "ZNO", -1);
    entry("aNoOrder", nullptr, -1);
    entry("Power", "PWR", 0);
    host::RegistrySetDword(root + "\\NotADriver", "Index", 1);            // no Dll
    host::RegistrySetString(root + "\\Serial\\Unimodem", "Dll", "x.dll");   // not directly under the bus key

    std::vector<std::string> keys;
    for (const host::BuiltInDriver& d : host::BuiltInDrivers(root))
        keys.push_back(d.key + " " + d.prefix + (d.hasOrder ? " " + std::to_string(d.order) : ""));
    EXPECT_EQ(keys, (std::vector<std::string>{"Drivers\\BuiltIn\\Power PWR 0", "Drivers\\BuiltIn\\Serial COM 5",
                                              "Drivers\\BuiltIn\\audio WAV 10", "Drivers\\BuiltIn\\Backlight BKL 10",
                                              "Drivers\\BuiltIn\\aNoOrder ", "Drivers\\BuiltIn\\zNoOrder ZNO"}));
}

TEST_F(DeviceManagerTest, ANameHeldForAnotherDriverRefusesTheSecond)
{
    // The board's own wave driver, which the host does not carry, holds WAV1:.
    const std::string board = "Drivers\\BuiltIn\\Audio";
    host::RegistrySetString(board, "Dll", "boardwave.dll");
    host::RegistrySetString(board, "Prefix", "wav");   // names compare ignoring case
    host::RegistrySetDword(board, "Index", 1);
    std::string error;
    host::DeviceHandle held = host::HoldDeviceName(board, &error);
    ASSERT_NE(held, 0u) << error;
    EXPECT_EQ(host::ActiveDeviceName(held), "wav1:");
    EXPECT_EQ(host::ActiveDeviceModule(held), nullptr);
    EXPECT_EQ(host::HoldDeviceName(board, &error), 0u);
    EXPECT_EQ(error, board + ": the device name wav1: is taken by " + board);

    // The driver asking for the same name is refused before anything is loaded.
    host::RegistrySetString(key_, "Dll", "btwav.dll");
    host::RegistrySetString(key_, "Prefix", "WAV");
    host::RegistrySetDword(key_, "Index", 1);
    EXPECT_EQ(host::ActivateDevice(key_, &error), 0u);
    EXPECT_EQ(error, key_ + ": the device name WAV1: is taken by " + board);
    EXPECT_FALSE(host::DriverModule::IsMapped(host::LibraryPathForDll("btwav.dll")));
    EXPECT_EQ(waveOutGetNumDevs(), 1u);

    // Without an Index it takes the lowest one free.
    host::RegistryDeleteValue(key_, "Index");
    host::DeviceHandle dev = host::ActivateDevice(key_, &error);
    ASSERT_NE(dev, 0u) << error;
    EXPECT_EQ(host::ActiveDeviceName(dev), "WAV2:");
    EXPECT_TRUE(host::DeactivateDevice(dev));

    // Released, the name is free again; a key without a Prefix has none.
    EXPECT_TRUE(host::DeactivateDevice(held));
    host::RegistrySetDword(key_, "Index", 1);
    dev = host::ActivateDevice(key_, &error);
    ASSERT_NE(dev, 0u) << error;
    EXPECT_EQ(host::ActiveDeviceName(dev), "WAV1:");
    host::RegistryDeleteValue(board, "Prefix");
    EXPECT_EQ(host::HoldDeviceName(board, &error), 0u);
    EXPECT_EQ(error, board + ": no \"Prefix\" value, so no device name to hold");
}

// ---- IsBadWritePtr -----------------------------------------------------------------

// The same answers whichever way the host asks the kernel; the quick way is
// what a normal run uses wherever its self-test passes (a native build on a
// kernel from 5.14 on).
class IsBadWritePtrTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { used_ = host::UseMappingListForPointerChecks(GetParam()); }
    void TearDown() override { host::UseMappingListForPointerChecks(false); }
    host::PointerCheck used_ = host::PointerCheck::Quick;
};

INSTANTIATE_TEST_SUITE_P(Ways, IsBadWritePtrTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "MappingList" : "Quick"; });

TEST_P(IsBadWritePtrTest, AnswersFromTheProcessMappings)
{
    if (GetParam())
        EXPECT_EQ(used_, host::PointerCheck::MappingList);
    else if (used_ != host::PointerCheck::Quick)
        GTEST_SKIP() << "the quick way fails its self-test here (an older kernel or an emulator)";
    int onStack = 0;
    EXPECT_TRUE(IsBadWritePtr(nullptr, 4));
    EXPECT_TRUE(IsBadWritePtr(nullptr, 0));
    EXPECT_FALSE(IsBadWritePtr(&onStack, sizeof onStack));
    EXPECT_FALSE(IsBadWritePtr(UnmappedPage(), 0));
    EXPECT_TRUE(IsBadWritePtr(UnmappedPage(), 1));

    auto* p = static_cast<uint8_t*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(p, MAP_FAILED);
    ASSERT_EQ(mprotect(p + 2 * 4096, 4096, PROT_NONE), 0);
    EXPECT_FALSE(IsBadWritePtr(p, 2 * 4096));
    EXPECT_FALSE(IsBadWritePtr(p + 2 * 4096 - 12, 12));
    EXPECT_TRUE(IsBadWritePtr(p + 2 * 4096 - 8, 12));
    ASSERT_EQ(mprotect(p + 4096, 4096, PROT_READ), 0);
    EXPECT_FALSE(IsBadWritePtr(p, 4096));
    EXPECT_TRUE(IsBadWritePtr(p, 4097));
    EXPECT_TRUE(IsBadWritePtr(p + 4096, 4));
    munmap(p, 3 * 4096);
    EXPECT_TRUE(IsBadWritePtr(p, 4));

    EXPECT_TRUE(IsBadWritePtr(&onStack, ~static_cast<UINT_PTR>(0)));
}

}  // namespace
