// A driver that is initialised but not opened through messages, with its
// stream and pacing records and its internal routines at hand (bound by the
// test kit, typed by their declarations), for tests that drive the queue and
// the pump directly.
#pragma once

#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "kit/routines.h"
#include "support/driver_fixture.h"

namespace testing_support {

class RoutinesTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (HasFatalFailure())
            return;
        hDevice_ = Entry().Init(nullptr, nullptr);
        ASSERT_NE(hDevice_, 0u);
        s_ = r_.stream;
        para_ = r_.para;
    }

    // The stream record as an open leaves it, set by hand: open, with
    // `client` as its callback and, when given, hWave as its handle.
    void AttachClient(Recorder& client, HWAVE hWave = nullptr)
    {
        s_->bOpened = TRUE;
        s_->pfnCallback = &Recorder::Fn;
        s_->dwInstance = client.InstanceWord();
        if (hWave != nullptr)
            s_->hWave = hWave;
    }

    STREAM_CONTEXT* s_ = nullptr;
    BT_AUDIO_PARA* para_ = nullptr;
};

}  // namespace testing_support
