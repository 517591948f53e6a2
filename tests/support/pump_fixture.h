// The pump's tests' fixture: a driver with a client attached to its stream,
// six headers of its own, and the control operations called under the
// stream lock as their callers hold it.
#pragma once

#include <cstdint>
#include <vector>

#include "btstandin/btstandin.h"
#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "support/routines_fixture.h"

namespace testing_support {

class PumpTest : public RoutinesTest {
protected:
    void SetUp() override
    {
        RoutinesTest::SetUp();
        if (HasFatalFailure())
            return;
        AttachClient(rec_);
    }

    // The control operations, under the lock as their callers hold it.
    void Locked(void (*op)())
    {
        EnterCriticalSection(StreamLock());
        op();
        LeaveCriticalSection(StreamLock());
    }
    void Write(WAVEHDR* h)
    {
        EnterCriticalSection(StreamLock());
        ASSERT_EQ(r_.queue(0, h), 0u);
        r_.start();
        LeaveCriticalSection(StreamLock());
    }
    DWORD Post(DWORD requested)
    {
        EnterCriticalSection(StreamLock());
        DWORD n = r_.post(para_, requested);
        LeaveCriticalSection(StreamLock());
        return n;
    }
    std::vector<uint32_t> PacketSizes() const
    {
        std::vector<uint32_t> out;
        for (const auto& p : btstandin::Packets())
            out.push_back(p.dataLen);
        return out;
    }
    std::vector<uint8_t> Slice(size_t i, size_t from, size_t to) const
    {
        return std::vector<uint8_t>(pool_.Buffer(i).begin() + from, pool_.Buffer(i).begin() + to);
    }

    Recorder rec_;
    HeaderPool pool_{6};
};

}  // namespace testing_support
