// Taking the device away while it plays, on the real clock (and under
// ThreadSanitizer in the tsan build): the device manager deactivating the
// device (unregister, WAV_Deinit, unload) while ticks run and the client
// refills from its callback; and WAV_Deinit while link events arrive, then
// the unload.  Each is repeated with different timings.  Afterwards no timer
// runs, no tick begins, the timer periods are paired and the library is gone.
#include <atomic>
#include <chrono>
#include <thread>

#include "driver/config.h"
#include "host/clock.h"
#include "host/devicemanager.h"
#include "host/registry.h"
#include "host/wave.h"
#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "kit/watchdog.h"
#include "support/driver_fixture.h"

using testing_support::HeaderPool;

namespace {

const char kKey[] = BTWAV_DRIVER_KEY;
const char kParams[] = BTWAV_PARAMS_KEY;


class TeardownTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        btstandin::Reset();
        host::UseClock(host::ClockKind::Real);
        host::RegistrySetDword(kParams, "Timer", 2);
        host::RegistrySetDword(kParams, "CacheLen", 1764);
        host::SetTickObserver([this](uint64_t) { ticks_.fetch_add(1); });
    }
    void TearDown() override
    {
        host::SetTickObserver(nullptr);
        btstandin::Reset();
        host::ResetAll();
    }

    // After the device is gone: no timer, paired periods, and no tick
    // begins any more.
    void ExpectQuiet(int round)
    {
        EXPECT_EQ(host::ActiveTimerCount(), 0) << "round " << round;
        EXPECT_EQ(host::TimerPeriodBalance(), 0) << "round " << round;
        uint64_t before = ticks_.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(ticks_.load(), before) << "round " << round << ": a tick after the device was gone";
    }

    std::atomic<uint64_t> ticks_{0};
    kit::Watchdog watchdog_{std::chrono::seconds(120), "a teardown case"};
};

// The application: refills every buffer from MM_WOM_DONE, on the timer's
// thread, until the device is gone and the wave API refuses.  Not the kit's
// recorder, which has no lock: its calls arrive on the real clock's timer
// thread while the test's thread runs.
struct Refiller {
    HWAVEOUT hwo = nullptr;
    std::atomic<unsigned> done{0};
    static void CALLBACK Fn(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<Refiller*>(instance);
        if (msg != MM_WOM_DONE)
            return;
        self->done.fetch_add(1);
        waveOutWrite(self->hwo, reinterpret_cast<WAVEHDR*>(p1), sizeof(WAVEHDR));
    }
};

TEST_F(TeardownTest, DeactivatingWhilePlayingStopsEverythingBeforeTheUnload)
{
    host::RegistrySetString(kKey, "Dll", "btwav.dll");
    host::RegistrySetString(kKey, "Prefix", "WAV");
    for (int round = 0; round < 8; ++round) {
        std::string error;
        host::DeviceHandle dev = host::ActivateDevice(kKey, &error);
        ASSERT_NE(dev, 0u) << error;
        Refiller app;
        WAVEFORMATEX f = kit::MakeFormat();
        ASSERT_EQ(waveOutOpen(&app.hwo, 1, &f, reinterpret_cast<DWORD_PTR>(&Refiller::Fn),
                              reinterpret_cast<DWORD_PTR>(&app), CALLBACK_FUNCTION),
                  0u);
        HeaderPool pool(4);
        for (size_t i = 0; i < pool.Size(); ++i) {
            WAVEHDR* h = pool.Prepare(i, 1764);
            testing_support::SetHeaderFlags(h, 0);
            ASSERT_EQ(waveOutPrepareHeader(app.hwo, h, sizeof *h), 0u);
            ASSERT_EQ(waveOutWrite(app.hwo, h, sizeof *h), 0u);
        }
        // Play for a while (longer each round), then pull the device away
        // without closing the stream.
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 4 * round));
        EXPECT_TRUE(host::DeactivateDevice(dev));
        EXPECT_FALSE(host::DriverModule::IsMapped(host::LibraryPathForDll("btwav.dll")));
        ExpectQuiet(round);
        btstandin::Flush();
        btstandin::Reset();
    }
}

TEST_F(TeardownTest, DeinitWhileTicksRunAndLinkEventsArriveThenUnload)
{
    for (int round = 0; round < 8; ++round) {
        std::unique_ptr<host::DriverModule> driver = testing_support::LoadFreshDriver();
        ASSERT_NE(driver, nullptr);
        const auto& e = driver->Entry();
        DWORD_PTR hDevice = e.Init(nullptr, nullptr);
        DWORD_PTR hOpen = e.Open(hDevice, 0, 0);
        ASSERT_NE(hOpen, 0u);

        WAVEFORMATEX f = kit::MakeFormat();
        WAVEOPENDESC desc{};
        desc.lpFormat = &f;
        MMDRV_MESSAGE_PARAMS params{};
        params.uMsg = WODM_OPEN;
        params.dwParam1 = reinterpret_cast<DWORD_PTR>(&desc);
        DWORD result = 0xA5A5A5A5u;
        e.IOControl(hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                    reinterpret_cast<LPBYTE>(&result), 4, nullptr);
        ASSERT_EQ(result, 0u);
        HeaderPool pool(3);
        for (size_t i = 0; i < pool.Size(); ++i) {
            pool.Prepare(i, 176400);   // a second each: still playing at the deinit
            params.uMsg = WODM_WRITE;
            params.dwParam1 = reinterpret_cast<DWORD_PTR>(pool[i]);
            e.IOControl(hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                        reinterpret_cast<LPBYTE>(&result), 4, nullptr);
            ASSERT_EQ(result, 0u);
        }

        std::atomic<bool> stop{false};
        std::thread events([&] {
            for (int k = 0; !stop.load(); ++k) {
                btstandin::RaiseEvent(k % 2 ? BT_EVENT_LINK_DOWN : BT_EVENT_LINK_UP);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(4 + 3 * round));
        EXPECT_EQ(e.Deinit(hDevice), TRUE);
        EXPECT_EQ(*KIT_BIND(*driver, g_bDeviceInit), FALSE);
        stop.store(true);
        events.join();
        // Events delivered after the deinit change nothing and answer 0;
        // none may arrive once the library is gone.
        btstandin::WaitForEvents();
        ExpectQuiet(round);
        e.Close(hOpen);
        btstandin::Flush();
        btstandin::Reset();
        driver.reset();
        EXPECT_FALSE(host::DriverModule::IsMapped(BTWAV_DRIVER_PATH));
        auto c = host::GetCounters();
        EXPECT_EQ(c.localAllocs, c.localFrees) << "round " << round;
    }
}

}  // namespace
