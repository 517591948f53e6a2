// A freshly loaded driver for every test, with the host reset around it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/btstandin.h"
#include "host/driverlibrary.h"
#include "host/host.h"
#include "host/platform.h"

namespace testing_support {

// Loads the driver library the build produced.
std::unique_ptr<host::DriverModule> LoadFreshDriver();

// Result of one wave message: whether WAV_IOControl returned TRUE and the
// result word, if one was written.
struct MessageAnswer {
    BOOL returned = FALSE;
    bool wroteResult = false;
    DWORD result = 0;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const host::DriverEntryPoints& Entry() const { return driver_->Entry(); }
    template <class T>
    T* Sym(const std::string& name) const
    {
        T* p = driver_->Get<T>(name);
        EXPECT_NE(p, nullptr) << name;
        return p;
    }

    // WAV_Init and WAV_Open, as the device manager would do them.
    void InitAndOpen();
    // Sends one wave message through WAV_IOControl.
    MessageAnswer Message(UINT uMsg, DWORD_PTR dwParam1 = 0, DWORD_PTR dwParam2 = 0);

    CRITICAL_SECTION* StreamLock() const { return Sym<CRITICAL_SECTION>("g_StreamLock"); }

    std::unique_ptr<host::DriverModule> driver_;
    DWORD_PTR hDevice_ = 0;
    DWORD_PTR hOpen_ = 0;
};

// A page that faults on every access, for bad-address cases.
void* UnmappedPage();

}  // namespace testing_support
