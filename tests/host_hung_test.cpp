// A hung program on the virtual clock that moves by itself, with no handler
// set: the host prints each thread's wait and ends the process with the
// hung code at once.  A test of its own: the death test forks its child
// without re-executing the binary (which an emulated 32-bit ARM run cannot
// do), and a fork is safe only while the parent has started no host thread,
// so nothing else may run in this process before it.
#include <gtest/gtest.h>

#include "host/clock.h"
#include "host/host.h"
#include "host/kernel.h"
#include "host/platform.h"

namespace {

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

TEST(AutoClockDeathTest, ByDefaultAHungProgramIsPrintedAndEndsWithTheHungCode)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            host::ResetAll();
            host::UseClock(host::ClockKind::VirtualAuto);
            HANDLE e = CreateEventW(nullptr, FALSE, FALSE, W(u"never set"));
            WaitForSingleObject(e, INFINITE);
        },
        testing::ExitedWithCode(host::kHungExitCode), "hung at 0.000 s.*WaitForSingleObject on auto-reset event 'never set'");
}

}  // namespace
