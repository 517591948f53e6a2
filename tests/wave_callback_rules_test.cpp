// What the platform's waveOutProc page forbids inside an application's
// callback function: it may call only EnterCriticalSection,
// LeaveCriticalSection, OutputDebugString, PostMessage, PostThreadMessage
// and SetEvent, and calling other wave functions deadlocks.  The host notes
// such a call (strict: refuses it); the mapper's own writes and the
// driver's re-entry are not the application's.  And a callback value that
// a 64-bit program cut to 32 bits is told with its fix.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "host/wave.h"
#include "support/stream_fixture.h"

using testing_support::HeaderPool;
using testing_support::MakeFormat;
using testing_support::Recorder;
using testing_support::WaveApiTest;

namespace {

class CallbackRules : public WaveApiTest {
protected:
    void SetUp() override
    {
        WaveApiTest::SetUp();
        if (!HasFatalFailure())
            LinkEvent(BT_EVENT_LINK_UP);
    }
    static size_t DebugLinesWith(const std::string& text)
    {
        size_t n = 0;
        for (const std::string& line : host::DebugLines())
            n += line.find(text) != std::string::npos;
        return n;
    }
    // Opens the driver with `app`, which writes `second` again from its
    // MM_WOM_DONE for `first` (once), and plays `first`.  The answer of that
    // write is in *answer.
    HWAVEOUT PlayWithRefill(Recorder* app, HeaderPool* pool, MMRESULT* answer)
    {
        WAVEFORMATEX f = MakeFormat();
        HWAVEOUT& hwo = hwo_;
        WAVEHDR* first = pool->Prepare(0, 4000);
        WAVEHDR* second = second_ = pool->Prepare(1, 4000);
        app->onCall = [this, first, second, answer](const Recorder::Call& c) {
            if (c.msg == MM_WOM_DONE && c.Header() == first)
                *answer = waveOutWrite(hwo_, second, sizeof(WAVEHDR));
        };
        EXPECT_EQ(waveOutOpen(&hwo, 1, &f, app->CallbackWord(), app->InstanceWord(), CALLBACK_FUNCTION), 0u);
        testing_support::SetHeaderFlags(first, 0);
        testing_support::SetHeaderFlags(second, 0);
        EXPECT_EQ(waveOutPrepareHeader(hwo, first, sizeof(WAVEHDR)), 0u);
        EXPECT_EQ(waveOutPrepareHeader(hwo, second, sizeof(WAVEHDR)), 0u);
        EXPECT_EQ(waveOutWrite(hwo, first, sizeof(WAVEHDR)), 0u);
        host::AdvanceVirtualMs(100);
        return hwo;
    }
    HWAVEOUT hwo_ = nullptr;
    WAVEHDR* second_ = nullptr;   // the header the callback writes again
};

TEST_F(CallbackRules, AWriteFromTheApplicationsCallbackIsReportedAndStillPlays)
{
    Recorder app;
    HeaderPool pool(2);
    MMRESULT answer = 0xFFFF;
    HWAVEOUT hwo = PlayWithRefill(&app, &pool, &answer);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(app.Count(MM_WOM_DONE), 2u);   // the refilled header played too
    EXPECT_EQ(host::WaveCallsFromCallbacks(), (std::map<std::string, uint64_t>{{"waveOutWrite", 1}}));
    EXPECT_EQ(DebugLinesWith("waveOutWrite called from inside the application's wave callback (MM_WOM_DONE)"), 1u);
    // A call from the application's own thread is none of it.
    EXPECT_EQ(waveOutReset(hwo), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_EQ(host::WaveCallsFromCallbacks().size(), 1u);
}

TEST_F(CallbackRules, StrictARefillFromTheCallbackFailsWithoutReachingTheDevice)
{
    host::SetStrictCallbacks(true);
    Recorder app;
    HeaderPool pool(2);
    MMRESULT answer = 0xFFFF;
    HWAVEOUT hwo = PlayWithRefill(&app, &pool, &answer);
    EXPECT_EQ(answer, UINT(MMSYSERR_HANDLEBUSY));
    EXPECT_EQ(app.Count(MM_WOM_DONE), 1u);
    EXPECT_EQ(testing_support::HeaderFlags(second_) & WHDR_INQUEUE, 0u);
    EXPECT_EQ(DebugLinesWith("(refused: strict callbacks)"), 1u);
    // Outside the callback the same write is the application's right.
    EXPECT_EQ(waveOutWrite(hwo, second_, sizeof(WAVEHDR)), 0u);
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(app.Count(MM_WOM_DONE), 2u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(CallbackRules, TheEnvironmentMakesCallbacksStrictUntilTheHostSaysOtherwise)
{
    // CEHOST_STRICT_CALLBACKS=1, as a program is started with it.
    ASSERT_EQ(setenv("CEHOST_STRICT_CALLBACKS", "1", 1), 0);
    Recorder app;
    HeaderPool pool(2);
    MMRESULT answer = 0xFFFF;
    HWAVEOUT hwo = PlayWithRefill(&app, &pool, &answer);
    EXPECT_EQ(answer, UINT(MMSYSERR_HANDLEBUSY));
    EXPECT_EQ(waveOutReset(hwo), 0u);
    host::SetStrictCallbacks(false);
    answer = 0xFFFF;
    EXPECT_EQ(waveOutWrite(hwo, pool.Prepare(0, 4000), sizeof(WAVEHDR)), 0u);
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(answer, 0u);
    unsetenv("CEHOST_STRICT_CALLBACKS");
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(CallbackRules, TheMappersOwnWritesAndACallbackThatOnlyRecordsAreNotReported)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    // 22,050 Hz mono is converted: the mapper writes its tail to the device
    // from inside the device's callback, which is its own business.
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    Recorder app;
    HeaderPool pool(2);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &mono, app.CallbackWord(), app.InstanceWord(), CALLBACK_FUNCTION), 0u);
    for (size_t i = 0; i < 2; ++i) {
        WAVEHDR* h = pool.Prepare(i, 2000);
        testing_support::SetHeaderFlags(h, 0);
        ASSERT_EQ(waveOutPrepareHeader(hwo, h, sizeof(WAVEHDR)), 0u);
        ASSERT_EQ(waveOutWrite(hwo, h, sizeof(WAVEHDR)), 0u);
    }
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(app.Count(MM_WOM_DONE), 2u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_TRUE(host::WaveCallsFromCallbacks().empty());
    EXPECT_EQ(DebugLinesWith("inside the application's wave callback"), 0u);
}

// A 64-bit program written to the platform's reference: `(DWORD)&proc`.
void CALLBACK Proc(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

TEST_F(CallbackRules, ACallbackPointerCutTo32BitsIsToldOnceWithTheFix)
{
    const auto whole = reinterpret_cast<uintptr_t>(&Proc);
    if (sizeof(void*) == 4 || whole <= 0xFFFFFFFFu)
        GTEST_SKIP() << "the callback's address fits 32 bits here";
    const DWORD_PTR cut = static_cast<DWORD>(whole);
    WAVEFORMATEX f = MakeFormat();
    HWAVEOUT hwo = nullptr;
    // The cut address faults as the driver calls it with MM_WOM_OPEN; the
    // driver's guard fails the open, as documented, and now the host says why.
    EXPECT_EQ(waveOutOpen(&hwo, 1, &f, cut, 0, CALLBACK_FUNCTION), UINT(MMSYSERR_ERROR));
    EXPECT_EQ(waveOutOpen(&hwo, 1, &f, cut, 0, CALLBACK_FUNCTION), UINT(MMSYSERR_ERROR));
    EXPECT_EQ(DebugLinesWith("built for 32 bits? use the x86 SDK"), 1u);
    EXPECT_EQ(DebugLinesWith("faulted in MM_WOM_OPEN"), 2u);
    // A whole pointer is nothing to tell.
    ASSERT_EQ(waveOutOpen(&hwo, 1, &f, whole, 0, CALLBACK_FUNCTION), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_EQ(DebugLinesWith("built for 32 bits?"), 1u);
}

// The callback is whole but its instance word, a pointer cut to 32 bits,
// faults when the callback follows it.
void CALLBACK FollowsInstance(HDRVR, UINT, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    ++*reinterpret_cast<volatile int*>(instance);
}

TEST_F(CallbackRules, AFaultOnACutInstanceIsReportedWithTheFix)
{
    if (sizeof(void*) == 4)
        GTEST_SKIP() << "32-bit pointers fit a DWORD";
    WAVEFORMATEX f = MakeFormat();
    HWAVEOUT hwo = nullptr;
    const DWORD_PTR cutInstance = 0x1000;   // page zero: never mapped
    EXPECT_EQ(waveOutOpen(&hwo, 1, &f, reinterpret_cast<DWORD_PTR>(&FollowsInstance), cutInstance, CALLBACK_FUNCTION),
              UINT(MMSYSERR_ERROR));
    EXPECT_EQ(DebugLinesWith("faulted in MM_WOM_OPEN (instance 0x1000)"), 1u);
    EXPECT_EQ(DebugLinesWith("instance value 0x1000 cannot be a pointer"), 1u);
    // The fault left the callback: calls from this thread are the
    // application's own again.
    WAVEFORMATEX query = MakeFormat();
    EXPECT_EQ(waveOutOpen(nullptr, 1, &query, 0, 0, WAVE_FORMAT_QUERY), 0u);
    EXPECT_TRUE(host::WaveCallsFromCallbacks().empty());
}

}  // namespace
