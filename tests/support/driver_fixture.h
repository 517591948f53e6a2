// A freshly loaded driver for every test, with the host reset around it: the
// test kit's loader and message sender under GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "btstandin/btstandin.h"
#include "host/driverlibrary.h"
#include "host/host.h"
#include "host/platform.h"
#include "kit/driver.h"
#include "kit/records.h"
#include "kit/routines.h"

namespace testing_support {

// The kit's names (records, header pool, recorder, formats, messages) are
// the suites' names.
using namespace kit;

// Loads the driver library the build produced; a library that does not load
// fails the test.
std::unique_ptr<host::DriverModule> LoadFreshDriver();

// The host and the stand-in reset around a test that loads no driver.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        btstandin::Reset();
    }
    void TearDown() override { ClearHost(); }
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const host::DriverEntryPoints& Entry() const { return driver_->Entry(); }

    // WAV_Init and WAV_Open, as the device manager would do them.
    void InitAndOpen();
    // Sends one wave message through WAV_IOControl.
    MessageAnswer Message(UINT uMsg, DWORD_PTR dwParam1 = 0, DWORD_PTR dwParam2 = 0)
    {
        return SendMessage(Entry(), hOpen_, uMsg, dwParam1, dwParam2);
    }

    CRITICAL_SECTION* StreamLock() const { return r_.lock; }

    std::unique_ptr<host::DriverModule> driver_;
    Routines r_;   // the driver's globals and internal routines
    DWORD_PTR hDevice_ = 0;
    DWORD_PTR hOpen_ = 0;
};

}  // namespace testing_support
